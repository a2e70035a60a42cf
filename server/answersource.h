#pragma once

#include <QObject>
#include <QString>

// Where the text of one chat answer comes from, piece by piece, as it becomes known. Deleting a
// source stops it at once: nothing more is fetched or paced for a client that is gone.
class AnswerSource : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    // Begins producing; pieces may follow before this returns.
    virtual void start() = 0;

signals:
    void piece(const QString &text);
    // No more pieces. `lastPiece`, when not empty, is a notice that ends the answer; `status` is
    // the answer's HTTP status if nothing has been written yet.
    void ended(int status, const QString &lastPiece);
};
