#pragma once

class AccountStore;
class CodeIssuer;
class QHttpServer;

// The sign-in and account endpoints: send-code, login-register, check_quota, deduct_quota and
// macos_account_info.
class AccountRoutes {
public:
    AccountRoutes(AccountStore &accounts, CodeIssuer &codes) : m_accounts(accounts), m_codes(codes)
    {}
    void install(QHttpServer &http);

private:
    AccountStore &m_accounts;
    CodeIssuer &m_codes;
};
