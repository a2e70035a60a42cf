#pragma once

#include "keyscrubber.h"

#include <QByteArray>
#include <QNetworkReply>
#include <QObject>
#include <QPointer>
#include <QTimer>

class QNetworkAccessManager;
class QNetworkRequest;

// One POST to a model provider, bounded in time: cut off after `idleMs` without data and after
// `totalMs` in all. Delivers the body as it arrives and ends with exactly one finished(). A
// redirect is never followed (the credentials would go along to wherever it points): it ends
// the call as an error, and what went wrong is told without the credentials.
class UpstreamCall : public QObject {
    Q_OBJECT
public:
    enum class Ending { Complete, HttpError, NetworkError, IdleTimeout, TotalTimeout };
    struct Result {
        Ending ending = Ending::Complete;
        int httpStatus = 0;
        QString detail; // what went wrong, readable; empty when complete
    };

    UpstreamCall(QNetworkAccessManager *nam, QNetworkRequest request, const QByteArray &body,
                 int idleMs, int totalMs, QObject *parent = nullptr);
    ~UpstreamCall() override;

    // The error message a provider put into an error body (OpenAI, Anthropic and Gemini shapes),
    // or the start of the body as text.
    static QString errorMessage(const QByteArray &body);
    // `text` from the provider without the call's credentials or anything shaped like a key.
    QString scrubbed(const QString &text) const { return m_scrubber.scrubbed(text); }

signals:
    void received(const QByteArray &bytes); // only for a success status
    void finished(const UpstreamCall::Result &result);

private:
    void onReadyRead();
    void onFinished();

    KeyScrubber m_scrubber;
    QPointer<QNetworkReply> m_reply;
    QTimer m_total;
    bool m_totalExpired = false;
    bool m_done = false;
    QByteArray m_errorBody;
};
