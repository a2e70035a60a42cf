#pragma once

#include "proxyfamily.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

// Writes the pieces of an answer as one event-stream body in a family's layout.
class ReplyEncoder {
public:
    static QByteArray encode(ProxyFamily family, const QString &model, const QStringList &pieces,
                             qint64 createdSecs);
    static QByteArray mimeType() { return QByteArrayLiteral("text/event-stream; charset=utf-8"); }

private:
    static QByteArray openAI(const QString &model, const QStringList &pieces, qint64 created);
    static QByteArray anthropic(const QString &model, const QStringList &pieces);
    static QByteArray gemini(const QStringList &pieces);
};
