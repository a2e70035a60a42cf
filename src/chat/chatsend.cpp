#include "chat/chatsend.h"

#include "chat/openconversation.h"
#include "chat/replyformatter.h"
#include "service/answerstream.h"
#include "service/chatclient.h"
#include "service/quotaservice.h"

ChatSend::ChatSend(QSharedPointer<OpenConversation> conversation, const Message &question,
                   const QUuid &placeholder, const QString &context, const Services &services,
                   QObject *parent)
    : QObject(parent), m_conversation(std::move(conversation)), m_question(question),
      m_placeholder(placeholder), m_context(context), m_services(services)
{
    m_refresh.setSingleShot(true);
    m_refresh.setTimerType(Qt::PreciseTimer);
    connect(&m_refresh, &QTimer::timeout, this, &ChatSend::refreshPartial);
}

ChatSend::~ChatSend() = default;

void ChatSend::start()
{
    if (!m_services.quota || !m_services.chat) {
        settle([](Message &m) { m = Message::notice(ChatClient::networkFailureNotice()); });
        return;
    }
    m_services.quota->checkQuota(this, [this](QuotaVerdict verdict) {
        // Stopped while the quota was being asked: nothing is sent or charged.
        if (m_settled)
            return;
        if (verdict == QuotaVerdict::Unanswered) {
            settle([](Message &m) { m = Message::notice(ChatClient::networkFailureNotice()); });
            return;
        }
        ReplyTarget target;
        target.clearLoadingFlag = [this] {
            m_conversation->show(m_placeholder, [](Message &m) { m.isLoading = false; });
        };
        target.appendPartialText = [this](QStringView text) {
            receivePartial(text);
        };
        target.formatReplyText = &ReplyFormatter::formatReplyText;
        target.appendReplyText = [this](const QString &text) {
            settle([&text](Message &m) {
                m.kind = MessageKind::Answer;
                m.content = text;
            });
        };
        target.withdraw = [this] {
            withdraw();
        };
        target.placeImageResult = [this](const QString &path) {
            settle([&path](Message &m) {
                m.kind = MessageKind::Picture;
                m.content.clear();
                m.cachedImagePath = path;
            });
        };
        target.showQuotaExhausted = [this] {
            if (settle([](Message &m) {
                    m = Message::notice(QStringLiteral("请升级会员后再次访问"));
                }))
                emit quotaExhausted();
        };
        target.showFailure = [this](const QString &notice) {
            settle([&notice](Message &m) { m = Message::notice(notice); });
        };
        target.charged = [this](const Charge &charge) {
            recordCharge(charge);
        };
        m_stream =
            m_services.chat->sendRequest(verdict == QuotaVerdict::Granted, m_question.content,
                                         m_context, m_question.model, this, std::move(target));
    });
}

void ChatSend::recordCharge(const Charge &charge)
{
    if (charge.part == Charge::Part::Question) {
        m_questionCharacters = charge.characters;
        m_questionAmount = charge.amount;
    } else {
        m_answerCharacters = charge.characters;
        m_answerAmount = charge.amount;
    }
}

void ChatSend::receivePartial(QStringView text)
{
    m_partial += text;
    if (m_refresh.isActive())
        return;
    const qint64 since = m_lastRefresh.isValid() ? m_lastRefresh.elapsed() : kRefreshIntervalMs;
    m_refresh.start(int(std::max<qint64>(0, kRefreshIntervalMs - since)));
}

void ChatSend::refreshPartial()
{
    m_lastRefresh.start();
    if (!m_settled)
        m_conversation->showPartial(m_placeholder, m_partial);
}

void ChatSend::stop()
{
    if (m_settled || m_stopped)
        return;
    m_stopped = true;
    // A streaming answer settles itself, with what arrived.
    if (m_stream)
        m_stream->stop();
    else
        withdraw();
}

void ChatSend::withdraw()
{
    if (m_settled)
        return;
    m_settled = true;
    m_refresh.stop();
    m_conversation->remove({m_placeholder});
    emit settled();
    deleteLater();
}

bool ChatSend::settle(const std::function<void(Message &)> &fill)
{
    if (m_settled)
        return false;
    m_settled = true;
    m_refresh.stop();
    emit settled();
    deleteLater();
    // The question's charge is written with the outcome: one write for the two rows.
    const QUuid question = m_question.id;
    const QUuid placeholder = m_placeholder;
    const QString model = m_question.model;
    const QList<QUuid> ids =
        m_askingAgain ? QList<QUuid>{placeholder} : QList<QUuid>{question, placeholder};
    const bool written = m_conversation->update(ids, [&](Message &m) {
        if (m.id == question) {
            m.chargedCharacters = m_questionCharacters;
            m.chargedAmount = m_questionAmount;
            return;
        }
        const double timestamp = m.timestamp;
        const std::optional<QUuid> parent = m.parentId;
        const std::optional<double> shownAt = m.shownAt;
        fill(m);
        m.id = placeholder;
        m.timestamp = timestamp;
        m.parentId = parent;
        m.shownAt = shownAt;
        if (m_askingAgain) {
            m.askedCharacters = m_questionCharacters;
            m.askedAmount = m_questionAmount;
        }
        m.isLoading = false;
        m.model = model;
        if (m.kind == MessageKind::Answer) {
            m.chargedCharacters = m_answerCharacters;
            m.chargedAmount = m_answerAmount;
        }
    });
    // An answer that was shown while it grew has been followed by the list already, or the
    // reader scrolled away from it on purpose: its end does not move them.
    if (written && m_partial.isEmpty())
        emit m_conversation->scrollToEndRequested();
    return written;
}
