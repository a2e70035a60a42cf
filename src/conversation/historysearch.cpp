#include "conversation/historysearch.h"

#include "conversation/messagerows.h"
#include "conversation/searchtext.h"

#include <QRegularExpression>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include <algorithm>

namespace {

// Characters as a trigram counts them: a pair of surrogates is one.
qsizetype characters(const QString &word)
{
    return word.size() -
           std::count_if(word.cbegin(), word.cend(), [](QChar c) { return c.isLowSurrogate(); });
}

// A word as one FTS5 phrase: quoted, so its characters are never read as query syntax.
QString phrase(const QString &word)
{
    return u'"' + QString(word).replace(u'"', QLatin1String("\"\"")) + u'"';
}

} // namespace

QStringList HistorySearch::words(const QString &query)
{
    QStringList words;
    const QStringList parts = SearchText::fold(query).split(
        QRegularExpression(QStringLiteral("\\s+")), Qt::SkipEmptyParts);
    for (const QString &part : parts) {
        if (!words.contains(part))
            words.append(part);
    }
    return words;
}

QList<SearchHit> HistorySearch::find(QSqlDatabase &db, const QString &query, int limit)
{
    QList<SearchHit> hits;
    const QStringList all = words(query);
    if (all.isEmpty() || limit <= 0)
        return hits;
    QStringList indexed;
    QStringList scanned;
    for (const QString &word : all)
        (characters(word) >= 3 ? indexed : scanned).append(word);

    // The message's own columns, named through its table: conversations has an id too.
    QStringList columns = MessageRows::columns().split(QStringLiteral(", "));
    for (QString &column : columns)
        column.prepend(QStringLiteral("m."));
    QString sql = QStringLiteral("SELECT m.conversation, COALESCE(c.title, c.row_text), ") +
                  columns.join(QStringLiteral(", "));
    if (indexed.isEmpty()) {
        sql += QStringLiteral(" FROM search_text t");
    } else {
        sql +=
            QStringLiteral(" FROM search_index JOIN search_text t ON t.row = search_index.rowid");
    }
    sql += QStringLiteral(" JOIN messages m ON m.id = t.message JOIN conversations c ON c.id = "
                          "m.conversation WHERE 1");
    if (!indexed.isEmpty())
        sql += QStringLiteral(" AND search_index MATCH ?");
    for (qsizetype i = 0; i < scanned.size(); ++i)
        sql += QStringLiteral(" AND instr(t.body, ?) > 0");
    // The index's row numbers follow the messages' times: newest first without a sort.
    sql += indexed.isEmpty() ? QStringLiteral(" ORDER BY t.row DESC LIMIT ?")
                             : QStringLiteral(" ORDER BY search_index.rowid DESC LIMIT ?");

    QSqlQuery q(db);
    q.setForwardOnly(true);
    if (!q.prepare(sql))
        return hits;
    if (!indexed.isEmpty()) {
        QStringList phrases;
        for (const QString &word : std::as_const(indexed))
            phrases.append(phrase(word));
        q.addBindValue(phrases.join(u' '));
    }
    for (const QString &word : std::as_const(scanned))
        q.addBindValue(word);
    q.addBindValue(limit);
    if (!q.exec())
        return hits;
    while (q.next()) {
        const Message m = MessageRows::read(q, 2);
        SearchHit hit = snippet(SearchText::of(m).value_or(QString()), all);
        hit.message = m.id;
        hit.conversation = QUuid::fromString(q.value(0).toString());
        hit.conversationText = q.value(1).toString();
        hit.timestamp = m.timestamp;
        hits.append(hit);
    }
    return hits;
}

SearchHit HistorySearch::snippet(const QString &shown, const QStringList &words)
{
    const QString folded = SearchText::fold(shown);
    qsizetype first = -1;
    for (const QString &word : words) {
        const qsizetype at = folded.indexOf(word);
        if (at >= 0 && (first < 0 || at < first))
            first = at;
    }
    first = std::max<qsizetype>(first, 0);
    // A third of the snippet before the match, the rest after it.
    qsizetype start = std::max<qsizetype>(0, first - kSnippetLength / 3);
    const qsizetype end = std::min(shown.size(), start + kSnippetLength);
    start = std::max<qsizetype>(0, std::min(start, end - kSnippetLength));
    // Never half of a character that takes two units.
    if (start > 0 && shown.at(start).isLowSurrogate())
        ++start;
    qsizetype stop = end;
    if (stop < shown.size() && stop > start && shown.at(stop - 1).isHighSurrogate())
        --stop;

    SearchHit hit;
    const QString lead = start > 0 ? QStringLiteral("…") : QString();
    hit.snippet = lead + shown.mid(start, stop - start);
    if (stop < shown.size())
        hit.snippet += QStringLiteral("…");
    for (QChar &c : hit.snippet) {
        if (c == u'\n' || c == u'\t' || c == u'\r')
            c = u' ';
    }
    const QString window = folded.mid(start, stop - start);
    for (const QString &word : words) {
        for (qsizetype at = window.indexOf(word); at >= 0;
             at = window.indexOf(word, at + word.size()))
            hit.marks.append({lead.size() + at, std::min(word.size(), window.size() - at)});
    }
    std::sort(hit.marks.begin(), hit.marks.end());
    // Overlapping words are one mark.
    QList<std::pair<qsizetype, qsizetype>> merged;
    for (const auto &[at, length] : std::as_const(hit.marks)) {
        if (!merged.isEmpty() && at <= merged.last().first + merged.last().second) {
            merged.last().second =
                std::max(merged.last().second, at + length - merged.last().first);
        } else {
            merged.append({at, length});
        }
    }
    hit.marks = merged;
    return hit;
}
