#include "codesender.h"

#include "serverlog.h"

#include <QProcess>
#include <QTimer>

#include <memory>

CodeSender::CodeSender(const QString &command, std::chrono::milliseconds timeout, QObject *parent)
    : QObject(parent), m_arguments(QProcess::splitCommand(command)), m_timeout(timeout)
{
    if (!m_arguments.isEmpty())
        m_program = m_arguments.takeFirst();
}

void CodeSender::send(const QString &phone, const QString &code, Done done)
{
    if (m_program.isEmpty()) {
        ServerLog::always({QStringLiteral("sms-code"), QStringLiteral("phone=") + phone,
                           QStringLiteral("code=") + code});
        done(true);
        return;
    }
    auto *process = new QProcess(this);
    process->setProgram(m_program);
    process->setArguments(m_arguments + QStringList{phone, code});
    // Our standard output is read by programs; the command's own chatter must not mix into it.
    process->setStandardOutputFile(QProcess::nullDevice());
    process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    auto ended = std::make_shared<bool>(false);
    // The code itself never goes to the log.
    auto end = [process, phone, done, ended](bool delivered, const QString &why) {
        if (std::exchange(*ended, true))
            return;
        if (!delivered)
            ServerLog::error(
                {QStringLiteral("sms-command failed"), QStringLiteral("phone=") + phone, why});
        process->deleteLater();
        done(delivered);
    };
    connect(process, &QProcess::finished, this, [end](int exitCode, QProcess::ExitStatus status) {
        end(status == QProcess::NormalExit && exitCode == 0,
            QStringLiteral("exit status %1").arg(exitCode));
    });
    connect(process, &QProcess::errorOccurred, this, [end, process](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            end(false, process->errorString());
    });
    QTimer::singleShot(m_timeout, process, [end, process] {
        process->kill();
        end(false, QStringLiteral("timed out"));
    });
    process->start();
}
