// The unattended mode ("--silent") through the real executable, with no
// display at all: a window or a box would make it fail to start.

#include "testfiles.h"
#include "testhttpserver.h"
#include "updaterprocess.h"
#include "manifest.h"
#include "startupcheck.h"

#include <QtTest>

#include <chrono>
#include <thread>

namespace {

const QByteArray payloadA("first file of the release\n");
const QByteArray payloadB(70000, 'b');

// The body of the last request the server heard; empty when it heard none,
// so that a check fails cleanly instead of reading past the end.
QByteArray lastBody(const TestServer &server)
{
    const auto requests = server.requests();
    return requests.empty() ? QByteArray() : requests.back().body;
}

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
                                    "--url", server->url(), "--dir", path("app")} + arguments;
        return runWithoutDisplay(path("updater"), QStringList{"--silent"} + arguments, m_dir->path(), errors, 30000);
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
        QCOMPARE(lastBody(server), QByteArray("version=2.0&request=CLOSE"));
    }

    // The log keeps what a support person needs: the rotation size can be
    // raised, and every run ends with its summary record.
    void logSize_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<bool>("rotated");
        QTest::newRow("default 1024 bytes") << QStringList() << true;
        QTest::newRow("--log_size 100000") << QStringList{"--log_size", "100000"} << false;
    }
    void logSize()
    {
        QFETCH(QStringList, options);
        TestServer server;
        server.serveFiles({{"a.txt", payloadA}, {"sub/b.bin", payloadB}});
        QVERIFY(writeFile(path("log.txt"), QByteArray(1000, '.') + '\n')); // an earlier run's
        QCOMPARE(runUpdater(&server, options), 0);
        QTEST(QFile::exists(path("log.txt.1")), "rotated");
        QVERIFY(readFile(path("log.txt")).contains("run finished: distant version 2.0"));
    }

    void failingFileExitsOne()
    {
        TestServer server;
        server.serveFiles({{"a.txt", payloadA}, {"sub/b.bin", "not the file"}});
        QCOMPARE(runUpdater(&server), 1);
        QCOMPARE(lastBody(server), QByteArray("version=2.0__1&request=CLOSE"));
    }

    // An error page, or any XML that lists no entry, is refused like an
    // unreadable manifest: nothing deleted or saved, no close request.
    void documentThatIsNoManifestChangesNothing()
    {
        QVERIFY(writeFile(path("app/app.exe"), "app") && writeFile(path("app/data/levels.pak"), "lv"));
        QVERIFY(writeFile(path("local.xml"), "<UPDATE_STRUCTURE version='1.0'><file name='app.exe' url='app.exe'/>"
                                             "<directory name='data'><file name='levels.pak' url='data/levels.pak'/>"
                                             "</directory></UPDATE_STRUCTURE>"));
        QVERIFY(writeFile(path("distant.xml"), "<?xml version=\"1.0\"?>\n<html><head><title>503</title></head>"
                                               "<body><h1>Service Unavailable</h1></body></html>\n"));
        const QByteArray localBefore = readFile(path("local.xml"));
        TestServer server;
        QCOMPARE(runUpdater(&server), 1);
        QVERIFY(server.requests().empty());
        QCOMPARE(readFile(path("app/app.exe")), QByteArray("app"));
        QCOMPARE(readFile(path("app/data/levels.pak")), QByteArray("lv"));
        QCOMPARE(readFile(path("local.xml")), localBefore);
        QVERIFY(readFile(path("log.txt")).contains("lists no file or directory"));
    }

    // Killed at random moments of a slow run, the installation holds only
    // whole old or whole new files and no leftovers; a last run completes it.
    void killedRunsConverge()
    {
        const int files = 6;
        QMap<QString, QByteArray> oldFiles, newFiles;
        QString oldEntries, newEntries;
        const auto entry = [](const QString &name, const QByteArray &content) {
            const QByteArray crc = QCryptographicHash::hash(content, QCryptographicHash::Sha1).toHex();
            return QStringLiteral("<file name='%1' size='%2' crc='%3' url='%1'/>").arg(name).arg(content.size()).arg(QString::fromLatin1(crc));
        };
        for (int i = 0; i < files; ++i) {
            const QString name = QStringLiteral("f%1.bin").arg(i);
            oldFiles.insert(name, QByteArray(150000 + i, char('o' + i)));
            newFiles.insert(name, QByteArray(200000 + i, char('A' + i)));
            QVERIFY(writeFile(path("app/") + name, oldFiles.value(name)));
            oldEntries += entry(name, oldFiles.value(name));
            newEntries += entry(name, newFiles.value(name));
        }
        QVERIFY(writeFile(path("local.xml"), ("<UPDATE_STRUCTURE version='1.0'>" + oldEntries + "</UPDATE_STRUCTURE>").toUtf8()));
        QVERIFY(writeFile(path("distant.xml"), ("<UPDATE_STRUCTURE version='2.0'>" + newEntries + "</UPDATE_STRUCTURE>").toUtf8()));
        TestServer server;
        TestServer *s = &server;
        // About 1 MB/s: a run takes a little over a second.
        server.setHandler([s, newFiles](const TestServer::Received &r, httplib::Response &res) {
            const QByteArray body = newFiles.value(QString::fromUtf8(r.request), "OK");
            res.set_content_provider(body.size(), "application/octet-stream",
                                     [s, body](size_t offset, size_t length, httplib::DataSink &sink) {
                                         std::this_thread::sleep_for(std::chrono::milliseconds(16));
                                         return !s->stopping()
                                             && sink.write(body.constData() + offset, std::min<size_t>(length, 16384));
                                     });
        });
        const QStringList arguments{"--silent", "--local_path", path("local.xml"), "--distant_path", path("distant.xml"),
                                    "--url", server.url(), "--dir", path("app")};
        for (int kill = 0; kill < 10; ++kill) {
            QProcess updater;
            updater.setWorkingDirectory(m_dir->path());
            updater.start(path("updater"), arguments);
            QVERIFY(updater.waitForStarted());
            QTest::qWait(50 + QRandomGenerator::global()->bounded(1200));
            updater.kill();
            QVERIFY(updater.waitForFinished());
            const QStringList present = QDir(path("app")).entryList(QDir::Files | QDir::Hidden | QDir::System);
            QCOMPARE(present, QStringList(newFiles.keys()));
            for (const QString &name : present) {
                const QByteArray content = readFile(path("app/") + name);
                QVERIFY2(content == oldFiles.value(name) || content == newFiles.value(name), qPrintable(name));
            }
            QVERIFY(!readManifestDocument(path("local.xml")).isNull());
        }
        QCOMPARE(runUpdater(&server), 0);
        for (auto it = newFiles.cbegin(); it != newFiles.cend(); ++it)
            QCOMPARE(readFile(path("app/") + it.key()), it.value());
        QVERIFY(readFile(path("local.xml")).contains("version=\"2.0\""));
    }

    // The transport options reach the run: a stalled server ends the run
    // within the timeout; static hosting fetches by GET and sends no close.
    void transportOptions_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<int>("status");
        QTest::newRow("--timeout 1 against a stalled server") << QStringList{"--timeout", "1"} << 1;
        QTest::newRow("--files_url") << QStringList{"--files_url", "FILES"} << 0;
    }
    void transportOptions()
    {
        QFETCH(QStringList, options);
        TestServer server;
        TestServer *s = &server;
        server.setHandler([s](const TestServer::Received &r, httplib::Response &) {
            for (int i = 0; i < 200 && !s->stopping() && r.request != "CLOSE"; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
        });
        server.setFile(QStringLiteral("/files/a.txt"), payloadA);
        server.setFile(QStringLiteral("/files/sub/b.bin"), payloadB);
        options.replaceInStrings(QStringLiteral("FILES"), server.url(QStringLiteral("/files")));
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(runUpdater(&server, options), options.first() == "--files_url" ? 0 : 1);
        if (options.first() == "--files_url") {
            QVERIFY(server.requests().empty());
            QCOMPARE(readFile(path("app/sub/b.bin")), payloadB);
        } else {
            // Two files, each three attempts of about a second after waits of
            // 1 s and 3 s: some 15 s, not the 4 s each attempt would wait.
            QVERIFY2(clock.elapsed() < 20000, qPrintable(QString::number(clock.elapsed())));
        }
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
        QVERIFY(lastBody(server).endsWith("request=CLOSE"));
    }

    void startupFailureExitsTwoWithoutABox_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("message");
        QTest::newRow("no distant manifest") << QStringList{} << "Critical error AutoInstall feature not implemented.";
        QTest::newRow("distant manifest missing") << QStringList{"--distant_path", "absent.xml"}
                                                  << "Critical error Unable to update.";
        // Unattended, a warning never turns into a guess: no default server,
        // no other folder.
        QTest::newRow("invalid --url") << QStringList{"--distant_path", "distant.xml", "--url", "http://[::1"}
                                       << "Launch warning. Invalid update url. Switching to default value.";
        QTest::newRow("folder that cannot be made") << QStringList{"--distant_path", "distant.xml", "--dir", "no/such/parent"}
                                                    << "Launch warning. Unable to create destination folder.";
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
        QTest::newRow("value of --timeout") << QStringList{"--timeout", "--silent"} << false;
        QTest::newRow("value of --files_url") << QStringList{"--files_url", "--silent", "x"} << false;
    }
    void silentIsAnOptionNotAValue()
    {
        QFETCH(QStringList, arguments);
        QTEST(StartupCheck::silentRequested(QStringList{"updater"} + arguments), "silent");
    }
};

QTEST_MAIN(TestUnattendedRun)
#include "tst_unattendedrun.moc"
