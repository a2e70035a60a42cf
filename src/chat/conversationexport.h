#pragma once

#include <QObject>
#include <QPointer>
#include <QUrl>
#include <QtQml/qqmlregistration.h>

class ConversationStore;

// Writes one conversation to a file the user chose, as Markdown or PDF, away from the window's
// thread. The file appears whole or not at all: a failure leaves what was there before.
class ConversationExport : public QObject {
    Q_OBJECT
    QML_ELEMENT
    Q_PROPERTY(bool busy READ busy NOTIFY busyChanged)
    Q_PROPERTY(double progress READ progress NOTIFY progressChanged)

public:
    explicit ConversationExport(QObject *parent = nullptr);
    void setStore(ConversationStore *store) { m_store = store; }

    bool busy() const { return m_busy; }
    double progress() const { return m_progress; }

    // The name a save panel suggests: the conversation's name, with what a file name cannot
    // hold replaced, and the format's extension ("markdown": .md, "pdf": .pdf).
    Q_INVOKABLE static QString suggestedFileName(const QString &name, const QString &format);
    // Starts writing; `finished` tells how it went. Ignored while another export runs.
    Q_INVOKABLE void start(const QString &conversationId, const QString &name,
                           const QString &format, const QUrl &file);

signals:
    void busyChanged();
    void progressChanged();
    void finished(bool ok);

private:
    void setProgress(double progress);

    QPointer<ConversationStore> m_store;
    bool m_busy = false;
    double m_progress = 0;
};
