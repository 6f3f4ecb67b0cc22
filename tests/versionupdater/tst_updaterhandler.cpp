// The download queue against real HTTP servers on 127.0.0.1: order, what
// is refused, how a misbehaving server ends, retries, and what reaches the
// disk (never outside the destination, never a file that did not check out).
#include "scriptedserver.h"
#include "testfiles.h"
#include "testhttpserver.h"
#include "testlog.h"
#include "updaterhandler.h"

#include <QtTest>

namespace {

QString sha256Of(const QByteArray &data)
{
    return QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex());
}

// What one run of a handler over some entries came to.
struct Outcome
{
    bool success = false;
    int starts = 0, finished = 0;
    qint64 ms = 0;
};

} // namespace

class TestUpdaterHandler : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QTemporaryDir m_logDir;
    TestLog m_log;
    QString m_dest, m_outside;

    // Fast retries unless a test wants the real waits.
    Outcome run(const QStringList &entries, const QStringList &sha256 = {},
                const std::function<void(updaterHandler &, FetchOptions &)> &configure = nullptr)
    {
        updaterHandler handler(m_dest);
        FetchOptions options;
        options.retryDelaysMs = {0, 0};
        options.stallSeconds = 1;
        if (configure)
            configure(handler, options);
        handler.setFetchOptions(options);
        QSignalSpy starts(&handler, &updaterHandler::downloadStart);
        QSignalSpy finished(&handler, &updaterHandler::downloadFinished);
        QSignalSpy empty(&handler, &updaterHandler::queueEmpty);
        QElapsedTimer clock;
        clock.start();
        handler.appendEntries(entries, sha256);
        (void)QTest::qWaitFor([&] { return !empty.isEmpty(); }, 30000);
        Outcome outcome;
        outcome.ms = clock.elapsed();
        outcome.success = !empty.isEmpty() && empty.first().first().toBool();
        outcome.starts = starts.count();
        outcome.finished = finished.count();
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
        m_log.mark();
    }

    void queueInOrder()
    {
        TestServer server;
        server.setFile("/files/a.bin", "alpha");
        server.setFile("/files/b.bin", QByteArray(300000, 'b'));
        server.setFile("/files/c.bin", "gamma");

        updaterHandler handler(m_dest);
        QSignalSpy starts(&handler, &updaterHandler::downloadStart);
        QSignalSpy progress(&handler, &updaterHandler::currentDownloadProgress);
        QSignalSpy finished(&handler, &updaterHandler::downloadFinished);
        QSignalSpy empty(&handler, &updaterHandler::queueEmpty);
        handler.appendEntries({server.url("/files/a.bin"), server.url("/files/b.bin") + " = bin/tool.exe\n",
                               QString(), server.url("/files/c.bin") + "=c-renamed.bin"});

        QTRY_COMPARE(empty.count(), 1);
        QCOMPARE(empty.at(0).at(0).toBool(), true);
        // The first download starts before the others are queued: remaining 0, 1, 0.
        QCOMPARE(starts.count(), 3);
        QCOMPARE(starts.at(0).at(1).toInt(), 0);
        QCOMPARE(starts.at(1).at(1).toInt(), 1);
        QCOMPARE(starts.at(2).at(1).toInt(), 0);
        QCOMPARE(starts.at(1).at(0).toUrl().path(), QStringLiteral("bin/tool.exe"));
        QCOMPARE(finished.count(), 3);
        QCOMPARE(finished.at(2).at(0).toUrl(), QUrl(server.url("/files/c.bin")));

        QCOMPARE(readFile(m_dest + "/a.bin"), QByteArray("alpha"));
        QCOMPARE(readFile(m_dest + "/bin/tool.exe"), QByteArray(300000, 'b'));
        QCOMPARE(readFile(m_dest + "/c-renamed.bin"), QByteArray("gamma"));
        QVERIFY(!progress.isEmpty());
        QCOMPARE(progress.last().at(0).toLongLong(), progress.last().at(1).toLongLong());
        QCOMPARE(QDir(m_dest).entryList(QDir::Files | QDir::Hidden).size(), 2);
    }

    // A failed or refused entry leaves the old file and everything outside
    // the destination as it was, is logged with its reason, and lets the
    // rest of the queue run; the run then ends in error.
    void badEntrySkipped_data()
    {
        QTest::addColumn<QString>("url");    // SERVER: the server; OUTSIDE: the folder beside dest
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("sha256"); // REQUIRED: none given while one is required
        QTest::addColumn<int>("starts");     // of the three entries
        QTest::addColumn<int>("evilHits");   // requests for /evil.bin
        QTest::addColumn<QString>("logged");
        QTest::newRow("HTTP 404") << "SERVER/missing/app.dll" << "app.dll" << "" << 3 << 0 << "HTTP 404 Not Found";
        QTest::newRow("connection dropped mid-body")
            << "SERVER/cut/app.dll" << "app.dll" << "" << 3 << 0 << "failed after 3 attempt(s)";
        QTest::newRow("nobody listening") << "http://127.0.0.1:1/app.dll" << "app.dll" << "" << 3 << 0 << "refused";
        QTest::newRow("parent") << "SERVER/evil.bin" << "../outside/secret.txt" << "" << 2 << 0 << "climbs out";
        QTest::newRow("file: URL") << "file://localhostOUTSIDE/secret.txt" << "stolen.txt" << "" << 2 << 0
                                   << "not an http or https URL";
        QTest::newRow("ftp: URL") << "ftp://127.0.0.1:1/app.dll" << "app.dll" << "" << 2 << 0 << "not an http";
        QTest::newRow("NUL in the name") << "SERVER/evil.bin" << QString::fromUtf8("app.dll\0.evil", 13) << "" << 2
                                         << 0 << "app.dll\\u0000.evil: refused";
        QTest::newRow("linked folder leads outside")
            << "SERVER/evil.bin" << "linked/secret.txt" << "" << 2 << 0 << "leads outside the destination";
        QTest::newRow("sha256 does not match") << "SERVER/evil.bin" << "app.dll" << sha256Of("good") << 3 << 3
                                               << "sha256 mismatch";
        QTest::newRow("no sha256 while required") << "SERVER/evil.bin" << "app.dll" << "REQUIRED" << 2 << 0
                                                  << "no sha256";
        QTest::newRow("sha256 malformed") << "SERVER/evil.bin" << "app.dll" << sha256Of("evil").toUpper() << 2 << 0
                                          << "not 64 lower-case";
    }
    void badEntrySkipped()
    {
        QFETCH(QString, url);
        QFETCH(QString, name);
        QFETCH(QString, sha256);
        TestServer server;
        server.setFile("/cut/app.dll", QByteArray(200000, 'n'));
        server.setFile("/evil.bin", "evil");
        server.setFile("/good.bin", "good");
        server.setFile("/next.bin", "next");
        const QByteArray old("previous release, byte for byte\n");
        QVERIFY(writeFile(m_dest + "/app.dll", old));
        QVERIFY(QFile::link(m_outside, m_dest + "/linked"));
        url.replace("SERVER", server.url("")).replace("OUTSIDE", m_outside);
        const bool required = sha256 == QLatin1String("REQUIRED");

        const Outcome outcome = run({server.url("/good.bin"), url + "=" + name, server.url("/next.bin")},
                                    {sha256Of("good"), required ? QString() : sha256, sha256Of("next")},
                                    [&](updaterHandler &handler, FetchOptions &) { handler.setSha256Required(required); });

        QCOMPARE(outcome.success, false);
        QTEST(outcome.starts, "starts");
        QCOMPARE(outcome.finished, 2);
        QTEST(server.hits("/evil.bin"), "evilHits");
        QCOMPARE(readFile(m_dest + "/app.dll"), old);
        QCOMPARE(readFile(m_dest + "/good.bin"), QByteArray("good"));
        QCOMPARE(readFile(m_dest + "/next.bin"), QByteArray("next"));
        QCOMPARE(QDir(m_dest).entryList(QDir::Files | QDir::Hidden | QDir::NoSymLinks),
                 QStringList({"app.dll", "good.bin", "next.bin"}));
        QCOMPARE(QDir(m_outside).entryList(QDir::Files | QDir::Hidden), QStringList{"secret.txt"});
        QCOMPARE(readFile(m_outside + "/secret.txt"), QByteArray("outside, never touched\n"));
        QFETCH(QString, logged);
        QCOMPARE(m_log.matching("ERROR", {url, logged}).size(), 1);
        QCOMPARE(m_log.matching("INFO", {"downloads done: 2 written, 1 failed"}).size(), 1);
    }

    // A link in the destination is replaced, never written through; a
    // linked folder that stays inside may be used.
    void links_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("written"); // where the bytes land, below dest
        QTest::newRow("linked file leads outside") << "secret-link.txt" << "secret-link.txt";
        QTest::newRow("linked folder inside") << "alias/x.bin" << "real/x.bin";
    }
    void links()
    {
        QFETCH(QString, name);
        QFETCH(QString, written);
        TestServer server;
        server.setFile("/new.bin", "new");
        QVERIFY(QDir().mkpath(m_dest + "/real"));
        QVERIFY(QFile::link(m_outside + "/secret.txt", m_dest + "/secret-link.txt"));
        QVERIFY(QFile::link(m_dest + "/real", m_dest + "/alias"));

        QVERIFY(run({server.url("/new.bin") + "=" + name}).success);
        QCOMPARE(readFile(m_dest + "/" + written), QByteArray("new"));
        QVERIFY(!QFileInfo(m_dest + "/" + written).isSymLink());
        QCOMPARE(readFile(m_outside + "/secret.txt"), QByteArray("outside, never touched\n"));
    }

    // With --timeout 1 every attempt ends within about a second of its last
    // kilobyte: three attempts, then the entry fails.
    void stalls_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<int>("maxMs");
        QTest::newRow("never answers") << "silent" << 6000;
        QTest::newRow("stops after 4 KiB") << "halfway" << 9000;
        QTest::newRow("drips a byte a second") << "drip" << 6000;
    }
    void stalls()
    {
        QFETCH(QString, kind);
        QFETCH(int, maxMs);
        ScriptedServer server;
        const ScriptedServer *s = &server;
        server.setHandler([=](const QString &, httplib::Response &res) {
            if (kind == "silent") {
                s->pause(30000);
                return true;
            }
            res.set_content_provider(size_t(65536), "application/octet-stream",
                                     [=](size_t offset, size_t, httplib::DataSink &sink) {
                                         static const std::string block(4096, 's');
                                         if (kind == "halfway" && offset == 0)
                                             return sink.write(block.data(), block.size());
                                         return s->pause(kind == "drip" ? 1000 : 30000) && sink.write(block.data(), 1);
                                     });
            return true;
        });
        QVERIFY(writeFile(m_dest + "/app.dll", "old"));
        const Outcome outcome = run({server.url("/app.dll")});
        QCOMPARE(outcome.success, false);
        QCOMPARE(server.hits("/app.dll"), 3);
        QVERIFY2(outcome.ms < maxMs, qPrintable(QString::number(outcome.ms)));
        QCOMPARE(readFile(m_dest + "/app.dll"), QByteArray("old"));
        QCOMPARE(m_log.matching("WARN", {"stalled: fewer than 1024 bytes in 1 s"}).size(), 2);
    }

    // Attempts are 1 s and then 3 s apart, so a short outage is outlasted;
    // the log carries the HTTP status.
    void retryWaits_data()
    {
        QTest::addColumn<int>("failures");
        QTest::addColumn<bool>("success");
        QTest::newRow("HTTP 500 three times") << 3 << false;
        QTest::newRow("HTTP 500 twice, then the file") << 2 << true;
    }
    void retryWaits()
    {
        QFETCH(int, failures);
        ScriptedServer server;
        server.setFile("/app.dll", "new");
        auto calls = std::make_shared<std::atomic<int>>(0);
        server.setHandler([=](const QString &, httplib::Response &res) {
            if ((*calls)++ >= failures)
                return false;
            res.status = 500;
            return true;
        });
        const Outcome outcome = run({server.url("/app.dll")}, {},
                                    [](updaterHandler &, FetchOptions &options) { options.retryDelaysMs = {1000, 3000}; });
        QTEST(outcome.success, "success");
        const auto requests = server.received();
        QCOMPARE(int(requests.size()), 3);
        QVERIFY(requests[1].ms - requests[0].ms >= 950);
        QVERIFY(requests[2].ms - requests[1].ms >= 2950);
        QCOMPARE(m_log.matching("WARN", {"attempt 1 of 3 failed: HTTP 500 Internal Server Error; trying again in 1000 ms"})
                     .size(),
                 1);
        QCOMPARE(m_log.matching("ERROR", {"failed after 3 attempt(s): HTTP 500 Internal Server Error"}).size(),
                 outcome.success ? 0 : 1);
        QCOMPARE(readFile(m_dest + "/app.dll"), outcome.success ? QByteArray("new") : QByteArray("<missing>"));
    }

    // No body grows past the limit, announced or not, and none is inflated:
    // a compressed body is stored as it was sent.
    void boundedBodies_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<bool>("success");
        QTest::addColumn<int>("hits"); // a body too long is not asked for again
        QTest::newRow("exactly the limit") << "limit" << true << 1;
        QTest::newRow("announced past the limit") << "announced" << false << 1;
        QTest::newRow("endless, no length") << "endless" << false << 1;
        QTest::newRow("gzip bomb, stored as sent") << "gzip" << true << 1;
    }
    void boundedBodies()
    {
        QFETCH(QString, kind);
        const qint64 limit = 1 << 20;
        const QByteArray gzip = runShell(QStringLiteral("head -c 67108864 /dev/zero | gzip -9"));
        QVERIFY(gzip.size() > 1000 && gzip.size() < 200000);
        ScriptedServer server;
        server.setHandler([=](const QString &, httplib::Response &res) {
            if (kind == "limit") {
                res.set_content(std::string(size_t(limit), 'l'), "application/octet-stream");
            } else if (kind == "announced") {
                res.set_content_provider(size_t(limit) + 1, "application/octet-stream",
                                         [](size_t, size_t, httplib::DataSink &sink) { return sink.write("aaaa", 4); });
            } else if (kind == "endless") {
                res.set_chunked_content_provider("application/octet-stream", [](size_t, httplib::DataSink &sink) {
                    static const std::string block(65536, 'e');
                    return sink.write(block.data(), block.size());
                });
            } else {
                res.set_header("Content-Encoding", "gzip");
                res.set_content(gzip.toStdString(), "application/octet-stream");
            }
            return true;
        });
        const Outcome outcome = run({server.url("/f.bin")}, {}, [=](updaterHandler &, FetchOptions &options) {
            options.maximumDownloadBytes = limit;
        });
        QTEST(outcome.success, "success");
        QTEST(server.hits("/f.bin"), "hits");
        QCOMPARE(server.received().front().acceptEncoding, QByteArray("identity"));
        if (kind == "gzip")
            QCOMPARE(readFile(m_dest + "/f.bin"), gzip);
        else
            QCOMPARE(QFileInfo(m_dest + "/f.bin").size(), outcome.success ? limit : 0);
        QVERIFY(outcome.ms < 10000);
    }

    void unwritableDestinationStops()
    {
        TestServer server;
        server.setFile("/a.bin", "a");
        server.setFile("/b.bin", "b");
        // A plain file where the folder should be: no folder can be made there,
        // even for root.
        QVERIFY(writeFile(m_dest, "not a folder"));

        updaterHandler handler(m_dest);
        QSignalSpy starts(&handler, &updaterHandler::downloadStart);
        QSignalSpy empty(&handler, &updaterHandler::queueEmpty);
        handler.appendEntries({server.url("/a.bin"), server.url("/b.bin")});
        QCOMPARE(empty.count(), 1);
        QCOMPARE(empty.at(0).at(0).toBool(), false);

        // Stopped for good: later entries are not fetched either.
        handler.appendDownload(QUrl(server.url("/b.bin")), QStringLiteral("b.bin"));
        QTest::qWait(200);
        QCOMPARE(starts.count(), 0);
        QCOMPARE(empty.count(), 1);
        QCOMPARE(server.hits("/a.bin") + server.hits("/b.bin"), 0);
        QCOMPARE(m_log.matching("ERROR", {"downloads stopped"}).size(), 1);
    }
};

QTEST_MAIN(TestUpdaterHandler)
#include "tst_updaterhandler.moc"
