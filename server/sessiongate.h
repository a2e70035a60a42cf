#pragma once

#include <QHttpServerResponder>
#include <QString>

#include <optional>

class AccountStore;
class QHttpServerRequest;
class SessionStore;

// Who may use which endpoint, checked before a route runs. While tokens are required (a server
// reachable from other machines), every API endpoint but sending a code and signing in needs
// `Authorization: Bearer TOKEN` of a live session; the quota and account endpoints act only on
// the token's own account, and the model endpoints, which spend the provider keys, only for an
// account with a balance above zero. Pages, pictures and /healthz stay open. While tokens are
// not required (loopback, the local default), every request passes as before.
class SessionGate {
public:
    // The token of `request`'s Authorization header, empty when none.
    static QString bearerToken(const QHttpServerRequest &request);

    SessionGate(SessionStore &sessions, AccountStore &accounts)
        : m_sessions(sessions), m_accounts(accounts)
    {}

    void setRequired(bool required) { m_required = required; }
    // A metering server charges each model request to its session's account, so those requests
    // need a live token and a balance even where tokens are otherwise not required.
    void setMetering(bool metering) { m_metering = metering; }
    bool isRequired() const { return m_required; }

    struct Refusal {
        QHttpServerResponder::StatusCode status;
        QString message;
    };
    std::optional<Refusal> check(const QHttpServerRequest &request);
    // Whether `request` may see the account of `phone`: always while tokens are not required,
    // otherwise with that account's own live token.
    bool mayShow(const QHttpServerRequest &request, const QString &phone) const;

private:
    SessionStore &m_sessions;
    AccountStore &m_accounts;
    bool m_required = false;
    bool m_metering = false;
};
