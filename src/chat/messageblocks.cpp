#include "messageblocks.h"

#include <QVariantMap>

QList<MessageBlock> MessageBlocks::split(const QString &content)
{
    static const QString open = QStringLiteral("<code>");
    static const QString close = QStringLiteral("</code>");
    QList<MessageBlock> out;
    const QStringList segments = content.split(open);
    for (const QString &segment : segments) {
        if (segment.contains(close)) {
            const QStringList parts = segment.split(close);
            if (!parts.first().isEmpty())
                out.append({true, parts.first()});
            // Anything after a second closing marker has no opening one: it is dropped.
            if (parts.size() >= 2) {
                const QString prose = parts.at(1).trimmed();
                if (!prose.isEmpty())
                    out.append({false, prose});
            }
        } else {
            const QString prose = segment.trimmed();
            if (!prose.isEmpty())
                out.append({false, prose});
        }
    }
    return out;
}

QVariantList MessageBlocks::blocks(const QString &content)
{
    QVariantList list;
    for (const MessageBlock &block : split(content))
        list.append(QVariantMap{{QStringLiteral("isCode"), block.isCode},
                                {QStringLiteral("text"), block.text}});
    return list;
}
