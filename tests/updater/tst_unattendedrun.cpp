// The unattended mode ("--silent") through the real executable, with no
// display at all: a window or a box would make it fail to start.

#include "testfiles.h"
#include "testhttpserver.h"
#include "updaterprocess.h"
#include "manifest.h"
#include "startupcheck.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
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

Tree operator+(Tree tree, const Tree &more)
{
    for (auto it = more.cbegin(); it != more.cend(); ++it)
        tree.insert(it.key(), it.value());
    return tree;
}

// Serves each file of `release` by its path, at about 1 MB/s, so that a
// run lasts long enough to be interfered with.
void serveSlowly(TestServer *server, const Tree &release)
{
    server->setHandler([server, release](const TestServer::Received &r, httplib::Response &res) {
        const QByteArray body = release.value(QString::fromUtf8(r.request), "OK");
        res.set_content_provider(body.size(), "application/octet-stream", [server, body](size_t at, size_t length, httplib::DataSink &sink) {
            std::this_thread::sleep_for(std::chrono::milliseconds(16));
            return !server->stopping() && sink.write(body.constData() + at, std::min<size_t>(length, 16384));
        });
    });
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
    // The same with "--check": its one JSON object, parsed.
    int runCheck(const QStringList &arguments, QJsonObject *report)
    {
        QByteArray output;
        const int status = runWithoutDisplay(path("updater"), QStringList{"--check"} + arguments, m_dir->path(), nullptr,
                                             30000, &output);
        const QJsonDocument document = QJsonDocument::fromJson(output);
        *report = output.count('\n') == 1 ? document.object() : QJsonObject();
        return status;
    }
    static QJsonValue field(const QJsonObject &report, const char *object, const char *key)
    {
        return report.value(QLatin1String(object)).toObject().value(QLatin1String(key));
    }
    // The paths a report lists under `key`, with the reasons when it has them.
    static QStringList listed(const QJsonObject &report, const QString &key)
    {
        QStringList paths;
        for (const QJsonValue &value : report.value(key).toArray())
            paths << (value.isObject() ? value["path"].toString() + ' ' + value["reason"].toString() : value.toString());
        return paths;
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

    // A release that is refused for what its root says is never read past
    // it: a 600,000-file manifest costs no more memory than a small one.
    void refusedReleaseIsNotReadWhole_data()
    {
        QTest::addColumn<QByteArray>("root");
        QTest::addColumn<QString>("reason");
        QTest::newRow("expired") << QByteArray("<UPDATE_STRUCTURE version='2.0' expires='2001-01-01T00:00:00Z'>") << "expired";
        QTest::newRow("expiry unreadable") << QByteArray("<?xml version='1.0'?><!-- made elsewhere -->\n"
                                                         "<UPDATE_STRUCTURE version='2.0' expires='soon'>")
                                           << "expiry date unreadable";
    }
    void refusedReleaseIsNotReadWhole()
    {
        QFETCH(QByteArray, root);
        QFile distant(path("distant.xml"));
        QVERIFY(distant.open(QIODevice::WriteOnly) && distant.write(root + '\n') > 0);
        const QString line = QStringLiteral("<file name='release-file-%1.dat' size='4096' crc='da39a3ee5e6b4b0d3255bfef95601890afd80709' "
                                            "url='d%2/release-file-%1.dat' version='2.0' date='2026-01-01T00:00:00'/>\n");
        for (int d = 0; d < 600; ++d) {
            QByteArray folder = "<directory name='d" + QByteArray::number(d) + "'>\n";
            for (int f = 0; f < 1000; ++f)
                folder += line.arg(f).arg(d).toLatin1();
            QVERIFY(distant.write(folder + "</directory>\n") > 0);
        }
        QVERIFY(distant.write("</UPDATE_STRUCTURE>\n") > 0 && distant.size() > 100000000);
        distant.close();
        TestServer server;
        QCOMPARE(runUpdater(server), 1);
        QVERIFY(server.requests().empty());
        const QString log = QString::fromUtf8(readFile(path("log.txt")));
        QFETCH(QString, reason);
        QVERIFY2(log.contains("distant manifest refused, nothing updated") && log.contains(reason), qPrintable(log));
        const QRegularExpressionMatch peak = QRegularExpression("run refused: .*; peak memory (\\d+) MiB").match(log);
        QVERIFY2(peak.hasMatch() && peak.captured(1).toInt() < 64, qPrintable(log));
    }

    // Exit 0 when every file went in, 1 when one failed; the close request
    // carries the saved version. The log rotates at 1024 bytes unless told
    // otherwise; its first record names the program and its arguments, and
    // every run ends with its summary record and one line in the history.
    void runs_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<QByteArray>("servedB");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("savedVersion");
        QTest::addColumn<bool>("rotated");
        QTest::addColumn<QString>("history");
        const QString done = " updater 1.0 -> 2.0 done; fetched 2, failed 0, deleted 0; ";
        QTest::newRow("clean") << QStringList() << payloadB << 0 << QByteArray("2.0") << true << done;
        QTest::newRow("--log_size 100000") << QStringList{"--log_size", "100000"} << payloadB << 0 << QByteArray("2.0") << false
                                           << done;
        QTest::newRow("a file fails") << QStringList() << QByteArray("not the file") << 1 << QByteArray("2.0__1") << true
                                      << " updater 1.0 -> 2.0 done with errors; fetched 1, failed 1, deleted 0; ";
        QTest::newRow("a file fails, --connections 4") << QStringList{"--connections", "4"} << QByteArray("not the file") << 1
                                                       << QByteArray("2.0__1") << true
                                                       << " updater 1.0 -> 2.0 done with errors; fetched 1, failed 1, deleted 0; ";
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
        QFETCH(bool, rotated);
        QCOMPARE(QFile::exists(path("log.txt.1")), rotated);
        const QString log = QString::fromUtf8(readFile(path("log.txt")));
        QVERIFY(log.contains("run finished: distant version 2.0, local version before 1.0"));
        if (!rotated)
            QVERIFY2(log.section('\n', 1, 1).contains("\"updater " UPDATER_PROJECT_VERSION " started with\" (\"--silent\", \"--local_path\""),
                     qPrintable(log.section('\n', 1, 1)));
        const QStringList lines = QString::fromUtf8(readFile(path("update-history.log"))).split('\n', Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 1);
        QFETCH(QString, history);
        QVERIFY2(lines.first().contains(history), qPrintable(lines.first()));
        QCOMPARE(lines.first().endsWith("; failed: \"sub/b.bin\" \"could not be verified: the download was damaged\""),
                 servedB != payloadB);
    }

    // --check reads and judges the release as a run does, and changes
    // nothing: no file, folder, lock file or history line, and no request
    // but for the notes. One JSON object on stdout, and a status to act on.
    void check_data()
    {
        QTest::addColumn<QString>("attributes"); // more on the release's root
        QTest::addColumn<bool>("installed");     // the release is in place
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("state");
        QTest::addColumn<QStringList>("fetch");
        const QStringList both{"a.txt new", "sub/b.bin new"};
        QTest::newRow("update available") << "" << false << QStringList() << 10 << "update available" << both;
        QTest::newRow("up to date") << "" << true << QStringList() << 0 << "up to date" << QStringList();
        QTest::newRow("with notes") << " notes_url='notes/2.0.txt'" << false << QStringList() << 10 << "update available" << both;
        QTest::newRow("rollout halted") << " rollout='0'" << false << QStringList() << 0 << "not yet offered" << both;
        QTest::newRow("rollout halted, --ignore_rollout") << " rollout='0'" << false << QStringList{"--ignore_rollout"} << 10
                                                          << "update available" << both;
        QTest::newRow("expired") << " expires='2001-01-01T00:00:00Z'" << false << QStringList() << 1 << "refused" << QStringList();
        QTest::newRow("installation folder not made yet") << "" << false << QStringList{"--dir", "new"} << 10
                                                          << "update available" << both;
        QTest::newRow("command line error") << "" << false << QStringList{"--timeout", "0"} << 2 << "command line error"
                                            << QStringList();
    }
    void check()
    {
        QFETCH(QString, attributes);
        QFETCH(bool, installed);
        QFETCH(QStringList, options);
        const QString entries = entry("a.txt", payloadA, "a.txt") + "<directory name='sub'>" + entry("b.bin", payloadB, "sub/b.bin")
                                + "</directory>";
        QVERIFY(writeFile(path("distant.xml"), manifest("2.0", entries).replace("version='2.0'", "version='2.0'" + attributes.toUtf8())));
        if (installed)
            QVERIFY(writeFile(path("local.xml"), manifest("2.0", entries)) && writeTree(path("app"), {{"a.txt", payloadA}, {"sub/b.bin", payloadB}}));
        else
            QVERIFY(writeFile(path("local.xml"), manifest("1.0", entry("old.txt", "old", "old.txt"))) && writeFile(path("app/old.txt"), "old"));
        const Tree before = readTree(m_dir->path());
        TestServer server;
        server.serveFiles({{"a.txt", payloadA}, {"sub/b.bin", payloadB}, {"notes/2.0.txt", "What changed: everything."}});
        QJsonObject report;
        QTEST(runCheck(arguments(server).mid(1) + options, &report), "status");
        QTEST(report["status"].toString(), "state");

        // Nothing changed but the log.
        Tree after = readTree(m_dir->path()), unchanged = before;
        after.remove("log.txt");
        unchanged.remove("log.txt");
        QCOMPARE(after, unchanged);
        for (const auto &r : server.requests())
            QCOMPARE(r.request, QByteArray("notes/2.0.txt"));
        const QString state = report["status"].toString();
        if (state == "refused" || state == "command line error") {
            QVERIFY2(!report["error"].toString().isEmpty(), qPrintable(QJsonDocument(report).toJson()));
            return;
        }
        QTEST(listed(report, "fetch"), "fetch");
        QCOMPARE(listed(report, "delete"), installed ? QStringList() : QStringList{"old.txt"});
        QCOMPARE(report["local_version"].toString(), installed ? "2.0" : "1.0");
        QCOMPARE(report["distant_version"].toString(), "2.0");
        QCOMPARE(report["bytes_to_fetch"].toInt(), installed ? 0 : payloadA.size() + payloadB.size());
        QCOMPARE(field(report, "rollout", "offered").toBool(), state != "not yet offered");
        QCOMPARE(field(report, "notes", "text").toString(), attributes.contains("notes") ? "What changed: everything." : "");
    }

    // One --repair run restores a deleted, a corrupted and a truncated file
    // byte for byte from the release the installation is at: the local
    // manifest itself without a key, or the release given. It deletes
    // nothing the release lacks, refuses another version's release, and
    // with --check only reports.
    void repair_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<int>("status");
        QTest::addColumn<bool>("restored");
        QTest::addColumn<QString>("logged");
        const QString repaired = "repaired 3: a.txt (missing), c.dat (size), sub/b.bin (checksum)";
        QTest::newRow("from the local manifest") << QStringList() << 0 << true << repaired;
        QTest::newRow("from the release") << QStringList{"--distant_path", "release.xml"} << 0 << true << repaired;
        QTest::newRow("--check") << QStringList{"--check"} << 10 << false << "check: repair needed";
        QTest::newRow("another version's release") << QStringList{"--distant_path", "release3.xml"} << 1 << false
                                                   << "a repair needs the release of the installed version 2.0, not 3.0";
    }
    void repair()
    {
        QFETCH(QStringList, options);
        QFETCH(bool, restored);
        const Tree release{{"a.txt", payloadA}, {"sub/b.bin", payloadB}, {"c.dat", "the third file\n"}};
        const Tree installed = release + Tree{{"old.txt", "listed, not in the release"}};
        QVERIFY(writeTree(path("app"), installed) && writeFile(path("local.xml"), manifestOfTree(installed, "2.0")));
        QVERIFY(writeFile(path("release.xml"), manifestOfTree(release, "2.0")) && writeFile(path("release3.xml"), manifestOfTree(release, "3.0")));
        QByteArray corrupt = payloadB;
        corrupt[35000] = 'X';
        QVERIFY(QFile::remove(path("app/a.txt")) && writeFile(path("app/sub/b.bin"), corrupt) && writeFile(path("app/c.dat"), "the"));
        const Tree damaged = readTree(path("app"));
        TestServer server;
        server.serveFiles({{"a.txt", payloadA}, {"sub/b.bin", payloadB}, {"c.dat", "the third file\n"}});
        QTEST(runWithoutDisplay(path("updater"), QStringList{"--silent", "--repair", "--local_path", path("local.xml"), "--url",
                                                             server.url(), "--dir", path("app"), "--log_size", "10000000"} + options,
                                m_dir->path(), nullptr, 30000),
              "status");
        QCOMPARE(readTree(path("app")), restored ? installed : damaged);
        QStringList asked;
        for (const auto &r : server.requests())
            asked << QString::fromUtf8(r.request);
        asked.sort();
        QCOMPARE(asked, restored ? QStringList({"CLOSE", "a.txt", "c.dat", "sub/b.bin"}) : QStringList());
        QFETCH(QString, logged);
        const QByteArray log = readFile(path("log.txt"));
        QVERIFY2(log.contains(logged.toUtf8()), log.constData());
        // Once repaired, nothing is damaged.
        if (restored) {
            QJsonObject report;
            QCOMPARE(runCheck({"--repair", "--local_path", path("local.xml"), "--url", server.url(), "--dir", path("app")}, &report), 0);
            QCOMPARE(report["status"].toString(), "up to date");
        }
    }

    // The installation's id is made once, by the first run a staged rollout
    // needs it for (never by a check), in one rename that replaces a link
    // there instead of writing through it; every run of the release then
    // decides alike, and --check tells what it will be.
    void rolloutDecidesOncePerInstallation()
    {
        QVERIFY(writeFile(path("distant.xml"), manifest("2.0", entry("a.txt", payloadA, "a.txt")).replace("version='2.0'", "version='2.0' rollout='50'")));
        TestServer server;
        server.serveFiles({{"a.txt", payloadA}});
        QJsonObject report;
        QCOMPARE(runCheck(arguments(server).mid(1), &report), 10);
        QVERIFY(field(report, "rollout", "offered").isNull() && !QFileInfo::exists(path("install-id")));

        QVERIFY(writeFile(path("outside/target"), "not an id") && QFile::link(path("outside/target"), path("install-id")));
        QList<int> decisions;
        QByteArray id;
        for (int run = 0; run < 3; ++run) {
            QVERIFY(writeFile(path("local.xml"), manifest("1.0", QString())) && QDir(path("app")).removeRecursively() && QDir().mkpath(path("app")));
            QCOMPARE(runUpdater(server, {"--log_size", "10000000"}), 0);
            if (run == 0)
                id = readFile(path("install-id"));
            QCOMPARE(readFile(path("install-id")), id);
            decisions << int(QFile::exists(path("app/a.txt")));
        }
        QCOMPARE(readFile(path("outside/target")), QByteArray("not an id"));
        QVERIFY(!QFileInfo(path("install-id")).isSymLink() && QRegularExpression("^[0-9a-f]{16}\n$").match(QString::fromLatin1(id)).hasMatch());
        QCOMPARE(decisions.count(decisions.first()), 3);
        QCOMPARE(readFile(path("log.txt")).count("not yet offered to this installation (rollout 50 %)"), decisions.first() ? 0 : 3);
        QVERIFY(writeFile(path("local.xml"), manifest("1.0", QString())));
        QCOMPARE(runCheck(arguments(server).mid(1), &report), decisions.first() ? 10 : 0);
        QCOMPARE(field(report, "rollout", "offered").toBool(), bool(decisions.first()));
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
        // Refused, but the versions it knew are said.
        QVERIFY(readFile(path("log.txt")).contains("run refused: distant version -, local version before 1.0"));
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
            // A kill between naming a complete replacement and renaming it
            // over the old file leaves it under a hidden name, which the
            // next run removes; nothing else may be there.
            const QStringList present = QDir(path("app")).entryList(QDir::Files | QDir::Hidden | QDir::System)
                                            .filter(QRegularExpression("^(?!\\.~staged-[0-9a-f]{16}\\.part$)"));
            QCOMPARE(present, QStringList(newFiles.keys()));
            for (const QString &name : present) {
                const QByteArray content = readFile(path("app/") + name);
                QVERIFY2(content == oldFiles[name] || content == newFiles[name], qPrintable(name));
            }
            QVERIFY(!readManifestDocument(path("local.xml")).isNull());
        }
        QCOMPARE(runUpdater(server), 0);
        QCOMPARE(QDir(path("app")).entryList(QDir::Files | QDir::Hidden | QDir::System), QStringList(newFiles.keys()));
        for (auto it = newFiles.cbegin(); it != newFiles.cend(); ++it)
            QCOMPARE(readFile(path("app/") + it.key()), it.value());
        QVERIFY(readFile(path("local.xml")).contains("version=\"2.0\""));
    }

    // A folder inside the installation is swapped for a link to a folder
    // outside at a random moment of a slow run, 10 times: what the run
    // would write or delete there is refused and counted, and nothing
    // outside ever changes.
    void swappedFolderNeverLeadsOut()
    {
        const Tree outside{{"inner.txt", "outside inner"}, {"old.txt", "outside old"}};
        const Tree installed{{"sub/inner.txt", "old inner"}, {"sub/old.txt", "dropped by the release"}, {"big.bin", "old"}};
        const Tree release{{"sub/inner.txt", QByteArray(300000, 'i')}, {"big.bin", QByteArray(1500000, 'B')}};
        TestServer server;
        serveSlowly(&server, release);
        for (int attempt = 0; attempt < 10; ++attempt) {
            const QString base = path(QStringLiteral("race%1").arg(attempt));
            QVERIFY(writeTree(base + "/app", installed) && writeTree(base + "/outside", outside));
            QVERIFY(writeFile(base + "/local.xml", manifestOfTree(installed, "1.0")));
            QVERIFY(writeFile(base + "/distant.xml", manifestOfTree(release, "2.0")));
            QProcess updater;
            updater.setWorkingDirectory(m_dir->path());
            updater.start(path("updater"), {"--silent", "--local_path", base + "/local.xml", "--distant_path", base + "/distant.xml",
                                            "--url", server.url(), "--dir", base + "/app", "--log_size", "10000000"});
            QVERIFY(updater.waitForStarted());
            // Well before the end: the run takes about 2 s.
            QTest::qWait(50 + QRandomGenerator::global()->bounded(1100));
            QVERIFY(QDir().rename(base + "/app/sub", base + "/aside") && QFile::link(base + "/outside", base + "/app/sub"));
            QVERIFY2(updater.waitForFinished(60000), "the run did not end");
            QCOMPARE(readTree(base + "/outside"), outside);
            QCOMPARE(updater.exitCode(), 1);
            QVERIFY2(readFile(path("log.txt")).contains(base.toUtf8() + "/app/sub is a link"), "no refusal logged");
        }
    }

    // Two runs at once on one installation, of releases 3.0 and 2.0: the
    // second ends at once with status 1 and changes nothing; the saved
    // manifest names the release whose files are on disk.
    void oneRunAtATime()
    {
        const Tree releases[] = {{{"a.bin", QByteArray(1200000, '3')}, {"v3.txt", "three"}},
                                 {{"a.bin", QByteArray(1200000, '2')}, {"v2.txt", "two"}}};
        TestServer servers[2];
        QProcess runs[2];
        for (int i = 0; i < 2; ++i) {
            serveSlowly(&servers[i], releases[i]);
            QVERIFY(writeFile(path(QStringLiteral("distant%1.xml").arg(i)), manifestOfTree(releases[i], i == 0 ? "3.0" : "2.0")));
        }
        QVERIFY(writeFile(path("local.xml"), manifestOfTree({}, "1.0")));
        for (int i = 0; i < 2; ++i) {
            runs[i].setWorkingDirectory(m_dir->path());
            runs[i].start(path("updater"), {"--silent", "--local_path", path("local.xml"), "--distant_path",
                                            path(QStringLiteral("distant%1.xml").arg(i)), "--url", servers[i].url(),
                                            "--dir", path("app"), "--allow_downgrade"});
        }
        for (QProcess &run : runs)
            QVERIFY2(run.waitForFinished(60000), "a run did not end");
        const int winner = runs[0].exitCode() == 0 ? 0 : 1;
        QCOMPARE(runs[winner].exitCode(), 0);
        QCOMPARE(runs[1 - winner].exitCode(), 1);
        const QByteArray errors = runs[1 - winner].readAllStandardError();
        QVERIFY2(errors.contains("another update is running"), errors.constData());
        QVERIFY(servers[1 - winner].requests().empty());
        QCOMPARE(readTree(path("app")), releases[winner]);
        QVERIFY(readFile(path("local.xml")).contains(winner == 0 ? "version=\"3.0\"" : "version=\"2.0\""));
    }

    // A link where the local manifest or the log goes is replaced by a
    // regular file, never written through.
    void linksAtTheEdgesReplaced_data()
    {
        QTest::addColumn<QString>("link");
        QTest::addColumn<QByteArray>("written"); // what the regular file then holds
        QTest::newRow("--local_path") << "local.xml" << QByteArray("version=\"2.0\"");
        QTest::newRow("log.txt beside the program") << "log.txt" << QByteArray("run finished");
    }
    void linksAtTheEdgesReplaced()
    {
        QFETCH(QString, link);
        QFETCH(QByteArray, written);
        const QByteArray outside = readFile(path("local.xml"));
        QVERIFY(writeFile(path("outside/target"), outside));
        QVERIFY(QFile::remove(path(link)) || !QFile::exists(path(link)));
        QVERIFY(QFile::link(path("outside/target"), path(link)));
        TestServer server;
        server.serveFiles({{"a.txt", payloadA}, {"sub/b.bin", payloadB}});
        QString errors;
        QCOMPARE(runWithoutDisplay(path("updater"), arguments(server) << "--log_size" << "10000000", m_dir->path(), &errors, 30000), 0);
        QCOMPARE(readFile(path("outside/target")), outside);
        QVERIFY(!QFileInfo(path(link)).isSymLink());
        QVERIFY2(readFile(path(link)).contains(written), readFile(path(link)).constData());
        if (link == "log.txt")
            QVERIFY2(errors.contains("Log: replaced the link at log file " + path("log.txt")), qPrintable(errors));
    }

    // Releases that change the shape of the installation converge in one
    // run, and a second run finds nothing to do: a folder that becomes a
    // file (only when the local manifest lists all it holds), a file that
    // becomes a folder, a dropped folder (what is not listed stays). Names
    // Windows cannot hold are installed here with a warning.
    void releaseShapes_data()
    {
        QTest::addColumn<Tree>("installed"); // on disk
        QTest::addColumn<Tree>("listed");    // by the local manifest
        QTest::addColumn<Tree>("release");
        QTest::addColumn<Tree>("after");     // on disk after each run
        QTest::addColumn<int>("status");
        QTest::addColumn<QStringList>("logged");
        const Tree keep{{"keep.txt", "k"}};
        const Tree folder{{"keep.txt", "k"}, {"x/a.txt", "a"}, {"x/b/c.txt", "c"}};
        const Tree intoFile{{"keep.txt", "k"}, {"x", "now a file"}};
        QTest::newRow("a folder becomes a file") << folder << folder << intoFile << intoFile << 0 << QStringList{"run finished"};
        const Tree file{{"keep.txt", "k"}, {"y", "a file"}};
        const Tree intoFolder{{"keep.txt", "k"}, {"y/a.txt", "a"}, {"y/sub/b.txt", "b"}};
        QTest::newRow("a file becomes a folder") << file << file << intoFolder << intoFolder << 0 << QStringList{"run finished"};
        const Tree intoEmpty{{"keep.txt", "k"}, {"y/", ""}};
        QTest::newRow("a file becomes an empty folder") << file << file << intoEmpty << intoEmpty << 0 << QStringList{"run finished"};
        const Tree withMine = folder + Tree{{"x/mine.txt", "the user's"}};
        QTest::newRow("a folder holding an unlisted file stays") << withMine << folder << intoFile << withMine << 1
            << QStringList{"the folder x holds entries no manifest lists: mine.txt"};
        const Tree dropped{{"keep.txt", "k"}, {"d/a.txt", "a"}, {"d/sub/b.txt", "b"}, {"d/e/", ""}};
        QTest::newRow("a dropped folder keeps what is not listed") << dropped + Tree{{"d/sub/mine.txt", "m"}} << dropped << keep
            << Tree{{"keep.txt", "k"}, {"d/sub/mine.txt", "m"}} << 0
            << QStringList{"d/sub/mine.txt: not listed in the local manifest, left in place"};
        QTest::newRow("a dropped folder of listed entries goes") << dropped << dropped << keep << keep << 0 << QStringList{"deleted 1"};
        const Tree names{{"keep.txt", "k"}, {"aux.txt", "1"}, {"CON", "2"}, {"name.", "3"}, {"Readme.txt", "4"}, {"README.TXT", "5"},
                         {"com1/x.txt", "6"}};
        QTest::newRow("names Windows cannot hold, installed here") << keep << keep << names << names << 0
            << QStringList{"a name Windows cannot hold: aux.txt (a reserved device name)",
                           "a name Windows cannot hold: name. (a trailing dot)",
                           "a name Windows cannot hold: Readme.txt (it differs from 'README.TXT' only in case)",
                           "a name Windows cannot hold: com1 (a reserved device name)"};
    }
    void releaseShapes()
    {
        QFETCH(Tree, installed);
        QFETCH(Tree, listed);
        QFETCH(Tree, release);
        QFETCH(QStringList, logged);
        QVERIFY(QDir(path("app")).removeRecursively() && writeTree(path("app"), installed));
        QVERIFY(writeFile(path("local.xml"), manifestOfTree(listed, "1.0")));
        QVERIFY(writeFile(path("distant.xml"), manifestOfTree(release, "2.0")));
        TestServer server;
        QMap<QByteArray, QByteArray> files;
        for (auto it = release.cbegin(); it != release.cend(); ++it)
            files.insert(it.key().toUtf8(), it.value());
        server.serveFiles(files);
        for (int run = 0; run < 2; ++run) {
            QTEST(runUpdater(server, {"--log_size", "10000000"}), "status");
            QTEST(readTree(path("app")), "after");
        }
        const QByteArray log = readFile(path("log.txt"));
        for (const QString &text : logged)
            QVERIFY2(log.contains(text.toUtf8()), qPrintable(text + " not in\n" + QString::fromUtf8(log)));
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
        QTest::newRow("a repair with a key needs the signed release")
            << QStringList{"--repair", "--public_key", "distant.xml"}
            << "Launch warning. Invalid command line: --repair with a public key needs the signed release "
               "(--distant_path or --manifest_request).";
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
