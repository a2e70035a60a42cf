#pragma once

#include <QHttpServerResponse>

#include <optional>

class AccountStore;
class CodeIssuer;
class CodeSender;
class PricingLinks;
class QHttpServer;
class QHttpServerRequest;
class SessionStore;

// The sign-in and account endpoints: send-code, login-register, check_quota, deduct_quota and
// macos_account_info.
class AccountRoutes {
public:
    AccountRoutes(AccountStore &accounts, CodeIssuer &codes, CodeSender &sender,
                  SessionStore &sessions, PricingLinks &links, double maxCharge,
                  bool metered = false)
        : m_accounts(accounts), m_codes(codes), m_sender(sender), m_sessions(sessions),
          m_links(links), m_maxCharge(maxCharge), m_metered(metered)
    {}
    void install(QHttpServer &http);

private:
    // A new code for the phone of a send-code request, or the answer that refuses it.
    std::optional<QHttpServerResponse> issueCode(const QHttpServerRequest &request, QString *phone,
                                                 QString *code);
    // The account and amount of a deduction, or the answer that refuses it.
    std::optional<QHttpServerResponse> readDeduction(const QHttpServerRequest &request,
                                                     QString *phone, double *amount);

    AccountStore &m_accounts;
    CodeIssuer &m_codes;
    CodeSender &m_sender;
    SessionStore &m_sessions;
    PricingLinks &m_links;
    double m_maxCharge;
    // The server charges for itself: a client's deduction is answered, never applied, so that a
    // client that still reports its charges is not charged twice.
    bool m_metered;
};
