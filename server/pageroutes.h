#pragma once

class AccountStore;
class PricingLinks;
class QHttpServer;
class SessionGate;

// The web pages: pricing (with the account's state and balance), follow-us, contact, terms. The
// pricing page shows an account's phone and balance: while tokens are required it opens only by
// a one-time link (PricingLinks) or with the account's own token.
class PageRoutes {
public:
    PageRoutes(AccountStore &accounts, PricingLinks &links, const SessionGate &gate)
        : m_accounts(accounts), m_links(links), m_gate(gate)
    {}
    void install(QHttpServer &http);

private:
    AccountStore &m_accounts;
    PricingLinks &m_links;
    const SessionGate &m_gate;
};
