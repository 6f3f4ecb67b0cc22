// The unattended mode ("--silent") through the real executable, with no
// display at all: a window or a box would make it fail to start.

#include "httptestserver.h"
#include "startupcheck.h"

#include <QCryptographicHash>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <chrono>
#include <thread>

namespace {

const QByteArray payloadA("first file of the release\n");
const QByteArray payloadB(70000, 'b');

QString fileElement(const QString &name, const QByteArray &content, const QString &url)
{
    return QStringLiteral("<file name=\"%1\" size=\"%2\" crc=\"%3\" url=\"%4\"/>")
        .arg(name)
        .arg(content.size())
        .arg(QString::fromLatin1(QCryptographicHash::hash(content, QCryptographicHash::Sha1).toHex()))
        .arg(url);
}

} // namespace

class TestUnattendedRun : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir *m_dir = nullptr;
    QString m_program;

    QString path(const QString &name) const { return m_dir->filePath(name); }

    void writeDistantManifest()
    {
        QFile f(path(QStringLiteral("distant.xml")));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(QStringLiteral("<UPDATE_STRUCTURE name=\"app\" version=\"2.0\">%1<directory name=\"sub\">%2</directory>"
                               "</UPDATE_STRUCTURE>\n")
                    .arg(fileElement(QStringLiteral("a.txt"), payloadA, QStringLiteral("a.txt")),
                         fileElement(QStringLiteral("b.bin"), payloadB, QStringLiteral("sub/b.bin")))
                    .toUtf8());
    }

    // Runs the copy of updater (its log.txt lands in the temporary folder)
    // with no display; returns the exit code.
    int runUpdater(const QStringList &arguments, QString *errors = nullptr, int timeoutMs = 30000)
    {
        QProcess updater;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(QStringLiteral("DISPLAY"));
        env.remove(QStringLiteral("WAYLAND_DISPLAY"));
        env.remove(QStringLiteral("QT_QPA_PLATFORM"));
        updater.setProcessEnvironment(env);
        updater.setWorkingDirectory(m_dir->path());
        updater.start(m_program, QStringList{QStringLiteral("--silent")} + arguments);
        if (!updater.waitForFinished(timeoutMs)) {
            updater.kill();
            updater.waitForFinished();
            return -1;
        }
        if (errors)
            *errors = QString::fromLocal8Bit(updater.readAllStandardError());
        return updater.exitStatus() == QProcess::NormalExit ? updater.exitCode() : -2;
    }

    QStringList runArguments(const HttpTestServer &server) const
    {
        return {QStringLiteral("--local_path"), path(QStringLiteral("local.xml")),
                QStringLiteral("--distant_path"), path(QStringLiteral("distant.xml")),
                QStringLiteral("--url"), server.url(),
                QStringLiteral("--dir"), path(QStringLiteral("app"))};
    }

    static QByteArray readFile(const QString &name)
    {
        QFile f(name);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
    }

private slots:
    void init()
    {
        m_dir = new QTemporaryDir;
        QVERIFY(m_dir->isValid());
        m_program = path(QStringLiteral("updater"));
        QVERIFY(QFile::copy(QStringLiteral(UPDATER_EXECUTABLE), m_program));
        QVERIFY(QDir(m_dir->path()).mkdir(QStringLiteral("app")));
        QFile local(path(QStringLiteral("local.xml")));
        QVERIFY(local.open(QIODevice::WriteOnly));
        local.write("<UPDATE_STRUCTURE name=\"app\" version=\"1.0\"/>\n");
    }

    void cleanup()
    {
        delete m_dir;
        m_dir = nullptr;
    }

    void cleanRunExitsZeroAfterTheCloseRequest()
    {
        writeDistantManifest();
        HttpTestServer server;
        server.serveFiles({{"a.txt", payloadA}, {"sub/b.bin", payloadB}});

        QCOMPARE(runUpdater(runArguments(server)), 0);

        QCOMPARE(readFile(path(QStringLiteral("app/a.txt"))), payloadA);
        QCOMPARE(readFile(path(QStringLiteral("app/sub/b.bin"))), payloadB);
        const auto requests = server.requests();
        QCOMPARE(int(requests.size()), 3);
        QCOMPARE(requests.back().request, QByteArray("CLOSE"));
        QCOMPARE(requests.back().body, QByteArray("version=2.0&request=CLOSE"));
        QVERIFY(readFile(path(QStringLiteral("local.xml"))).contains("version=\"2.0\""));
    }

    void failingFileExitsOne()
    {
        writeDistantManifest();
        HttpTestServer server;
        server.serveFiles({{"a.txt", payloadA}, {"sub/b.bin", "not the file"}});

        QCOMPARE(runUpdater(runArguments(server)), 1);

        QCOMPARE(readFile(path(QStringLiteral("app/a.txt"))), payloadA);
        QVERIFY(!QFile::exists(path(QStringLiteral("app/sub/b.bin"))));
        const auto requests = server.requests();
        QCOMPARE(requests.back().body, QByteArray("version=2.0__1&request=CLOSE"));
    }

    void unansweredCloseRequestEndsAfterTheTimeout()
    {
        writeDistantManifest();
        HttpTestServer server;
        server.setHandler([](const HttpTestServer::Received &r, httplib::Response &res) {
            if (r.request == "CLOSE")
                std::this_thread::sleep_for(std::chrono::seconds(8));
            res.set_content(r.request == "a.txt" ? payloadA.toStdString() : payloadB.toStdString(),
                            "application/octet-stream");
        });

        QElapsedTimer clock;
        clock.start();
        QCOMPARE(runUpdater(runArguments(server)), 0);
        QVERIFY2(clock.elapsed() < 7500, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(server.requests().back().request, QByteArray("CLOSE"));
    }

    void startupFailureExitsTwoWithoutABox_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("message");
        QTest::newRow("no distant manifest") << QStringList{}
                                             << QStringLiteral("Critical error AutoInstall feature not implemented.");
        QTest::newRow("distant manifest missing")
            << QStringList{QStringLiteral("--distant_path"), QStringLiteral("absent.xml")}
            << QStringLiteral("Critical error Unable to update.");
    }

    void startupFailureExitsTwoWithoutABox()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, message);
        QString errors;
        QCOMPARE(runUpdater(arguments, &errors), 2);
        QVERIFY2(errors.contains(QStringLiteral("updater: ") + message), qPrintable(errors));
        const QByteArray log = readFile(path(QStringLiteral("log.txt")));
        QCOMPARE(log.count("ERROR"), 2);
        QVERIFY(log.contains("\"Configure execution failed.\""));
    }

    void silentIsAnOptionNotAValue_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<bool>("silent");
        QTest::newRow("alone") << QStringList{"--silent"} << true;
        QTest::newRow("after options") << QStringList{"--dir", "x", "--silent"} << true;
        QTest::newRow("value of --url") << QStringList{"--url", "--silent"} << false;
        QTest::newRow("value of --dir, then more") << QStringList{"--dir", "--silent", "--url", "u"} << false;
        QTest::newRow("absent") << QStringList{"--local_path", "m.xml"} << false;
        QTest::newRow("after a stray word") << QStringList{"stray", "--silent"} << true;
    }

    void silentIsAnOptionNotAValue()
    {
        QFETCH(QStringList, arguments);
        QFETCH(bool, silent);
        QCOMPARE(StartupCheck::silentRequested(QStringList{QStringLiteral("updater")} + arguments), silent);
    }
};

QTEST_MAIN(TestUnattendedRun)
#include "tst_unattendedrun.moc"
