#include "chat/conversationexport.h"

#include "chat/conversationmarkdown.h"
#include "chat/conversationpdf.h"
#include "conversation/conversationstore.h"
#include "core/diagnosticlog.h"

#include <QSaveFile>
#include <QtConcurrent/QtConcurrentRun>

ConversationExport::ConversationExport(QObject *parent)
    : QObject(parent), m_store(ConversationStore::instance())
{}

QString ConversationExport::suggestedFileName(const QString &name, const QString &format)
{
    return ConversationMarkdown::fileName(name, format == u"pdf" ? QStringLiteral("pdf")
                                                                 : QStringLiteral("md"));
}

void ConversationExport::setProgress(double progress)
{
    if (qFuzzyCompare(progress, m_progress))
        return;
    m_progress = progress;
    emit progressChanged();
}

void ConversationExport::start(const QString &conversationId, const QString &name,
                               const QString &format, const QUrl &file)
{
    const std::optional<QUuid> id = Message::parseId(conversationId);
    if (m_busy || !id || !m_store)
        return;
    const MessageList messages = m_store->messages(*id);
    const QString path = file.isLocalFile() ? file.toLocalFile() : file.toString();
    const bool pdf = format == u"pdf";
    m_busy = true;
    emit busyChanged();
    setProgress(0);
    QPointer<ConversationExport> self(this);
    const auto report = [self](double share) {
        QMetaObject::invokeMethod(
            self,
            [self, share] {
                if (self)
                    self->setProgress(share);
            },
            Qt::QueuedConnection);
    };
    // The messages were read here, on the store's thread; the worker only lays out and writes.
    (void)QtConcurrent::run([self, messages, name, path, pdf, report] {
        QSaveFile out(path);
        bool ok = out.open(QIODevice::WriteOnly);
        if (ok && pdf)
            ok = ConversationPdf::write(&out, name, messages, report);
        else if (ok)
            ok = out.write(ConversationMarkdown::of(name, messages).toUtf8()) >= 0;
        ok = ok && out.commit();
        if (!ok)
            DiagnosticLog::line("导出失败:", path, out.errorString());
        QMetaObject::invokeMethod(
            self,
            [self, ok] {
                if (!self)
                    return;
                self->m_busy = false;
                emit self->busyChanged();
                emit self->finished(ok);
            },
            Qt::QueuedConnection);
    });
}
