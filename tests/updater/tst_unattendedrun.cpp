// The unattended mode ("--silent") through the real executable, with no
// display at all: a window or a box would make it fail to start.

#include "testfiles.h"
#include "testhttpserver.h"
#include "startupcheck.h"

#include <QtTest>

#include <chrono>
#include <thread>

namespace {

const QByteArray payloadA("first file of the release\n");
const QByteArray payloadB(70000, 'b');

} // namespace

class TestUnattendedRun : public QObject
{
    Q_OBJECT

    QScopedPointer<QTemporaryDir> m_dir;

    QString path(const QString &name) const { return m_dir->filePath(name); }

    // Runs the copy of updater (its log.txt lands in the temporary folder)
    // with no display, against server when given; returns the exit code.
    int runUpdater(const TestServer *server, QStringList arguments = {}, QString *errors = nullptr)
    {
        if (server)
            arguments = QStringList{"--local_path", path("local.xml"), "--distant_path", path("distant.xml"),
                                    "--url", server->url(), "--dir", path("app")};
        QProcess updater;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char *variable : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            env.remove(QString::fromLatin1(variable));
        updater.setProcessEnvironment(env);
        updater.setWorkingDirectory(m_dir->path());
        updater.start(path("updater"), QStringList{"--silent"} + arguments);
        if (!updater.waitForFinished(30000)) {
            updater.kill();
            updater.waitForFinished();
            return -1;
        }
        if (errors)
            *errors = QString::fromLocal8Bit(updater.readAllStandardError());
        return updater.exitStatus() == QProcess::NormalExit ? updater.exitCode() : -2;
    }

private slots:
    // The copied program, an empty installation at 1.0 and a release 2.0 of two files.
    void init()
    {
        m_dir.reset(new QTemporaryDir);
        QVERIFY(QFile::copy(QStringLiteral(UPDATER_EXECUTABLE), path("updater")));
        QVERIFY(QDir(m_dir->path()).mkdir(QStringLiteral("app")));
        const QString file = QStringLiteral("<file name='%1' size='%2' crc='%3' url='%4'/>");
        const auto entry = [&file](const QString &name, const QByteArray &content, const QString &url) {
            const QByteArray crc = QCryptographicHash::hash(content, QCryptographicHash::Sha1).toHex();
            return file.arg(name).arg(content.size()).arg(QString::fromLatin1(crc), url);
        };
        for (const auto &[name, content] : {std::make_pair("local.xml", QString()),
                 std::make_pair("distant.xml", entry("a.txt", payloadA, "a.txt") + "<directory name='sub'>"
                                    + entry("b.bin", payloadB, "sub/b.bin") + "</directory>")}) {
            QFile f(path(name));
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(QStringLiteral("<UPDATE_STRUCTURE name='app' version='%1'>%2</UPDATE_STRUCTURE>\n")
                        .arg(content.isEmpty() ? "1.0" : "2.0", content).toUtf8());
        }
    }

    void cleanRunExitsZeroAfterTheCloseRequest()
    {
        TestServer server;
        server.serveFiles({{"a.txt", payloadA}, {"sub/b.bin", payloadB}});
        QCOMPARE(runUpdater(&server), 0); // what a run writes: tst_updatemanager
        QCOMPARE(readFile(path("app/sub/b.bin")), payloadB);
        QCOMPARE(int(server.requests().size()), 3);
        QCOMPARE(server.requests().back().body, QByteArray("version=2.0&request=CLOSE"));
    }

    void failingFileExitsOne()
    {
        TestServer server;
        server.serveFiles({{"a.txt", payloadA}, {"sub/b.bin", "not the file"}});
        QCOMPARE(runUpdater(&server), 1);
        QCOMPARE(server.requests().back().body, QByteArray("version=2.0__1&request=CLOSE"));
    }

    void unansweredCloseRequestEndsAfterTheTimeout()
    {
        TestServer server;
        server.setHandler([](const TestServer::Received &r, httplib::Response &res) {
            if (r.request == "CLOSE")
                std::this_thread::sleep_for(std::chrono::seconds(8));
            res.set_content((r.request == "a.txt" ? payloadA : payloadB).toStdString(), "application/octet-stream");
        });
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(runUpdater(&server), 0);
        QVERIFY2(clock.elapsed() < 7500, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(server.requests().back().request, QByteArray("CLOSE"));
    }

    void startupFailureExitsTwoWithoutABox_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("message");
        QTest::newRow("no distant manifest") << QStringList{} << "Critical error AutoInstall feature not implemented.";
        QTest::newRow("distant manifest missing") << QStringList{"--distant_path", "absent.xml"}
                                                  << "Critical error Unable to update.";
    }
    void startupFailureExitsTwoWithoutABox()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, message);
        QString errors;
        QCOMPARE(runUpdater(nullptr, arguments, &errors), 2);
        QVERIFY2(errors.contains("updater: " + message), qPrintable(errors));
        const QByteArray log = readFile(path("log.txt"));
        QVERIFY(log.count("ERROR") == 2 && log.contains("\"Configure execution failed.\""));
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
        QTEST(StartupCheck::silentRequested(QStringList{"updater"} + arguments), "silent");
    }
};

QTEST_MAIN(TestUnattendedRun)
#include "tst_unattendedrun.moc"
