#include "conversation/historydatabase.h"

#include "conversation/searchindex.h"
#include "core/writeturn.h"

#include <QDateTime>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include <iterator>

namespace {

// Version 1: the history as rows. The list of conversations reads only `conversations`
// (its row text is kept there), in the order of `conversations_in_list`; a conversation's
// messages are read in the order of `messages_in_order`.
const char *const migrations[][6] = {
    {
        "CREATE TABLE conversations ("
        " id TEXT PRIMARY KEY NOT NULL,"
        " title TEXT,"
        " row_text TEXT NOT NULL DEFAULT '',"
        " created REAL NOT NULL,"
        " updated REAL NOT NULL,"
        " pinned INTEGER NOT NULL DEFAULT 0)",
        "CREATE INDEX conversations_in_list ON conversations (pinned DESC, created DESC, id)",
        "CREATE TABLE messages ("
        " id TEXT PRIMARY KEY NOT NULL,"
        " conversation TEXT NOT NULL REFERENCES conversations (id) ON DELETE CASCADE,"
        " parent TEXT,"
        " position INTEGER NOT NULL,"
        " kind TEXT NOT NULL"
        "  CHECK (kind IN ('question', 'answer', 'notice', 'picture', 'arriving')),"
        " content TEXT NOT NULL,"
        " preformatted INTEGER NOT NULL DEFAULT 0,"
        " model TEXT NOT NULL DEFAULT '',"
        " timestamp REAL NOT NULL,"
        " avatar_url TEXT,"
        " image_url TEXT,"
        " cached_image_path TEXT,"
        " charged_characters INTEGER,"
        " charged_amount REAL)",
        "CREATE UNIQUE INDEX messages_in_order ON messages (conversation, position)",
        nullptr,
        nullptr,
    },
    // Version 2: the full-text index of questions and answers, kept by SearchIndex (the
    // messages already there are indexed after version 4's list). `search_text` holds each
    // searchable message's folded text once; `search_index` is the trigram index over it (external
    // content, so the text is not stored twice). A scan for one or two characters, which a trigram
    // cannot match, reads `search_text` directly. The triggers keep the index in step with every
    // change of `search_text`, including the cascade when a message or a conversation goes.
    {
        "CREATE TABLE search_text ("
        " row INTEGER PRIMARY KEY,"
        " message TEXT NOT NULL UNIQUE REFERENCES messages (id) ON DELETE CASCADE,"
        " body TEXT NOT NULL)",
        "CREATE VIRTUAL TABLE search_index USING fts5(body, content='search_text', "
        "content_rowid='row', tokenize='trigram')",
        "CREATE TRIGGER search_text_added AFTER INSERT ON search_text BEGIN"
        " INSERT INTO search_index (rowid, body) VALUES (new.row, new.body); END",
        "CREATE TRIGGER search_text_removed AFTER DELETE ON search_text BEGIN"
        " INSERT INTO search_index (search_index, rowid, body) VALUES ('delete', old.row, "
        "old.body);"
        " END",
        "CREATE TRIGGER search_text_changed AFTER UPDATE ON search_text BEGIN"
        " INSERT INTO search_index (search_index, rowid, body) VALUES ('delete', old.row, "
        "old.body);"
        " INSERT INTO search_index (rowid, body) VALUES (new.row, new.body); END",
        nullptr,
    },
    // Version 3: answers kept as variants, questions edited as branches. Every message but a
    // conversation's first gets the parent it had in order, so an empty parent means a root;
    // `shown_at` is when the user switched a branch into view; `asked_*` is a regenerated
    // answer's charge for its question.
    {
        "ALTER TABLE messages ADD COLUMN shown_at REAL",
        "ALTER TABLE messages ADD COLUMN asked_characters INTEGER",
        "ALTER TABLE messages ADD COLUMN asked_amount REAL",
        "UPDATE messages SET parent = (SELECT p.id FROM messages p"
        " WHERE p.conversation = messages.conversation AND p.position < messages.position"
        " ORDER BY p.position DESC LIMIT 1) WHERE parent IS NULL",
        "CREATE INDEX messages_by_parent ON messages (parent)",
        nullptr,
    },
    // Version 4: the questions and answers whose indexing an upgrade leaves for later, in the
    // order they were written (SearchIndex::deferMissing); a message deleted meanwhile leaves
    // the list with it.
    {
        "CREATE TABLE search_backlog ("
        " ordinal INTEGER PRIMARY KEY,"
        " message TEXT NOT NULL UNIQUE REFERENCES messages (id) ON DELETE CASCADE)",
        nullptr,
    },
};

// Steps of a version that SQL alone cannot do, run after its statements.
bool finishVersion(int version, QSqlDatabase &db, QString *error)
{
    if (version == 4)
        return SearchIndex::deferMissing(db, error);
    return true;
}

} // namespace

int HistoryDatabase::latestVersion()
{
    return int(std::size(migrations));
}

bool HistoryDatabase::prepare(QString *error)
{
    // Foreign keys are off in every new SQLite connection; the deletes rely on them.
    QSqlQuery q(m_db);
    if (!q.exec(QStringLiteral("PRAGMA foreign_keys=ON"))) {
        *error = q.lastError().text();
        return false;
    }
    return migrate(error);
}

bool HistoryDatabase::begin()
{
    // Taking the write lock up front: a transaction that starts as a reader and then writes
    // fails at once, without waiting, when another connection wrote in between.
    if (!m_turn.owns_lock())
        m_turn = std::unique_lock(WriteTurn::mutex());
    QSqlQuery q(m_db);
    if (q.exec(QStringLiteral("BEGIN IMMEDIATE")))
        return true;
    releaseTurn();
    return false;
}

bool HistoryDatabase::commit()
{
    QSqlQuery q(m_db);
    if (q.exec(QStringLiteral("COMMIT"))) {
        releaseTurn();
        return true;
    }
    rollback();
    return false;
}

void HistoryDatabase::rollback()
{
    QSqlQuery q(m_db);
    q.exec(QStringLiteral("ROLLBACK"));
    releaseTurn();
}

bool HistoryDatabase::migrate(QString *error)
{
    QSqlQuery q(m_db);
    const auto failed = [&] {
        *error = q.lastError().text();
        rollback();
        return false;
    };
    if (!begin()) {
        *error = q.lastError().isValid() ? q.lastError().text() : m_db.lastError().text();
        return false;
    }
    if (!q.exec(QStringLiteral("CREATE TABLE IF NOT EXISTS history_schema "
                               "(version INTEGER PRIMARY KEY, applied_ms INTEGER NOT NULL)")))
        return failed();
    if (!q.exec(QStringLiteral("SELECT COALESCE(MAX(version), 0) FROM history_schema")) ||
        !q.next())
        return failed();
    const int current = q.value(0).toInt();
    q.finish();
    for (int v = current + 1; v <= latestVersion(); ++v) {
        for (const char *statement : migrations[v - 1]) {
            if (statement && !q.exec(QString::fromLatin1(statement)))
                return failed();
        }
        if (!finishVersion(v, m_db, error)) {
            rollback();
            return false;
        }
        q.prepare(QStringLiteral("INSERT INTO history_schema (version, applied_ms) VALUES (?, ?)"));
        q.addBindValue(v);
        q.addBindValue(QDateTime::currentMSecsSinceEpoch());
        if (!q.exec())
            return failed();
    }
    if (!commit()) {
        *error = m_db.lastError().text();
        return false;
    }
    return true;
}
