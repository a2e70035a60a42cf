#pragma once

#include "answersource.h"
#include "proxyfamily.h"
#include "ssereader.h"
#include "upstreamcall.h"

#include <QByteArray>
#include <QNetworkRequest>
#include <QStringList>

class QNetworkAccessManager;

// One answer from a model provider: posts the question, reads the provider's event stream as it
// arrives and hands on each piece of text as soon as its event is complete. Every failure ends
// as readable text, never as silence. Deleting it aborts the upstream request.
class ProviderAnswer : public AnswerSource {
    Q_OBJECT
public:
    struct Limits {
        int idleMs = 0;
        int totalMs = 0;
    };

    ProviderAnswer(ProxyFamily family, QNetworkAccessManager *nam, const QNetworkRequest &request,
                   const QByteArray &body, Limits limits, QObject *parent = nullptr);
    void start() override;

    // Text pieces of one upstream event; `error` set when the event reports a failure.
    static QStringList piecesOf(ProxyFamily family, const QByteArray &type, const QByteArray &data,
                                QString *error);

private:
    void take(const QList<SseReader::Event> &events);
    void finish(const UpstreamCall::Result &result);

    ProxyFamily m_family;
    QNetworkAccessManager *m_nam;
    QNetworkRequest m_request;
    QByteArray m_body;
    Limits m_limits;
    UpstreamCall *m_call = nullptr;
    SseReader m_reader;
    bool m_anyPiece = false;
    QString m_streamError;
};
