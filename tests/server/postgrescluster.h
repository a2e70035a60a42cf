#pragma once

#include <QDir>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>

#include <sys/stat.h>
#include <unistd.h>

// A throw-away PostgreSQL cluster: initdb and pg_ctl from Debian's postgresql package, data and
// socket in a temporary directory, listening on a free loopback port, stopped and removed with
// this object. PostgreSQL refuses to run as root, so as root (as CI runs) the cluster runs as
// nobody, which then owns the directory.
class PostgresCluster {
public:
    static constexpr const char *user = "talvoro";

    ~PostgresCluster() { stop(); }

    void stop()
    {
        if (std::exchange(m_running, false))
            run({m_bin + "/pg_ctl", "-D", dataDir(), "-m", "immediate", "-w", "stop"});
    }

    // False, with why(), when PostgreSQL is not installed or does not come up.
    bool start()
    {
        for (const QFileInfo &v :
             QDir("/usr/lib/postgresql").entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot)) {
            if (QFile::exists(v.filePath() + "/bin/initdb"))
                m_bin = v.filePath() + "/bin";
        }
        if (m_bin.isEmpty())
            return fail("PostgreSQL is not installed (no /usr/lib/postgresql/*/bin/initdb)");
        if (::geteuid() == 0 &&
            ::chown(QFile::encodeName(m_dir.path()).constData(), nobody, nobody) != 0)
            return fail("cannot hand the temporary directory to nobody");
        if (QTcpServer probe; probe.listen(QHostAddress::LocalHost, 0))
            m_port = probe.serverPort();
        else
            return fail("no free loopback port");
        // Durability is the production default; a test cluster that vanishes afterwards needs
        // none of it, and skipping the flushes keeps the suite quick.
        if (!run({m_bin + "/initdb", "-D", dataDir(), "-U", user, "-A", "trust", "-E", "UTF8",
                  "--no-sync"}))
            return false;
        const QString options = "-p " + QString::number(m_port) + " -k " + m_dir.path() +
                                " -c listen_addresses=127.0.0.1 -F -c max_connections=200";
        m_running = run({m_bin + "/pg_ctl", "-D", dataDir(), "-l", m_dir.filePath("log"), "-o",
                         options, "-w", "-t", "60", "start"});
        return m_running;
    }

    QString why() const { return m_why; }

    // The address of a new, empty database in the cluster; empty, with why(), when it cannot be
    // made.
    QString newDatabase()
    {
        const QString name = QStringLiteral("t%1").arg(++m_databases);
        const QString port = QString::number(m_port);
        if (!run({m_bin + "/createdb", "-h", "127.0.0.1", "-p", port, "-U", user, name}))
            return {};
        return QStringLiteral("postgresql://%1@127.0.0.1:%2/%3").arg(user, port, name);
    }

private:
    static constexpr uid_t nobody = 65534;

    QString dataDir() const { return m_dir.filePath("data"); }

    bool fail(const QString &why)
    {
        m_why = why;
        return false;
    }

    bool run(QStringList command)
    {
        if (::geteuid() == 0) {
            command =
                QStringList{"--reuid=65534", "--regid=65534", "--clear-groups", "--"} + command;
            command.prepend("setpriv");
        }
        QProcess process;
        process.setWorkingDirectory(m_dir.path());
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.start(command.takeFirst(), command);
        const bool done = process.waitForFinished(90000);
        if (done && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0)
            return true;
        QFile log(m_dir.filePath("log"));
        log.open(QIODevice::ReadOnly);
        return fail(command.join(' ') + ": " + QString::fromLocal8Bit(process.readAll()) +
                    QString::fromLocal8Bit(log.readAll()));
    }

    // In /tmp whatever TMPDIR says: nobody must be able to reach it, and a socket's path must stay
    // short.
    QTemporaryDir m_dir{QStringLiteral("/tmp/talvoro-postgres-XXXXXX")};
    QString m_bin;
    QString m_why;
    quint16 m_port = 0;
    int m_databases = 0;
    bool m_running = false;
};
