#pragma once

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>
#include <QStringList>

// The client's three ways of reading a chat answer body, written out for the tests: what these
// get from a body is what the user sees.
namespace ReplyReaders {

inline QStringList dataPayloads(const QByteArray &body)
{
    QStringList payloads;
    for (const QString &line :
         QString::fromUtf8(body).split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        if (line.startsWith(QLatin1String("data: ")))
            payloads.append(QString(line).remove(QStringLiteral("data: ")));
    }
    return payloads;
}

inline QString openAI(const QByteArray &body)
{
    QString text;
    for (const QString &payload : dataPayloads(body)) {
        const QJsonObject o = QJsonDocument::fromJson(payload.toUtf8()).object();
        const QJsonValue content =
            o.value("choices").toArray().at(0).toObject().value("delta").toObject().value(
                "content");
        if (content.isString())
            text += content.toString();
    }
    return text;
}

inline QString claude(const QByteArray &body, QStringList *types = nullptr)
{
    QString text;
    for (const QString &payload : dataPayloads(body)) {
        const QJsonObject o = QJsonDocument::fromJson(payload.toUtf8()).object();
        const QString type = o.value("type").toString();
        if (types)
            types->append(type);
        if (type == u"content_block_delta")
            text += o.value("delta").toObject().value("text").toString();
    }
    return text;
}

inline QStringList plainDataPieces(const QByteArray &body)
{
    const QString text = QString::fromUtf8(body);
    const qsizetype first = text.indexOf(QLatin1String("data: "));
    if (first < 0)
        return {};
    QStringList pieces = text.mid(first + 6).split(QStringLiteral("\ndata: "));
    if (pieces.last().endsWith(QLatin1Char('\n')))
        pieces.last().chop(1);
    return pieces;
}

inline QString plainData(const QByteArray &body)
{
    return plainDataPieces(body).join(QString());
}

} // namespace ReplyReaders
