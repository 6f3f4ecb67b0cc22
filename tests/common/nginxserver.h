#ifndef NGINXSERVER_H
#define NGINXSERVER_H

// nginx serving one release folder with the configuration of deploy/nginx,
// started by a test as an ordinary child process on a free loopback port.
// Its prefix (configuration, pid, logs, temporary files) is a temporary
// folder of its own. Needs NGINX_DEPLOY_DIR, the deploy/nginx folder (set for
// every test in tests/CMakeLists.txt).
//
//     NginxServer nginx(releaseFolder);
//     QVERIFY2(nginx.isRunning(), qPrintable(nginx.errorString()));
//     ... POST to nginx.url(), GET below nginx.staticUrl() ...
//     nginx.accessLog();  // one line per request
//
// With a certificate and key (`tls`: two PEM files) it serves HTTPS, and
// HTTP/2 to clients that offer it.
//
// Run as root (as CI is), nginx would switch its workers to an unprivileged
// user that cannot read the test's 0700 temporary folders: the workers then
// keep root. nginx ends with the object, and with the test's main thread.

#include <QByteArray>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QStringList>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>

#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

class NginxServer
{
public:
    // The URL paths of the two locations.
    static constexpr const char *updatePath = "/brevlane/.update2/.version";
    static constexpr const char *filesPrefix = "/brevlane/files/";

    explicit NginxServer(const QString &releaseRoot, int workers = 1, const QStringList &tls = {})
        : m_tls(tls)
    {
        if (!m_prefix.isValid()) {
            m_error = "no temporary folder";
            return;
        }
        const QString nginx = executable();
        if (nginx.isEmpty()) {
            m_error = "nginx is not installed (scripts/deps installs it)";
            return;
        }
        // The free port is found by binding it; another process may take it
        // before nginx does, so a start that fails on its port is retried.
        for (int attempt = 0; attempt < 5 && !m_running; ++attempt) {
            m_port = freePort();
            if (configure(releaseRoot, workers))
                start(nginx);
            if (!m_running && !prefixFile("logs/error.log").contains("Address already in use"))
                break;
        }
    }
    ~NginxServer() { stop(); }
    NginxServer(const NginxServer &) = delete;
    NginxServer &operator=(const NginxServer &) = delete;

    bool isRunning() const { return m_running && m_process.state() == QProcess::Running; }
    // Why it is not running: nginx's own words when it said any.
    QString errorString() const { return m_error; }
    quint16 port() const { return m_port; }
    // The master's process id (the workers are its children).
    qint64 processId() const { return m_process.processId(); }
    // Where the updater posts its requests (its --url).
    QString url() const { return QStringLiteral("%1://127.0.0.1:%2%3").arg(scheme()).arg(m_port).arg(updatePath); }
    // The base that a GET of the release's relative paths goes below, ending in "/".
    QString staticUrl() const { return QStringLiteral("%1://127.0.0.1:%2%3").arg(scheme()).arg(m_port).arg(filesPrefix); }
    QByteArray accessLog() const { return prefixFile("logs/access.log"); }
    QByteArray errorLog() const { return prefixFile("logs/error.log"); }

    void stop()
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        m_process.terminate(); // fast shutdown of the master and its workers
        if (!m_process.waitForFinished(10000)) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
        m_running = false;
    }

private:
    // nginx as a child that is ended with SIGTERM when the thread that
    // started it ends, so that a crashed test leaves none behind.
    class Child : public QProcess
    {
    protected:
        void setupChildProcess() override { prctl(PR_SET_PDEATHSIG, SIGTERM); }
    };

    QString scheme() const { return m_tls.isEmpty() ? QStringLiteral("http") : QStringLiteral("https"); }

    static QString executable()
    {
        const QString found = QStandardPaths::findExecutable("nginx");
        return found.isEmpty() ? QStandardPaths::findExecutable("nginx", {"/usr/sbin", "/sbin"}) : found;
    }

    static quint16 freePort()
    {
        QTcpServer probe;
        return probe.listen(QHostAddress::LocalHost, 0) ? probe.serverPort() : 0;
    }

    QByteArray prefixFile(const QString &name) const
    {
        QFile file(m_prefix.filePath(name));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    bool configure(const QString &releaseRoot, int workers)
    {
        QProcess make;
        QStringList arguments{"--standalone", "--root", releaseRoot, "--out", m_prefix.path(), "--listen",
                              QStringLiteral("127.0.0.1:%1").arg(m_port), "--workers", QString::number(workers),
                              "--update-path", updatePath, "--files-prefix", filesPrefix};
        if (!m_tls.isEmpty())
            arguments << "--tls" << m_tls;
        make.start(QStringLiteral(NGINX_DEPLOY_DIR "/make-config"), arguments);
        if (make.waitForFinished(30000) && make.exitStatus() == QProcess::NormalExit && make.exitCode() == 0)
            return true;
        m_error = "make-config failed: " + QString::fromLocal8Bit(make.readAllStandardError()) + make.errorString();
        return false;
    }

    void start(const QString &nginx)
    {
        QFile::remove(m_prefix.filePath("logs/error.log"));
        QString global = "daemon off;";
        if (geteuid() == 0)
            global += " user root root;";
        const QString prefix = m_prefix.path();
        m_process.setProcessChannelMode(QProcess::MergedChannels);
        m_process.start(nginx, {"-p", prefix, "-c", prefix + "/nginx.conf", "-e", prefix + "/logs/error.log", "-g", global});
        if (!m_process.waitForStarted(10000)) {
            m_error = "nginx did not start: " + m_process.errorString();
            return;
        }
        // Ready once it answers a request.
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < 15000 && m_process.state() == QProcess::Running) {
            QTcpSocket socket;
            socket.connectToHost("127.0.0.1", m_port);
            // Over TLS, listening is enough: it does so once its
            // configuration, certificate included, has loaded.
            if (socket.waitForConnected(1000) && !m_tls.isEmpty()) {
                m_running = true;
                return;
            }
            if (socket.state() == QAbstractSocket::ConnectedState) {
                socket.write("GET " + QByteArray(filesPrefix) + " HTTP/1.0\r\n\r\n");
                if (socket.waitForReadyRead(2000) && socket.readAll().startsWith("HTTP/1.")) {
                    m_running = true;
                    return;
                }
            }
            QThread::msleep(50);
        }
        m_process.waitForFinished(1000);
        m_error = "nginx did not answer: " + QString::fromLocal8Bit(m_process.readAll() + errorLog());
        stop();
    }

    QStringList m_tls;
    QTemporaryDir m_prefix;
    Child m_process;
    quint16 m_port = 0;
    bool m_running = false;
    QString m_error;
};

#endif // NGINXSERVER_H
