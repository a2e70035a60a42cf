#pragma once

#include <QList>
#include <QSqlDatabase>
#include <QString>
#include <QStringList>
#include <QUuid>

// One message that a search found.
struct SearchHit {
    QUuid message;
    QUuid conversation;
    // The conversation's row text (or the name the user gave it).
    QString conversationText;
    double timestamp = 0;
    // About kSnippetLength characters of the message's shown text around the first match, on
    // one line, with "…" where it was cut.
    QString snippet;
    // Where the query's words are in `snippet`: start, length.
    QList<std::pair<qsizetype, qsizetype>> marks;
};

// Finds the questions and answers that hold every word of a query, newest first. Words of
// three characters or more go through the trigram index; shorter ones, which a trigram cannot
// match, are looked for in the indexed text itself (only among the index's matches when there
// are longer words too). Matching ignores case and full-width forms (see SearchText::fold).
class HistorySearch {
public:
    static constexpr qsizetype kSnippetLength = 60;

    // The query's words, folded, without repeats.
    static QStringList words(const QString &query);

    static QList<SearchHit> find(QSqlDatabase &db, const QString &query, int limit);

    // The snippet of `shown` around the first place one of `words` (folded) occurs.
    static SearchHit snippet(const QString &shown, const QStringList &words);
};
