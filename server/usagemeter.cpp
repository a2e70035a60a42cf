#include "usagemeter.h"

#include "accountstore.h"
#include "chat/replyformatter.h"
#include "serverlog.h"
#include "service/chargerules.h"
#include "sessiongate.h"
#include "sessionstore.h"

std::optional<QString> UsageMeter::accountOf(const QHttpServerRequest &request)
{
    return m_sessions.phoneOf(SessionGate::bearerToken(request));
}

void UsageMeter::chargeQuestion(const QString &phone, const ChatQuestion &question)
{
    charge(phone, ChargeRules::inputCharge(question.model, question.userMessage, question.context),
           "question");
}

void UsageMeter::chargeAnswer(const QString &phone, const QString &model, const QString &answer)
{
    charge(phone, ChargeRules::outputCharge(model, ReplyFormatter::formatReplyText(answer)),
           "answer");
}

void UsageMeter::charge(const QString &phone, double amount, const char *what)
{
    // Nothing to charge (a picture's answer, an empty one) is not worth a write.
    if (!(amount > 0))
        return;
    m_accounts.deduct(phone, amount, [phone, amount, what](AccountStore::Change change) {
        if (change == AccountStore::Change::Done) {
            ServerLog::debug({QStringLiteral("metered"), QString::fromLatin1(what), phone,
                              QString::number(amount, 'g', 17)});
            return;
        }
        ServerLog::error({QStringLiteral("metering failed"), QString::fromLatin1(what), phone,
                          QString::number(amount, 'g', 17)});
    });
}
