#pragma once

#include <QLocalServer>
#include <QObject>
#include <QString>

// Keeps one running copy of the program per user. A second launch hands over to the first,
// which is asked to bring its main window back, and then ends.
class SingleInstance : public QObject {
    Q_OBJECT

public:
    explicit SingleInstance(QString name = defaultName(), QObject *parent = nullptr);

    static QString defaultName();

    // True when another copy is running and took the request; this copy should end.
    bool handOver();
    // Starts answering later launches; false when the name cannot be taken.
    bool listen();

signals:
    void activationRequested();

private:
    QString m_name;
    QLocalServer m_server;
};
