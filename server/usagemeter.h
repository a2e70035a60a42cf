#pragma once

#include "chatquestion.h"

#include <QString>

#include <optional>

class AccountStore;
class QHttpServerRequest;
class SessionStore;

// Charges the model endpoints' use to the account that made it, on the server, with the client's
// own rules and texts: the question and its context at the input rate when a request is taken,
// the answer as the client will have formatted it at the output rate once it has been sent. A
// client that never reports a charge then spends no less than one that does.
class UsageMeter {
public:
    UsageMeter(AccountStore &accounts, SessionStore &sessions)
        : m_accounts(accounts), m_sessions(sessions)
    {}

    // The account a model request is charged to: its session token's. The session gate has
    // already refused a request without a live one.
    std::optional<QString> accountOf(const QHttpServerRequest &request);
    void chargeQuestion(const QString &phone, const ChatQuestion &question);
    // `answer` is every piece of the model's text sent to the client, as it came.
    void chargeAnswer(const QString &phone, const QString &model, const QString &answer);

private:
    void charge(const QString &phone, double amount, const char *what);

    AccountStore &m_accounts;
    SessionStore &m_sessions;
};
