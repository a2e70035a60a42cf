#include "chat/replyformatter.h"

#include "chat/inlinecodespans.h"

QString ReplyFormatter::formatReplyText(const QString &text)
{
    return cleanUp(text, nullptr);
}

namespace {

void tidyMarks(QStringView text, QString &out)
{
    QString part = text.toString();
    part.replace(QLatin1String("###"), QLatin1String(" "));
    part.replace(QLatin1String("##"), QLatin1String(" "));
    part.replace(QLatin1String("<br>"), QLatin1String("\n"));
    part.replace(QLatin1String("**"), QLatin1String(""));
    part.replace(QLatin1String("\"\""), QLatin1String(""));
    out.append(part);
}

} // namespace

// Outside inline code spans only: code is copied, sent back and charged as the model wrote it.
void ReplyFormatter::tidyProse(QStringView prose, QString &out)
{
    qsizetype copied = 0;
    for (const auto &[start, end] : InlineCodeSpans::find(prose)) {
        tidyMarks(prose.sliced(copied, start - copied), out);
        out.append(prose.sliced(start, end - start));
        copied = end;
    }
    tidyMarks(prose.sliced(copied), out);
}

QString ReplyFormatter::cleanUp(const QString &text, QStringList *languages)
{
    QList<std::pair<qsizetype, qsizetype>> code;
    const QString blocks = replaceCodeBlocks(text, languages, &code);
    QString result;
    result.reserve(blocks.size());
    qsizetype copied = 0;
    for (const auto &[start, end] : std::as_const(code)) {
        tidyProse(QStringView(blocks).sliced(copied, start - copied), result);
        result.append(QStringView(blocks).sliced(start, end - start));
        copied = end;
    }
    tidyProse(QStringView(blocks).sliced(copied), result);
    return result;
}

QStringList ReplyFormatter::codeBlockLanguages(const QString &text)
{
    QStringList languages;
    replaceCodeBlocks(text, &languages);
    return languages;
}

QString ReplyFormatter::formatPartialReplyText(const QString &text, QStringList *languages)
{
    // A mark whose second half may be on its way: "**", "##", "\"\"", "<br>", a fence.
    qsizetype end = text.size();
    while (end > 0 && QStringView(u"*#\"`").contains(text.at(end - 1)))
        --end;
    for (qsizetype n = 3; n >= 1; --n) {
        if (end >= n && QStringView(u"<br>").startsWith(QStringView(text).sliced(end - n, n))) {
            end -= n;
            break;
        }
    }
    const QString partial = text.left(end);
    QStringList shownLanguages;
    const QString formatted = cleanUp(partial, languages ? &shownLanguages : nullptr);
    static const QString fence = QStringLiteral("```");
    QString shown;
    if (!formatted.contains(fence)) {
        shown = formatted;
    } else {
        // A block that is still arriving shows as code now, as it will once its fence closes.
        QStringList closedLanguages;
        const QString closed =
            cleanUp(partial + u'\n' + fence, languages ? &closedLanguages : nullptr);
        if (closed.count(fence) < formatted.count(fence)) {
            shown = closed;
            shownLanguages = closedLanguages;
        } else {
            // The fence's own line (its language word) is still arriving.
            shown = formatted.left(formatted.lastIndexOf(fence));
        }
    }
    if (languages)
        *languages = shownLanguages;
    return shown;
}

QString ReplyFormatter::replaceCodeBlocks(const QString &text, QStringList *languages,
                                          QList<std::pair<qsizetype, qsizetype>> *codeRanges)
{
    const qsizetype n = text.size();
    const QChar *t = text.constData();
    // \s and \w as the expression reads them with Unicode properties on: separators,
    // \t \n \v \f \r and U+0085; letters, numbers and '_'.
    const auto isSpace = [](QChar c) {
        return c.isSpace();
    };
    const auto spaceEnd = [&](qsizetype i) {
        while (i < n && isSpace(t[i]))
            ++i;
        return i;
    };
    const auto isFence = [&](qsizetype i) {
        return i + 3 <= n && t[i] == u'`' && t[i + 1] == u'`' && t[i + 2] == u'`';
    };
    const auto wordEnd = [&](qsizetype i) {
        while (i < n) {
            const bool pair = t[i].isHighSurrogate() && i + 1 < n && t[i + 1].isLowSurrogate();
            const char32_t c = pair ? QChar::surrogateToUcs4(t[i], t[i + 1]) : t[i].unicode();
            if (c != U'_' && !QChar::isLetterOrNumber(c))
                break;
            i += pair ? 2 : 1;
        }
        return i;
    };

    // The first line break at or after `from` that is followed by white space and a fence.
    // Searches only move forward, so the scan is remembered: linear in all.
    qsizetype scannedFrom = -1;
    qsizetype scanned = -1;
    const auto closingBreak = [&](qsizetype from) -> qsizetype {
        if (scannedFrom >= 0 && from >= scannedFrom && (scanned < 0 || from <= scanned))
            return scanned;
        qsizetype found = -1;
        for (qsizetype i = from; i < n;) {
            if (t[i] != u'\n') {
                ++i;
                continue;
            }
            const qsizetype after = spaceEnd(i + 1);
            if (isFence(after)) {
                found = i;
                break;
            }
            // Every line break up to `after` is followed by the same white space.
            i = qMax(after, i + 1);
        }
        scannedFrom = from;
        scanned = found;
        return found;
    };

    QString out;
    qsizetype copied = 0;
    qsizetype from = 0; // where the search for the next block goes on
    for (qsizetype fence = text.indexOf(QLatin1String("```"), from); fence >= 0;
         fence = text.indexOf(QLatin1String("```"), fence + 1)) {
        if (fence < from)
            continue;
        const qsizetype word = wordEnd(fence + 3);
        const qsizetype space = spaceEnd(word);
        qsizetype lastBreak = -1;
        qsizetype breakBefore = -1;
        for (qsizetype i = word; i < space; ++i) {
            if (t[i] == u'\n') {
                breakBefore = lastBreak;
                lastBreak = i;
            }
        }
        if (lastBreak < 0)
            continue;
        // The code runs from after the last line break of that white space to the first line
        // break that precedes a closing fence; failing that, when the white space itself ends
        // at a fence, the code is what lies between its last two line breaks.
        qsizetype codeStart = lastBreak + 1;
        qsizetype codeEnd = closingBreak(codeStart);
        if (codeEnd < 0) {
            if (breakBefore < 0 || !isFence(space))
                continue;
            codeStart = breakBefore + 1;
            codeEnd = lastBreak;
        }
        const qsizetype closing = spaceEnd(codeEnd + 1);
        qsizetype start = fence;
        while (start > from && isSpace(t[start - 1]))
            --start;
        out.append(t + copied, start - copied);
        out.append(QLatin1String("<code>"));
        if (languages)
            languages->append(text.sliced(fence + 3, word - fence - 3));
        if (codeRanges)
            codeRanges->append({out.size(), out.size() + codeEnd - codeStart});
        out.append(t + codeStart, codeEnd - codeStart);
        out.append(QLatin1String("</code>"));
        copied = from = spaceEnd(closing + 3);
        fence = from - 1;
    }
    if (copied == 0)
        return text;
    out.append(t + copied, n - copied);
    return out;
}
