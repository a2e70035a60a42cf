#pragma once

#include <QDateTime>
#include <QList>
#include <QString>
#include <QUuid>

#include <optional>

// What a message is, as the history keeps it. An answer still arriving is stored as such the
// moment it is asked for, so a quit or a crash before it ends leaves a row that reads as the
// network notice, never as an empty answer.
enum class MessageKind { Question, Answer, Notice, Picture, Arriving };

// One chat record: a question, an answer (or its loading placeholder), a notice or a picture.
// Two messages are the same message exactly when their ids are equal.
struct Message {
    Message(QString content, bool isUserMessage);
    // A notice from the program in the answer's place (quota, network, empty answer).
    static Message notice(const QString &text);

    QUuid id = QUuid::createUuid();
    QString content;
    bool isUserMessage = false;
    // Seconds since 2001-01-01 00:00:00 UTC, the stored form's clock, kept as the double that
    // is written so a stored fraction survives any number of round trips.
    double timestamp = referenceNow();
    bool isLoading = false;
    std::optional<QString> avatarURL;
    // Kept as the text that was read, so it is written back byte for byte.
    std::optional<QString> imageURL;
    std::optional<QString> cachedImagePath;

    MessageKind kind = MessageKind::Answer;
    // An answer's `content` is the model's own text, Markdown marks and fence words included.
    // Answers kept by earlier versions hold the tidied display text instead: this says so, and
    // nothing tidies them a second time.
    bool preformatted = false;
    // What this message follows: an answer its question, a question the answer before it;
    // none for a conversation's first question. A regenerated answer and an edited question are
    // siblings of what they replace in view.
    std::optional<QUuid> parentId;
    // When the user last switched this message's branch into view (see ShownPath).
    std::optional<double> shownAt;
    // The model that answered (or was asked); empty when not known.
    QString model;
    // What this message was charged, once the charge was made: billable characters (absent for
    // a flat price) and the amount deducted.
    std::optional<qint64> chargedCharacters;
    std::optional<double> chargedAmount;
    // A regenerated answer's own charge for asking its question again (the question keeps what
    // its first send was charged).
    std::optional<qint64> askedCharacters;
    std::optional<double> askedAmount;

    bool isNotice() const { return kind == MessageKind::Notice; }

    QDateTime dateTime() const;
    static QDateTime dateTimeOf(double timestamp);
    static double referenceNow();
    static double referenceTime(const QDateTime &when);

    // The canonical stored form of an id: 8-4-4-4-12, upper-case.
    static QString idText(const QUuid &id);
    // Accepts the canonical form in any case, nothing else.
    static std::optional<QUuid> parseId(QStringView text);
};

using MessageList = QList<Message>;
