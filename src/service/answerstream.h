#pragma once

#include "core/httpclient.h"
#include "service/replyreader.h"
#include "service/replytarget.h"

#include <QObject>
#include <QPointer>

#include <memory>

class QNetworkReply;
class QuotaService;

// One chat answer on its way. Feeds the body to its family's reader as it arrives and hands
// the text so far to the send's target; then settles the send exactly once, whichever comes
// first of: the body is complete, the user stops it, or the connection breaks. Each ending
// keeps what arrived: formatted, placed, and charged as output.
class AnswerStream : public QObject {
    Q_OBJECT

public:
    AnswerStream(std::unique_ptr<ReplyStreamReader> reader, double outputRate, QuotaService *quota,
                 ReplyTarget target, QObject *parent = nullptr);

    void attach(QNetworkReply *reply) { m_reply = reply; }

    void receive(const QByteArray &bytes);
    void complete(const HttpResult &result);
    // The user's stop: the request is aborted; the text that arrived is the answer. With no
    // text yet, the placeholder is withdrawn.
    void stop();

private:
    enum class Ending { Complete, Stopped, Broken };
    void settle(Ending ending);
    // The answer's charge on its tidied text, told to the target before the answer is placed
    // (so it is stored with it), and deducted after.
    double charge(const QString &text);
    void deduct(double amount);

    std::unique_ptr<ReplyStreamReader> m_reader;
    double m_outputRate;
    QPointer<QuotaService> m_quota;
    ReplyTarget m_target;
    QPointer<QNetworkReply> m_reply;
    bool m_textShown = false;
    bool m_stopping = false;
    bool m_settled = false;
};
