#include "conversation/searchtext.h"

#include <QRegularExpression>
#include <QStringList>

std::optional<QString> SearchText::of(const Message &message)
{
    switch (message.kind) {
    case MessageKind::Question:
        return message.content;
    case MessageKind::Answer:
        if (message.cachedImagePath)
            return std::nullopt;
        // Answers kept by earlier versions were tidied already; only their code marks remain.
        return message.preformatted ? QString(message.content)
                                          .remove(QLatin1String("<code>"))
                                          .remove(QLatin1String("</code>"))
                                    : plain(message.content);
    case MessageKind::Notice:
    case MessageKind::Picture:
    case MessageKind::Arriving:
        break;
    }
    return std::nullopt;
}

QString SearchText::fold(QString text)
{
    for (QChar &c : text) {
        const char16_t u = c.unicode();
        if (u >= 0xFF01 && u <= 0xFF5E)
            c = QChar(char16_t(u - 0xFF01 + 0x21));
        else if (u == 0x3000)
            c = QChar(u' ');
        if (c.isUpper())
            c = c.toLower();
    }
    return text;
}

QString SearchText::plain(const QString &markdown)
{
    static const QRegularExpression link(QStringLiteral("!?\\[([^\\]\\n]*)\\]\\([^)\\n]*\\)"));
    static const QRegularExpression tableRule(
        QStringLiteral("^\\|?\\s*:?-+:?\\s*(\\|\\s*:?-+:?\\s*)*\\|?$"));
    static const QRegularExpression listMark(QStringLiteral("^(\\s*)([-*+]|\\d+[.)])\\s+"));
    QStringList kept;
    bool inCode = false;
    for (QString line : markdown.split(u'\n')) {
        const QStringView trimmed = QStringView(line).trimmed();
        if (trimmed.startsWith(QLatin1String("```")) || trimmed.startsWith(QLatin1String("~~~"))) {
            inCode = !inCode;
            continue;
        }
        if (inCode) {
            kept.append(line);
            continue;
        }
        if (tableRule.match(trimmed).hasMatch())
            continue;
        QString text = trimmed.toString();
        while (text.startsWith(u'>'))
            text = text.sliced(1).trimmed();
        qsizetype hashes = 0;
        while (hashes < text.size() && text.at(hashes) == u'#')
            ++hashes;
        if (hashes > 0 && hashes <= 6 && (hashes == text.size() || text.at(hashes) == u' '))
            text = text.sliced(hashes).trimmed();
        text.replace(listMark, QStringLiteral("\\1"));
        text.replace(link, QStringLiteral("\\1"));
        text.remove(QLatin1String("**"));
        text.remove(QLatin1String("__"));
        text.remove(QLatin1String("~~"));
        text.remove(u'`');
        text.replace(QLatin1String("<br>"), QLatin1String(" "));
        if (text.startsWith(u'|')) {
            text = text.sliced(1);
            if (text.endsWith(u'|'))
                text.chop(1);
            QStringList cells = text.split(u'|');
            for (QString &cell : cells)
                cell = cell.trimmed();
            text = cells.join(QLatin1String("  "));
        }
        kept.append(text);
    }
    return kept.join(u'\n').trimmed();
}
