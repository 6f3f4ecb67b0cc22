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

QString entry(const QString &name, const QByteArray &content, const QString &url)
{
    return QStringLiteral("<file name='%1' size='%2' crc='%3' url='%4'/>").arg(name).arg(content.size())
        .arg(QString::fromLatin1(QCryptographicHash::hash(content, QCryptographicHash::Sha1).toHex()), url);
}

QByteArray manifest(const QString &version, const QString &entries)
{
    return QStringLiteral("<UPDATE_STRUCTURE name='app' version='%1'>%2</UPDATE_STRUCTURE>\n").arg(version, entries).toUtf8();
}

// The body of the last request the server heard, or nothing.
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
    QStringList arguments(const TestServer &server) const
    {
        return {"--silent", "--local_path", path("local.xml"), "--distant_path", path("distant.xml"),
                "--url", server.url(), "--dir", path("app")};
    }
    // Runs the copy of updater (its log.txt lands in the temporary folder).
    int runUpdater(const TestServer &server, const QStringList &extra = {})
    {
        return runWithoutDisplay(path("updater"), arguments(server) + extra, m_dir->path(), nullptr, 30000);
    }

private slots:
    // The copied program, an empty installation at 1.0 and a release 2.0 of two files.
    void init()
    {
        m_dir.reset(new QTemporaryDir);
        QVERIFY(QFile::copy(QStringLiteral(UPDATER_EXECUTABLE), path("updater")) && QDir(m_dir->path()).mkdir("app"));
        QVERIFY(writeFile(path("local.xml"), manifest("1.0", QString())));
        QVERIFY(writeFile(path("distant.xml"), manifest("2.0", entry("a.txt", payloadA, "a.txt") + "<directory name='sub'>"
                                                                   + entry("b.bin", payloadB, "sub/b.bin") + "</directory>")));
    }

    // Exit 0 when every file went in, 1 when one failed; the close request
    // carries the saved version. The log rotates at 1024 bytes unless told
    // otherwise, and every run ends with its summary record.
    void runs_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<QByteArray>("servedB");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("savedVersion");
        QTest::addColumn<bool>("rotated");
        QTest::newRow("clean") << QStringList() << payloadB << 0 << QByteArray("2.0") << true;
        QTest::newRow("--log_size 100000") << QStringList{"--log_size", "100000"} << payloadB << 0 << QByteArray("2.0") << false;
        QTest::newRow("a file fails") << QStringList() << QByteArray("not the file") << 1 << QByteArray("2.0__1") << true;
        QTest::newRow("a file fails, --connections 4") << QStringList{"--connections", "4"} << QByteArray("not the file") << 1
                                                       << QByteArray("2.0__1") << true;
    }
    void runs()
    {
        QFETCH(QStringList, options);
        QFETCH(QByteArray, servedB);
        QFETCH(QByteArray, savedVersion);
        TestServer server;
        server.serveFiles({{"a.txt", payloadA}, {"sub/b.bin", servedB}});
        QVERIFY(writeFile(path("log.txt"), QByteArray(1000, '.') + '\n')); // an earlier run's
        QTEST(runUpdater(server, options), "status"); // what a run writes: tst_updatemanager
        QCOMPARE(readFile(path("app/sub/b.bin")), servedB == payloadB ? payloadB : QByteArray("<missing>"));
        QCOMPARE(lastBody(server), "version=" + savedVersion + "&request=CLOSE");
        QTEST(QFile::exists(path("log.txt.1")), "rotated");
        QVERIFY(readFile(path("log.txt")).contains("run finished: distant version 2.0"));
    }

    // Several files at once install exactly what one at a time does: the
    // same tree, the same saved manifest, the same requests, and one close
    // request after every file.
    void parallelInstallsTheSame()
    {
        QMap<QByteArray, QByteArray> served;
        QMap<QString, QString> oldFolders, newFolders;
        for (int i = 0; i < 40; ++i) {
            const QString folder = QStringLiteral("d%1").arg(i % 3), name = QStringLiteral("f%1.bin").arg(i);
            const QByteArray content(1000 * i + 1, char('a' + i % 26));
            served[(folder + '/' + name).toUtf8()] = content;
            if (i % 4 == 0) // installed already, in another version: changed
                oldFolders[folder] += entry(name, "old", folder + '/' + name);
            newFolders[folder] += entry(name, content, folder + '/' + name);
        }
        QString oldEntries = entry("gone.txt", "old", "gone.txt"), newEntries; // gone.txt: deleted
        for (const QString &folder : newFolders.keys()) {
            oldEntries += QStringLiteral("<directory name='%1'>%2</directory>").arg(folder, oldFolders.value(folder));
            newEntries += QStringLiteral("<directory name='%1'>%2</directory>").arg(folder, newFolders.value(folder));
        }
        QMap<int, QByteArray> saved;
        QMap<int, QMap<QByteArray, int>> asked;
        // The order in which a document writes an element's attributes
        // follows a hash seeded anew in each process.
        qputenv("QT_HASH_SEED", "0");
        for (int connections : {1, 4}) {
            const QString app = path(QStringLiteral("app%1").arg(connections));
            const QString local = path(QStringLiteral("local%1.xml").arg(connections));
            QVERIFY(writeFile(app + "/gone.txt", "old") && writeFile(local, manifest("1.0", oldEntries)));
            for (int i = 0; i < 40; i += 4)
                QVERIFY(writeFile(app + QStringLiteral("/d%1/f%2.bin").arg(i % 3).arg(i), "old"));
            QVERIFY(writeFile(path("distant.xml"), manifest("2.0", newEntries)));
            TestServer server;
            server.serveFiles(served);
            QCOMPARE(runWithoutDisplay(path("updater"), {"--silent", "--local_path", local, "--distant_path", path("distant.xml"),
                                                         "--url", server.url(), "--dir", app, "--connections",
                                                         QString::number(connections)},
                                       m_dir->path(), nullptr, 60000),
                     0);
            for (auto it = served.cbegin(); it != served.cend(); ++it)
                QCOMPARE(readFile(app + '/' + QString::fromUtf8(it.key())), it.value());
            QVERIFY(!QFile::exists(app + "/gone.txt"));
            QCOMPARE(QDir(app).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                     QStringList({"d0", "d1", "d2"}));
            saved[connections] = readFile(local);
            const auto requests = server.requests();
            for (const auto &r : requests)
                ++asked[connections][r.request];
            QCOMPARE(requests.back().body, QByteArray("version=2.0&request=CLOSE"));
        }
        qunsetenv("QT_HASH_SEED");
        QCOMPARE(saved[4], saved[1]);
        QCOMPARE(asked[4], asked[1]);
        QCOMPARE(asked[1].value("CLOSE"), 1);
        QCOMPARE(asked[1].size(), 41);
    }

    // An error page, or any XML that lists no entry, is refused like an
    // unreadable manifest: nothing deleted or saved, no request at all.
    void errorPageChangesNothing()
    {
        QVERIFY(writeFile(path("app/app.exe"), "app") && writeFile(path("app/data/levels.pak"), "lv"));
        QVERIFY(writeFile(path("local.xml"), manifest("1.0", entry("app.exe", "app", "app.exe") + "<directory name='data'>"
                                                                 + entry("levels.pak", "lv", "data/levels.pak") + "</directory>")));
        QVERIFY(writeFile(path("distant.xml"), "<?xml version=\"1.0\"?>\n<html><head><title>503</title></head>"
                                               "<body><h1>Service Unavailable</h1></body></html>\n"));
        const QByteArray localBefore = readFile(path("local.xml"));
        TestServer server;
        QCOMPARE(runUpdater(server), 1);
        QVERIFY(server.requests().empty());
        QCOMPARE(readFile(path("app/app.exe")) + readFile(path("app/data/levels.pak")), QByteArray("applv"));
        QCOMPARE(readFile(path("local.xml")), localBefore);
        QVERIFY(readFile(path("log.txt")).contains("lists no file or directory"));
    }

    // Killed at random moments of a slow run, the installation holds only
    // whole old or whole new files and no leftovers; a last run completes it.
    void killedRunsConverge()
    {
        QMap<QString, QByteArray> oldFiles, newFiles;
        QString oldEntries, newEntries;
        for (int i = 0; i < 6; ++i) {
            const QString name = QStringLiteral("f%1.bin").arg(i);
            oldFiles[name] = QByteArray(150000 + i, char('o' + i));
            newFiles[name] = QByteArray(200000 + i, char('A' + i));
            QVERIFY(writeFile(path("app/") + name, oldFiles[name]));
            oldEntries += entry(name, oldFiles[name], name);
            newEntries += entry(name, newFiles[name], name);
        }
        QVERIFY(writeFile(path("local.xml"), manifest("1.0", oldEntries)) && writeFile(path("distant.xml"), manifest("2.0", newEntries)));
        TestServer server;
        TestServer *s = &server;
        // About 1 MB/s: a run takes a little over a second.
        server.setHandler([s, newFiles](const TestServer::Received &r, httplib::Response &res) {
            const QByteArray body = newFiles.value(QString::fromUtf8(r.request), "OK");
            res.set_content_provider(body.size(), "application/octet-stream", [s, body](size_t at, size_t length, httplib::DataSink &sink) {
                std::this_thread::sleep_for(std::chrono::milliseconds(16));
                return !s->stopping() && sink.write(body.constData() + at, std::min<size_t>(length, 16384));
            });
        });
        for (int kill = 0; kill < 10; ++kill) {
            QProcess updater;
            updater.setWorkingDirectory(m_dir->path());
            updater.start(path("updater"), arguments(server));
            QVERIFY(updater.waitForStarted());
            QTest::qWait(50 + QRandomGenerator::global()->bounded(1200));
            updater.kill();
            QVERIFY(updater.waitForFinished());
            const QStringList present = QDir(path("app")).entryList(QDir::Files | QDir::Hidden | QDir::System);
            QCOMPARE(present, QStringList(newFiles.keys()));
            for (const QString &name : present) {
                const QByteArray content = readFile(path("app/") + name);
                QVERIFY2(content == oldFiles[name] || content == newFiles[name], qPrintable(name));
            }
            QVERIFY(!readManifestDocument(path("local.xml")).isNull());
        }
        QCOMPARE(runUpdater(server), 0);
        for (auto it = newFiles.cbegin(); it != newFiles.cend(); ++it)
            QCOMPARE(readFile(path("app/") + it.key()), it.value());
        QVERIFY(readFile(path("local.xml")).contains("version=\"2.0\""));
    }

    // Every wait ends. A stalled server fails the run within --timeout: two
    // files, three attempts of about a second after waits of 1 s and 3 s,
    // some 15 s, not the 4 s each attempt would wait. An unanswered close
    // request is given up after 5 s.
    void boundedInTime_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<bool>("closeStalls");
        QTest::addColumn<int>("status");
        QTest::newRow("--timeout 1, stalled server") << QStringList{"--timeout", "1"} << false << 1;
        QTest::newRow("close request unanswered") << QStringList() << true << 0;
    }
    void boundedInTime()
    {
        QFETCH(QStringList, options);
        QFETCH(bool, closeStalls);
        TestServer server;
        TestServer *s = &server;
        server.setHandler([s, closeStalls](const TestServer::Received &r, httplib::Response &res) {
            // Never answered while the run lasts: only the updater's own
            // bounds can end it before runUpdater gives up on it.
            while (!s->stopping() && (r.request == "CLOSE") == closeStalls)
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            res.set_content((r.request == "a.txt" ? payloadA : payloadB).toStdString(), "application/octet-stream");
        });
        QTEST(runUpdater(server, options), "status");
        QVERIFY(lastBody(server).endsWith("request=CLOSE"));
    }

    // A server that fails every file (HTTP 500): after 5 files in a row,
    // each tried three times, the rest is not asked for. Those count as
    // failed, nothing is deleted, and the run says why. With several
    // connections the files in flight then end with the attempt they are
    // on, and the rest of the queue is not asked for either.
    void unreachableServerGivesUpTheRest_data()
    {
        QTest::addColumn<int>("connections");
        QTest::addColumn<int>("files");
        QTest::newRow("one connection") << 1 << 7;
        QTest::newRow("4 connections") << 4 << 14;
    }
    void unreachableServerGivesUpTheRest()
    {
        QFETCH(int, connections);
        QFETCH(int, files);
        QString entries;
        for (int i = 0; i < files; ++i)
            entries += entry(QStringLiteral("f%1.bin").arg(i), payloadA, QStringLiteral("f%1.bin").arg(i));
        QVERIFY(writeFile(path("app/old.txt"), "old") && writeFile(path("local.xml"), manifest("1.0", entry("old.txt", "old", "old.txt"))));
        QVERIFY(writeFile(path("distant.xml"), manifest("2.0", entries)));
        TestServer server;
        server.setHandler([](const TestServer::Received &r, httplib::Response &res) {
            if (r.request == "CLOSE")
                res.set_content("OK", "text/plain");
            else
                res.status = 500;
        });
        QCOMPARE(runWithoutDisplay(path("updater"),
                                   arguments(server) + QStringList{"--log_size", "100000", "--connections",
                                                                   QString::number(connections)},
                                   m_dir->path(), nullptr, 90000),
                 1);
        QMap<QByteArray, int> asked;
        for (const auto &r : server.requests())
            ++asked[r.request];
        QCOMPARE(asked.take("CLOSE"), 1);
        // The fifth file given up ends it; the others then in flight had
        // started before.
        QVERIFY2(asked.size() >= 5 && asked.size() <= 5 + connections - 1, qPrintable(QString::number(asked.size())));
        for (int times : asked)
            QVERIFY(times >= 1 && times <= 3);
        QVERIFY(asked.values().count(3) >= 5);
        if (connections == 1)
            QCOMPARE(asked.values(), QList<int>({3, 3, 3, 3, 3}));
        QCOMPARE(readFile(path("app/old.txt")), QByteArray("old"));
        QCOMPARE(lastBody(server), QByteArray("version=2.0__" + QByteArray::number(files) + "&request=CLOSE"));
        const QByteArray log = readFile(path("log.txt"));
        QVERIFY2(log.contains(QByteArray::number(files - asked.size()) + " file(s) not fetched")
                     && log.contains("run server unreachable: distant version 2.0")
                     && log.contains("files fetched 0, failed " + QByteArray::number(files) + ", deleted 0"),
                 log.constData());
    }

    // Unattended, a warning never turns into a guess (no default server, no
    // other folder): the run ends with 2, the reason on standard error. The
    // texts of all warnings: tst_updaterstartup.
    void startupFailureExitsTwoWithoutABox_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("message");
        QTest::newRow("no distant manifest") << QStringList{} << "Critical error AutoInstall feature not implemented.";
        QTest::newRow("distant manifest missing") << QStringList{"--distant_path", "absent.xml"} << "Critical error Unable to update.";
        QTest::newRow("invalid --url") << QStringList{"--distant_path", "distant.xml", "--url", "http://[::1"}
                                       << "Launch warning. Invalid update url. Switching to default value.";
        QTest::newRow("--connections 17") << QStringList{"--distant_path", "distant.xml", "--connections", "17"}
                                          << "Launch warning. Invalid connections. Switching to default value.";
        QTest::newRow("empty --channel") << QStringList{"--distant_path", "distant.xml", "--channel", ""}
                                         << "Launch warning. Invalid channel: the name is empty.";
        QTest::newRow("both ways of naming the release") << QStringList{"--distant_path", "distant.xml", "--manifest_request", "r.xml"}
            << "Launch warning. Invalid command line: --distant_path and --manifest_request exclude each other.";
    }
    void startupFailureExitsTwoWithoutABox()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, message);
        QString errors;
        QCOMPARE(runWithoutDisplay(path("updater"), QStringList{"--silent"} + arguments, m_dir->path(), &errors, 30000), 2);
        QVERIFY2(errors.contains("updater: " + message), qPrintable(errors));
        const QByteArray log = readFile(path("log.txt"));
        QVERIFY(log.count("ERROR") == 2 && log.contains("\"Configure execution failed.\""));
    }

    void silentIsAnOptionNotAValue_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<bool>("silent");
        QTest::newRow("after options") << QStringList{"--dir", "x", "--silent"} << true;
        QTest::newRow("value of --url") << QStringList{"--url", "--silent"} << false;
        QTest::newRow("absent") << QStringList{"--local_path", "m.xml"} << false;
        QTest::newRow("after a stray word") << QStringList{"stray", "--silent"} << true;
        QTest::newRow("value of --timeout") << QStringList{"--timeout", "--silent"} << false;
        QTest::newRow("value of --files_url") << QStringList{"--files_url", "--silent", "x"} << false;
        QTest::newRow("value of --connections") << QStringList{"--connections", "--silent"} << false;
    }
    void silentIsAnOptionNotAValue()
    {
        QFETCH(QStringList, arguments);
        QTEST(StartupCheck::silentRequested(QStringList{"updater"} + arguments), "silent");
    }
};

QTEST_MAIN(TestUnattendedRun)
#include "tst_unattendedrun.moc"
