#pragma once

#include <QJsonDocument>
#include <QJsonObject>
#include <QString>
#include <QStringList>

// How the server frames a chat answer, for checks of the framing itself. The text of an answer
// is always read with the client's own ReplyReader: what it gets from a body is what the user
// sees.
namespace StreamFrames {

// The payload of every "data: " line.
inline QStringList dataPayloads(const QByteArray &body)
{
    QStringList payloads;
    for (const QString &line :
         QString::fromUtf8(body).split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        if (line.startsWith(QLatin1String("data: ")))
            payloads.append(line.mid(6));
    }
    return payloads;
}

// The "type" of every event of an Anthropic-style stream, in order.
inline QStringList eventTypes(const QByteArray &body)
{
    QStringList types;
    for (const QString &payload : dataPayloads(body))
        types.append(QJsonDocument::fromJson(payload.toUtf8()).object().value("type").toString());
    return types;
}

// The pieces of a plain "data: " stream, one per "\ndata: " separator.
inline QStringList plainDataPieces(const QByteArray &body)
{
    const QString text = QString::fromUtf8(body);
    const qsizetype first = text.indexOf(QLatin1String("data: "));
    return first < 0 ? QStringList() : text.mid(first + 6).split(QStringLiteral("\ndata: "));
}

} // namespace StreamFrames
