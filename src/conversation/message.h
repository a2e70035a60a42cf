#pragma once

#include <QDateTime>
#include <QList>
#include <QString>
#include <QUuid>

#include <optional>

// One chat record: a question, an answer (or its loading placeholder), a notice or a picture.
// Two messages are the same message exactly when their ids are equal.
struct Message {
    Message(QString content, bool isUserMessage);

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

    QDateTime dateTime() const;
    static double referenceNow();
    static double referenceTime(const QDateTime &when);

    // The canonical stored form of an id: 8-4-4-4-12, upper-case.
    static QString idText(const QUuid &id);
    // Accepts the canonical form in any case, nothing else.
    static std::optional<QUuid> parseId(QStringView text);
};

using MessageList = QList<Message>;
