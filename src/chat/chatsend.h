#pragma once

#include "conversation/message.h"

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QSharedPointer>
#include <QString>
#include <QTimer>

class AnswerStream;
class ChatClient;
class OpenConversation;
class QuotaService;
struct Charge;

// One question on its way: asks the quota, sends the request, shows the answer as it streams
// in, and settles exactly once, however it ends (answer, picture, notice, stop, quota refused),
// writing the outcome and what was charged into its own conversation, open in a window or not.
class ChatSend : public QObject {
    Q_OBJECT

public:
    struct Services {
        QuotaService *quota = nullptr;
        ChatClient *chat = nullptr;
    };

    // `question` and the placeholder `placeholder` are already in `conversation`.
    ChatSend(QSharedPointer<OpenConversation> conversation, const Message &question,
             const QUuid &placeholder, const QString &context, const Services &services,
             QObject *parent = nullptr);
    ~ChatSend() override;

    // The answer is shown again at most this often, thirty times a second: a delta after a quiet
    // spell shows at once, a burst of deltas as one change. Each refresh of a followed answer
    // moves the whole list and so repaints it; at sixty a second a large window drawn in
    // software spent most of a core on it.
    static constexpr int kRefreshIntervalMs = 33;

    QUuid placeholder() const { return m_placeholder; }
    bool isSettled() const { return m_settled; }

    void start();
    // The user's stop: a streaming answer keeps what arrived; anything else has no text to keep,
    // and its placeholder goes.
    void stop();
    // The question is asked again for another variant of its answer: it keeps the charge of its
    // first send, and this send's charge for it goes with the new answer.
    void askAgain() { m_askingAgain = true; }

signals:
    // The account may not spend: the notice is in place, the upgrade prompt is due.
    void quotaExhausted();
    void settled();

private:
    void receivePartial(QStringView text);
    void refreshPartial();
    void recordCharge(const Charge &charge);
    // Puts the outcome in the placeholder's place, once. False when it was dropped.
    bool settle(const std::function<void(Message &placeholder)> &fill);
    void withdraw();

    QSharedPointer<OpenConversation> m_conversation;
    Message m_question;
    QUuid m_placeholder;
    QString m_context;
    Services m_services;
    QPointer<AnswerStream> m_stream;
    QString m_partial; // the answer's raw text so far
    std::optional<qint64> m_questionCharacters;
    std::optional<double> m_questionAmount;
    std::optional<qint64> m_answerCharacters;
    std::optional<double> m_answerAmount;
    QTimer m_refresh;
    QElapsedTimer m_lastRefresh;
    bool m_askingAgain = false;
    bool m_stopped = false;
    bool m_settled = false;
};
