#pragma once

#include <QObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QTest>

#include <csignal>

// talvoro-server run as its own process on a free loopback port, for the tests that use the
// real thing. Its standard output is collected: the listening line and the sign-in codes are
// read from it, as a developer reads them from the terminal.
class ServerProcess : public QObject {
public:
    static constexpr int kWait = 30000;

    ~ServerProcess() override { stop(); }

    // Starts the server with its data in `dataDir` and returns its origin, or an empty string
    // when it did not come up (output() then says why).
    QString start(const QString &dataDir, const QStringList &more = {})
    {
        m_process.setProgram(QStringLiteral(TALVORO_SERVER_PATH));
        m_process.setArguments(
            QStringList{"--port", "0", "--data-dir", dataDir, "--log-level", "info"} + more);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const QString &key : env.keys()) {
            if (key.startsWith(QLatin1String("TALVORO_")))
                env.remove(key); // the built-in demo responder, never a real provider
        }
        m_process.setProcessEnvironment(env);
        connect(&m_process, &QProcess::readyReadStandardOutput, this,
                [this] { m_output += m_process.readAllStandardOutput(); });
        m_process.start();
        if (m_process.waitForStarted())
            m_origin = waitForLine(QStringLiteral("^listening (http://127\\.0\\.0\\.1:\\d+)$"));
        return m_origin;
    }

    // The first group of the last output line that matches, waiting for one to be printed.
    QString waitForLine(const QString &pattern)
    {
        const QRegularExpression expression(pattern, QRegularExpression::MultilineOption);
        QString found;
        (void)QTest::qWaitFor(
            [&] {
                for (const auto &m : expression.globalMatch(QString::fromUtf8(m_output)))
                    found = m.captured(1);
                return !found.isEmpty();
            },
            kWait);
        return found;
    }

    // The sign-in code last printed for `phone`.
    QString codeFor(const QString &phone)
    {
        return waitForLine("^sms-code phone=" + QRegularExpression::escape(phone) +
                           " code=(\\d{6})$");
    }

    // The way a user's Ctrl+C or the session's end stops it.
    void stop()
    {
        if (m_process.state() == QProcess::Running) {
            ::kill(pid_t(m_process.processId()), SIGTERM);
            if (!m_process.waitForFinished(10000))
                m_process.kill();
        }
        m_output += m_process.readAllStandardOutput();
    }

    QProcess &process() { return m_process; }
    const QByteArray &output() const { return m_output; }
    QString url(const QString &path) const { return m_origin + path; }

private:
    QProcess m_process;
    QByteArray m_output;
    QString m_origin;
};
