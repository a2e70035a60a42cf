#include "chat/conversationmarkdown.h"

#include "service/modelcatalogue.h"

#include <QRegularExpression>
#include <QStringList>
#include <QUrl>

QString ConversationMarkdown::headingOf(const QString &name)
{
    const QString line = name.section(u'\n', 0, 0).trimmed();
    return line.isEmpty() ? QStringLiteral("无标题") : line;
}

QString ConversationMarkdown::fileName(const QString &name, const QString &extension)
{
    static const QRegularExpression forbidden(QStringLiteral("[\\\\/:*?\"<>|\\x00-\\x1f]"));
    QString base = headingOf(name);
    base.replace(forbidden, QStringLiteral("_"));
    // Leading dots hide a file; trailing dots and spaces are dropped by some systems.
    while (base.startsWith(u'.'))
        base.remove(0, 1);
    while (base.endsWith(u'.') || base.endsWith(u' '))
        base.chop(1);
    // Most file systems take 255 bytes; a Chinese character is three of them.
    if (base.size() > 80)
        base.truncate(base.at(79).isHighSurrogate() ? 79 : 80);
    if (base.isEmpty())
        base = QStringLiteral("无标题");
    return base + u'.' + extension;
}

QString ConversationMarkdown::timeText(const Message &message)
{
    return message.dateTime().toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm"));
}

QString ConversationMarkdown::modelText(const Message &message)
{
    if (message.model.isEmpty())
        return {};
    return ModelCatalogue::modelDisplayNames().value(message.model, message.model);
}

QString ConversationMarkdown::of(const QString &name, const MessageList &messages)
{
    QString out = QStringLiteral("# ") + headingOf(name) + QStringLiteral("\n");
    for (const Message &m : messages) {
        const bool picture = m.kind == MessageKind::Picture || m.cachedImagePath;
        if (m.kind == MessageKind::Notice || m.kind == MessageKind::Arriving)
            continue;
        const QString model = modelText(m);
        const QString mark = m.kind == MessageKind::Question ? QStringLiteral("**问：**")
                                                             : QStringLiteral("**答：**");
        out += u'\n' + mark + u' ' + (model.isEmpty() ? QString() : model + QStringLiteral(" · ")) +
               timeText(m) + QStringLiteral("\n\n");
        if (picture) {
            const QUrl file = QUrl::fromLocalFile(m.cachedImagePath.value_or(QString()));
            out += QStringLiteral("![图片](") +
                   QString::fromUtf8(file.toEncoded(QUrl::FullyEncoded)) + QStringLiteral(")\n");
        } else if (m.preformatted) {
            // Kept by an earlier version: tidied text with its code between marks.
            QString text = m.content;
            text.replace(QLatin1String("<code>"), QLatin1String("\n```\n"));
            text.replace(QLatin1String("</code>"), QLatin1String("\n```\n"));
            out += text.trimmed() + u'\n';
        } else {
            out += m.content.trimmed() + u'\n';
        }
    }
    return out;
}
