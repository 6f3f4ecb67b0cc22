// The download queue against real HTTP servers on 127.0.0.1: order, what
// is refused, how a misbehaving server ends, retries, and what reaches the
// disk (never outside the destination, never a file that did not check out).
#include "scriptedserver.h"
#include "testfiles.h"
#include "testhttpserver.h"
#include "testlog.h"
#include "nativename.h"
#include "runlock.h"
#include "updaterhandler.h"

#include <QtTest>

namespace {
struct Outcome
{
    bool ended = false; // the queue ended within the test's generous bound
    bool success = false;
    QList<QVariantList> starts, finished, progress;
};
} // namespace

class TestUpdaterHandler : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir, m_logDir;
    TestLog m_log;
    QString m_dest, m_outside;
    FetchOptions m_options;
    bool m_required = false;

    Outcome run(const QStringList &entries, const QStringList &sha256 = {})
    {
        updaterHandler handler(m_dest);
        handler.setFetchOptions(m_options);
        handler.setSha256Required(m_required);
        QSignalSpy starts(&handler, &updaterHandler::downloadStart);
        QSignalSpy finished(&handler, &updaterHandler::downloadFinished);
        QSignalSpy progress(&handler, &updaterHandler::currentDownloadProgress);
        QSignalSpy empty(&handler, &updaterHandler::queueEmpty);
        handler.appendEntries(entries, sha256);
        (void)QTest::qWaitFor([&] { return !empty.isEmpty(); }, 30000);
        const Outcome outcome{!empty.isEmpty(), !empty.isEmpty() && empty.first().first().toBool(), starts, finished, progress};
        // A staged file never stays behind.
        const QStringList hidden = QDir(m_dest).entryList(QDir::Hidden | QDir::Files).filter(QStringLiteral(".~"));
        [&] { QVERIFY2(hidden.isEmpty(), qPrintable(hidden.join(' '))); }();
        return outcome;
    }

private slots:
    void initTestCase() { m_log.start(m_logDir.filePath("log.txt")); }

    void init()
    {
        QVERIFY(QDir(m_dir.path()).removeRecursively() && QDir().mkpath(m_dir.path()));
        m_dest = m_dir.filePath("dest");
        m_outside = m_dir.filePath("outside");
        QVERIFY(writeFile(m_outside + "/secret.txt", "outside, never touched\n"));
        m_options = FetchOptions();
        m_options.retryDelaysMs = {0, 0}; // fast retries unless a test wants the real waits
        m_options.stallSeconds = 1;
        m_required = false;
        m_log.mark();
    }

    void queueInOrder()
    {
        TestServer server;
        server.setFile("/files/a.bin", "alpha");
        server.setFile("/files/b.bin", QByteArray(300000, 'b'));
        server.setFile("/files/c.bin", "gamma");
        const Outcome outcome = run({server.url("/files/a.bin"), server.url("/files/b.bin") + " = bin/tool.exe\n",
                                     QString(), server.url("/files/c.bin") + "=c-renamed.bin"});
        QVERIFY(outcome.success);
        // The first download starts before the others are queued: remaining 0, 1, 0.
        QStringList starts;
        for (const QVariantList &s : outcome.starts)
            starts << s.at(0).toUrl().path() + ':' + s.at(1).toString();
        QCOMPARE(starts, QStringList({"a.bin:0", "bin/tool.exe:1", "c-renamed.bin:0"}));
        QCOMPARE(outcome.finished.size(), 3);
        QCOMPARE(outcome.finished.at(2).at(0).toUrl(), QUrl(server.url("/files/c.bin")));
        QCOMPARE(readFile(m_dest + "/a.bin"), QByteArray("alpha"));
        QCOMPARE(readFile(m_dest + "/bin/tool.exe"), QByteArray(300000, 'b'));
        QCOMPARE(readFile(m_dest + "/c-renamed.bin"), QByteArray("gamma"));
        QVERIFY(!outcome.progress.isEmpty());
        QCOMPARE(outcome.progress.last().at(0), outcome.progress.last().at(1));
        // Beside them, the run's lock file.
        QCOMPARE(QDir(m_dest).entryList(QDir::Files | QDir::Hidden), QStringList({".versionupdater.lock", "a.bin", "c-renamed.bin"}));
    }

    // A failed or refused entry leaves the old file and everything outside
    // the destination as it was, is logged with its reason, and lets the
    // rest of the queue run; the run then ends in error, once, also when
    // the refused entry comes first.
    void badEntrySkipped_data()
    {
        QTest::addColumn<bool>("first"); // the bad entry before the good ones
        QTest::addColumn<QString>("url");    // SERVER: the server; OUTSIDE: the folder beside dest
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("sha256"); // REQUIRED: none given while one is required
        QTest::addColumn<int>("starts");     // of the three entries
        QTest::addColumn<int>("evilHits");   // requests for /evil.bin
        QTest::addColumn<QString>("logged");
        const QString evil = "SERVER/evil.bin";
        QTest::newRow("HTTP 404") << false << "SERVER/missing/app.dll" << "app.dll" << "" << 3 << 0 << "HTTP 404 Not Found";
        QTest::newRow("connection dropped mid-body") << false << "SERVER/cut/app.dll" << "app.dll" << "" << 3 << 0
                                                     << "failed after 3 attempt(s)";
        QTest::newRow("nobody listening") << false << "http://127.0.0.1:1/app.dll" << "app.dll" << "" << 3 << 0 << "refused";
        QTest::newRow("parent") << false << evil << "../outside/secret.txt" << "" << 2 << 0 << "climbs out";
        QTest::newRow("file: URL") << false << "file://localhostOUTSIDE/secret.txt" << "stolen.txt" << "" << 2 << 0
                                   << "not an http or https URL";
        QTest::newRow("ftp: URL") << false << "ftp://127.0.0.1:1/app.dll" << "app.dll" << "" << 2 << 0 << "not an http";
        QTest::newRow("NUL in the name") << false << evil << QString::fromUtf8("app.dll\0.evil", 13) << "" << 2 << 0
                                         << "app.dll\\u0000.evil: refused";
        QTest::newRow("linked folder leads outside") << false << evil << "linked/secret.txt" << "" << 2 << 0
                                                     << "/dest/linked is a link";
        QTest::newRow("sha256 does not match") << false << evil << "app.dll" << sha256Of("good") << 3 << 3 << "sha256 mismatch";
        QTest::newRow("no sha256 while required") << false << evil << "app.dll" << "REQUIRED" << 2 << 0 << "no sha256";
        QTest::newRow("parent, first") << true << evil << "../outside/secret.txt" << "" << 2 << 0 << "climbs out";
        QTest::newRow("ftp: URL, first") << true << "ftp://127.0.0.1:1/app.dll" << "app.dll" << "" << 2 << 0 << "not an http";
        QTest::newRow("sha256 malformed") << false << evil << "app.dll" << sha256Of("evil").toUpper() << 2 << 0
                                          << "not 64 lower-case";
    }
    void badEntrySkipped()
    {
        QFETCH(QString, url);
        QFETCH(QString, name);
        QFETCH(QString, sha256);
        TestServer server;
        server.setFile("/cut/app.dll", QByteArray(200000, 'n'));
        for (const char *file : {"evil", "good", "next"})
            server.setFile(QStringLiteral("/%1.bin").arg(file), file);
        const QByteArray old("previous release, byte for byte\n");
        QVERIFY(writeFile(m_dest + "/app.dll", old));
        QVERIFY(QFile::link(m_outside, m_dest + "/linked"));
        url.replace("SERVER", server.url("")).replace("OUTSIDE", m_outside);
        m_required = sha256 == QLatin1String("REQUIRED");

        QFETCH(bool, first);
        const Outcome outcome = first ? run({url + "=" + name, server.url("/good.bin"), server.url("/next.bin")},
                                            {m_required ? QString() : sha256, sha256Of("good"), sha256Of("next")})
                                      : run({server.url("/good.bin"), url + "=" + name, server.url("/next.bin")},
                                            {sha256Of("good"), m_required ? QString() : sha256, sha256Of("next")});
        QVERIFY(!outcome.success);
        QTEST(int(outcome.starts.size()), "starts");
        QCOMPARE(outcome.finished.size(), 2);
        QTEST(server.hits("/evil.bin"), "evilHits");
        QCOMPARE(readFile(m_dest + "/app.dll"), old);
        QCOMPARE(readFile(m_dest + "/good.bin") + readFile(m_dest + "/next.bin"), QByteArray("goodnext"));
        QCOMPARE(QDir(m_dest).entryList(QDir::Files | QDir::Hidden | QDir::NoSymLinks),
                 QStringList({".versionupdater.lock", "app.dll", "good.bin", "next.bin"}));
        QCOMPARE(QDir(m_outside).entryList(QDir::Files | QDir::Hidden), QStringList{"secret.txt"});
        QCOMPARE(readFile(m_outside + "/secret.txt"), QByteArray("outside, never touched\n"));
        QFETCH(QString, logged);
        QCOMPARE(m_log.matching("ERROR", {url, logged}).size(), 1);
        QCOMPARE(m_log.matching("INFO", {"downloads done: 2 written, 1 failed"}).size(), 1);
        QCOMPARE(m_log.matching("INFO", {"downloads done"}).size(), 1);
    }

    // Cancel drops the queue and the download in flight: nothing is placed,
    // nothing more is fetched, no end is reported (the window ends the run).
    void cancelDropsTheQueue()
    {
        ScriptedServer server;
        server.setHandler([&server](const QString &path, httplib::Response &res) {
            return path == "/slow.bin" && server.misbehave("silent", res);
        });
        server.setFile("/next.bin", "next");
        QVERIFY(writeFile(m_dest + "/slow.bin", "old"));
        updaterHandler handler(m_dest);
        handler.setFetchOptions(m_options);
        QSignalSpy empty(&handler, &updaterHandler::queueEmpty);
        handler.appendEntries({server.url("/slow.bin"), server.url("/next.bin")});
        QTRY_COMPARE(server.hits("/slow.bin"), 1);
        handler.cancel();
        QVERIFY(handler.isStopped() && !handler.isDownloading());
        handler.appendEntries({server.url("/next.bin")});
        QTest::qWait(300);
        QCOMPARE(empty.count(), 0);
        QCOMPARE(server.hits("/next.bin"), 0);
        QCOMPARE(readFile(m_dest + "/slow.bin"), QByteArray("old"));
        // Nothing half-written: only the old file and the run's lock file.
        QCOMPARE(QDir(m_dest).entryList(QDir::Files | QDir::Hidden), (QStringList{".versionupdater.lock", "slow.bin"}));
        QCOMPARE(handler.failedCount(), 1);
        QCOMPARE(handler.failures().value(0).reason, QStringLiteral("cancelled"));
    }

    // A link in the destination is replaced, never written through; a
    // linked folder is never entered, even one that stays inside. A name
    // Windows cannot hold is written here, with a warning. Another process
    // writing the destination stops the run before anything is written.
    void links_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("written"); // where the bytes land, below dest; empty: nowhere
        QTest::addColumn<QString>("logged");  // LEVEL|text
        QTest::newRow("linked file leads outside") << "secret-link.txt" << "secret-link.txt" << "INFO|-> secret-link.txt: written, 3 bytes";
        QTest::newRow("linked folder inside") << "alias/x.bin" << "" << "ERROR|/dest/alias is a link";
        QTest::newRow("name Windows cannot hold") << "sub/aux.txt" << "sub/aux.txt"
                                                  << "WARN|a name Windows cannot hold ('aux.txt': a reserved device name)";
        QTest::newRow("names that differ only in case") << "README.txt" << "README.txt"
                                                        << "WARN|'README.txt' differs from 'readme.txt' only in case";
        QTest::newRow("another process writes the destination") << "x.bin" << "" << "ERROR|another update is running";
    }
    void links()
    {
        QFETCH(QString, name);
        QFETCH(QString, written);
        QFETCH(QString, logged);
        TestServer server;
        server.setFile("/new.bin", "new");
        QVERIFY(QDir().mkpath(m_dest + "/real"));
        QVERIFY(QFile::link(m_outside + "/secret.txt", m_dest + "/secret-link.txt"));
        QVERIFY(QFile::link(m_dest + "/real", m_dest + "/alias"));
        platform::RunLock other;
        if (name == "x.bin")
            QVERIFY(other.acquire(NativeName::of(m_dest + "/.versionupdater.lock")));
        const QStringList entries = QStringList{server.url("/new.bin") + "=readme.txt", server.url("/new.bin") + "=" + name};
        QCOMPARE(run(entries).success, !written.isEmpty());
        if (!written.isEmpty()) {
            QCOMPARE(readFile(m_dest + "/" + written), QByteArray("new"));
            QVERIFY(!QFileInfo(m_dest + "/" + written).isSymLink());
        }
        QCOMPARE(QDir(m_dest + "/real").entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::Hidden), QStringList());
        QCOMPARE(readFile(m_outside + "/secret.txt"), QByteArray("outside, never touched\n"));
        QCOMPARE(m_log.matching(logged.section('|', 0, 0), {logged.section('|', 1)}).size(), 1);
    }

    // However the server misbehaves, each attempt ends (with --timeout 1 the
    // stall rule ends it, well inside the test's bound); attempts wait 1 s
    // and then 3 s; no body grows past the limit, announced or not, or is
    // asked for again; none is inflated. A failure leaves the old file.
    void misbehavingServer_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<bool>("success");
        QTest::addColumn<int>("hits");
        QTest::addColumn<QByteArray>("written");
        QTest::addColumn<QString>("logged"); // LEVEL|text
        const QString stalled = "WARN|stalled: fewer than 1024 bytes in 1 s";
        QTest::newRow("never answers") << "silent" << false << 3 << QByteArray("old") << stalled;
        QTest::newRow("stops after 4 KiB") << "halfway" << false << 3 << QByteArray("old") << stalled;
        QTest::newRow("drips a byte a second") << "drip" << false << 3 << QByteArray("old") << stalled;
        QTest::newRow("HTTP 500 three times") << "500 3" << false << 3 << QByteArray("old")
                                              << "ERROR|failed after 3 attempt(s): HTTP 500 Internal Server Error";
        QTest::newRow("HTTP 500 twice, then the file")
            << "500 2" << true << 3 << QByteArray("new")
            << "WARN|attempt 1 of 3 failed: HTTP 500 Internal Server Error; trying again in 1000 ms";
        QTest::newRow("exactly the limit") << "limit" << true << 1 << QByteArray(1 << 20, 'l') << "";
        QTest::newRow("announced past the limit") << "announced" << false << 1 << QByteArray("old") << "";
        QTest::newRow("endless, no length") << "endless" << false << 1 << QByteArray("old") << "";
        QTest::newRow("gzip bomb, stored as sent") << "gzip" << true << 1
                                                   << runShell("head -c 67108864 /dev/zero | gzip -9") << "";
    }
    void misbehavingServer()
    {
        QFETCH(QString, kind);
        QFETCH(QByteArray, written);
        ScriptedServer server;
        const ScriptedServer *s = &server;
        server.setFile("/app.dll", kind == "limit" ? written : "new");
        auto calls = std::make_shared<std::atomic<int>>(0);
        server.setHandler([=](const QString &, httplib::Response &res) {
            if (kind.startsWith("500"))
                return (*calls)++ < kind.right(1).toInt() && (res.status = 500);
            return s->misbehave(kind, res, written, size_t(1 << 20) + 1);
        });
        QVERIFY(written.size() > 2 && written.size() <= 1 << 20);
        QVERIFY(writeFile(m_dest + "/app.dll", "old"));
        m_options.maximumDownloadBytes = 1 << 20;
        if (kind.startsWith("500"))
            m_options.retryDelaysMs = {1000, 3000};
        const Outcome outcome = run({server.url("/app.dll")});
        QTEST(outcome.success, "success");
        QTEST(server.hits("/app.dll"), "hits");
        QVERIFY(outcome.ended);
        QCOMPARE(readFile(m_dest + "/app.dll"), written);
        const auto requests = server.received();
        QCOMPARE(requests.front().acceptEncoding, QByteArray("identity"));
        if (kind == "500 3")
            QCOMPARE(m_log.matching("WARN", {"attempt 2 of 3 failed: HTTP 500", "; trying again in 3000 ms"}).size(), 1);
        QFETCH(QString, logged);
        if (!logged.isEmpty())
            QCOMPARE(m_log.matching(logged.section('|', 0, 0), {logged.section('|', 1)}).size(), kind.startsWith("500") ? 1 : 2);
    }

    void unwritableDestinationStops()
    {
        TestServer server;
        server.setFile("/a.bin", "a");
        // A plain file where the folder should be: no folder can be made there, even for root.
        QVERIFY(writeFile(m_dest, "not a folder"));
        updaterHandler handler(m_dest);
        QSignalSpy starts(&handler, &updaterHandler::downloadStart);
        QSignalSpy empty(&handler, &updaterHandler::queueEmpty);
        handler.appendEntries({server.url("/a.bin"), server.url("/a.bin")});
        QCOMPARE(empty.count(), 1);
        QCOMPARE(empty.at(0).at(0).toBool(), false);
        // Stopped for good: later entries are not fetched either.
        handler.appendDownload(QUrl(server.url("/a.bin")), QStringLiteral("a.bin"));
        QTest::qWait(200);
        QCOMPARE(starts.count() + server.hits("/a.bin"), 0);
        QCOMPARE(empty.count(), 1);
        QCOMPARE(m_log.matching("ERROR", {"downloads stopped"}).size(), 1);
    }
};

QTEST_MAIN(TestUpdaterHandler)
#include "tst_updaterhandler.moc"
