#pragma once

class AccountStore;
class QHttpServer;

// The web pages: pricing (with the account's state and balance), follow-us, contact, terms.
class PageRoutes {
public:
    explicit PageRoutes(AccountStore &accounts) : m_accounts(accounts) {}
    void install(QHttpServer &http);

private:
    AccountStore &m_accounts;
};
