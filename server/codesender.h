#pragma once

#include <QObject>
#include <QStringList>

#include <chrono>
#include <functional>

// Hands each sign-in code to its person. With a command configured (an SMS gateway's client),
// the command runs with the phone number and the code as its last two arguments, directly, never
// through a shell, and is stopped when it takes too long. Without one, the code is printed as an
// "sms-code" line for whoever runs the server (the local default).
class CodeSender : public QObject {
    Q_OBJECT
public:
    // `command` is split into program and arguments at spaces; double quotes keep spaces in one
    // argument.
    explicit CodeSender(const QString &command,
                        std::chrono::milliseconds timeout = std::chrono::seconds(10),
                        QObject *parent = nullptr);

    using Done = std::function<void(bool delivered)>;
    // `done` is called exactly once, at once when the code is printed.
    void send(const QString &phone, const QString &code, Done done);

private:
    QString m_program;
    QStringList m_arguments;
    std::chrono::milliseconds m_timeout;
};
