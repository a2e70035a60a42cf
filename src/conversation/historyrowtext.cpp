#include "conversation/historyrowtext.h"

#include <QStringList>

QString HistoryRowText::of(const Message &last)
{
    QString text;
    switch (last.kind) {
    case MessageKind::Picture:
        return picture();
    case MessageKind::Arriving:
        return unanswered();
    case MessageKind::Answer:
        text = last.preformatted ? QString(last.content)
                                       .remove(QLatin1String("<code>"))
                                       .remove(QLatin1String("</code>"))
                                 : plain(last.content);
        break;
    case MessageKind::Question:
    case MessageKind::Notice:
        text = last.content;
        break;
    }
    if (last.cachedImagePath)
        return picture();
    if (text.size() > kLongest) {
        qsizetype cut = kLongest;
        if (text.at(cut - 1).isHighSurrogate())
            --cut;
        text.truncate(cut);
    }
    return text;
}

QString HistoryRowText::plain(const QString &markdown)
{
    // The row shows the start: marks further on change nothing in it.
    QStringList lines = markdown.left(kLongest * 4).split(u'\n');
    QStringList kept;
    kept.reserve(lines.size());
    for (QString &line : lines) {
        const QStringView trimmed = QStringView(line).trimmed();
        if (trimmed.startsWith(QLatin1String("```")))
            continue;
        qsizetype hashes = 0;
        while (hashes < trimmed.size() && trimmed.at(hashes) == u'#')
            ++hashes;
        if (hashes > 0 && hashes <= 6 && (hashes == trimmed.size() || trimmed.at(hashes) == u' '))
            line = trimmed.sliced(hashes).trimmed().toString();
        line.remove(QLatin1String("**"));
        line.remove(QLatin1String("__"));
        line.remove(u'`');
        line.replace(QLatin1String("<br>"), QLatin1String(" "));
        // The row has two lines to show: blank ones would waste one.
        if (!line.trimmed().isEmpty())
            kept.append(line);
    }
    return kept.join(u'\n').trimmed();
}
