#include "service/answerstream.h"

#include "service/chargerules.h"
#include "service/chatclient.h"
#include "service/quotaservice.h"

#include <QNetworkReply>

AnswerStream::AnswerStream(std::unique_ptr<ReplyStreamReader> reader, double outputRate,
                           QuotaService *quota, ReplyTarget target, QObject *parent)
    : QObject(parent), m_reader(std::move(reader)), m_outputRate(outputRate), m_quota(quota),
      m_target(std::move(target))
{}

void AnswerStream::receive(const QByteArray &bytes)
{
    if (m_settled)
        return;
    m_reader->feed(bytes);
    const QString text = m_reader->takeNewText();
    if (text.isEmpty())
        return;
    // The loading dots give way at the first text, not at the first byte: a stream may open
    // with events that carry none.
    if (!m_textShown) {
        m_textShown = true;
        m_target.clearLoadingFlag();
    }
    m_target.appendPartialText(text);
}

void AnswerStream::complete(const HttpResult &result)
{
    if (m_settled)
        return;
    if (m_stopping) {
        settle(Ending::Stopped);
        return;
    }
    if (!result.transferred()) {
        settle(Ending::Broken);
        return;
    }
    receive(result.body);
    settle(Ending::Complete);
}

void AnswerStream::stop()
{
    if (m_settled || m_stopping)
        return;
    m_stopping = true;
    // Aborting finishes the reply at once, and its completion settles this stream; without a
    // running reply there is no completion to wait for.
    if (m_reply && m_reply->isRunning())
        m_reply->abort();
    if (!m_settled)
        settle(Ending::Stopped);
}

void AnswerStream::settle(Ending ending)
{
    m_settled = true;
    switch (ending) {
    case Ending::Complete: {
        m_reader->finish();
        if (!m_textShown)
            m_target.clearLoadingFlag();
        const QString text = m_target.formatReplyText(m_reader->text());
        // An empty bubble looks like a hang: say that nothing came, and charge nothing for it.
        if (text.isEmpty()) {
            m_target.showFailure(ChatClient::emptyAnswerNotice());
            break;
        }
        const double amount = charge(text);
        m_target.appendReplyText(m_reader->text());
        deduct(amount);
        break;
    }
    case Ending::Stopped:
    case Ending::Broken: {
        m_reader->cutOff();
        const QString text = m_target.formatReplyText(m_reader->text());
        if (text.isEmpty()) {
            if (ending == Ending::Stopped)
                m_target.withdraw();
            else
                m_target.showFailure(ChatClient::networkFailureNotice());
            break;
        }
        // What arrived before the break is kept, with the notice on its own line under it;
        // only the answer's own text is charged.
        const double amount = charge(text);
        m_target.appendReplyText(ending == Ending::Broken
                                     ? m_reader->text() + u'\n' + ChatClient::networkFailureNotice()
                                     : m_reader->text());
        deduct(amount);
        break;
    }
    }
    deleteLater();
}

double AnswerStream::charge(const QString &text)
{
    const qint64 characters = ChargeRules::countBillableCharacters(text);
    const double amount = double(characters) * m_outputRate;
    if (m_target.charged)
        m_target.charged(Charge{Charge::Part::Answer, characters, amount});
    return amount;
}

void AnswerStream::deduct(double amount)
{
    if (m_quota)
        m_quota->deductQuota(amount);
}
