#ifndef UPDATESERVERPROCESS_H
#define UPDATESERVERPROCESS_H

// updateserver serving one release folder, started by a test as a child
// process on a free loopback port; the counterpart of NginxServer with the
// same interface. Needs UPDATESERVER_PATH, the executable. Its log goes to a
// file, so that a busy server never waits on a full pipe.

#include <QByteArray>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

class UpdateServerProcess
{
public:
    // `environment`: variables set on top of the test's own.
    explicit UpdateServerProcess(const QString &releaseRoot, const QProcessEnvironment &environment = {})
    {
        m_process.setStandardErrorFile(m_dir.filePath("server.log"));
        QProcessEnvironment inherited = QProcessEnvironment::systemEnvironment();
        inherited.insert(environment);
        m_process.setProcessEnvironment(inherited);
        m_process.start(QStringLiteral(UPDATESERVER_PATH), {"--root", releaseRoot, "--port", "0"});
        if (!m_process.waitForStarted(10000) || !m_process.waitForReadyRead(10000)) {
            m_error = "updateserver did not start: " + m_process.errorString() + ' ' + QString::fromLocal8Bit(log());
            return;
        }
        const QString line = QString::fromUtf8(m_process.readLine());
        const auto match = QRegularExpression("^listening on http://127\\.0\\.0\\.1:(\\d+)/\n$").match(line);
        m_port = match.captured(1).toUShort();
        if (!match.hasMatch())
            m_error = "unexpected first line: " + line;
    }
    ~UpdateServerProcess() { stop(); }
    UpdateServerProcess(const UpdateServerProcess &) = delete;
    UpdateServerProcess &operator=(const UpdateServerProcess &) = delete;

    bool isRunning() const { return m_port != 0 && m_process.state() == QProcess::Running; }
    QString errorString() const { return m_error; }
    quint16 port() const { return m_port; }
    qint64 processId() const { return m_process.processId(); }
    // It answers the update POST at any path; this one is the updater's default.
    QString url() const { return QStringLiteral("http://127.0.0.1:%1/brevlane/.update2/.version").arg(m_port); }
    QString staticUrl() const { return QStringLiteral("http://127.0.0.1:%1/").arg(m_port); }
    QByteArray log() const
    {
        QFile file(m_dir.filePath("server.log"));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    // SIGTERM; true when it ended cleanly with status 0.
    bool stop()
    {
        if (m_process.state() == QProcess::NotRunning)
            return false;
        m_process.terminate();
        if (!m_process.waitForFinished(15000)) {
            m_process.kill();
            m_process.waitForFinished(5000);
            return false;
        }
        return m_process.exitStatus() == QProcess::NormalExit && m_process.exitCode() == 0;
    }

private:
    QTemporaryDir m_dir;
    QProcess m_process;
    quint16 m_port = 0;
    QString m_error;
};

#endif // UPDATESERVERPROCESS_H
