#pragma once

#include "proxyfamily.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

class QJsonObject;
class QJsonValue;

// Writes an answer as an event-stream body in a family's layout, one piece of text at a time,
// so each piece can go to the client as soon as it is known: head(), then piece() for every
// piece, then tail(). Together they make exactly the body encode() writes for the whole answer.
class ReplyEncoder {
public:
    ReplyEncoder(ProxyFamily family, const QString &model, qint64 createdSecs);

    QByteArray head() const;
    QByteArray piece(const QString &text);
    QByteArray tail() const;

    static QByteArray encode(ProxyFamily family, const QString &model, const QStringList &pieces,
                             qint64 createdSecs);
    static QByteArray mimeType() { return QByteArrayLiteral("text/event-stream; charset=utf-8"); }

private:
    QByteArray openAIChunk(const QJsonObject &delta, const QJsonValue &finishReason) const;

    ProxyFamily m_family;
    QString m_model;
    qint64 m_created;
    qsizetype m_pieces = 0;
    qsizetype m_chars = 0; // UTF-16 units written so far: the rough output token count
};
