// The downloader against real HTTP(S) servers on 127.0.0.1: what goes on
// the wire, and how every way a server can misbehave ends. Retries, cancels
// and whole runs are tested through the update manager.
#include "destinationfolder.h"
#include "manifestfetch.h"
#include "nginxserver.h"
#include "testfiles.h"
#include "testhttpserver.h"
#include "updatedownloader.h"
#include "updatersettings.h"

#include <QDomDocument>
#include <QtTest>

#include <chrono>
#include <thread>

namespace {

// Waits in small steps so that a stopping server is not held up.
void pause(const TestServer &server, int ms)
{
    for (int waited = 0; waited < ms && !server.stopping(); waited += 20)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

// What a downloader reported for one queued file.
struct Outcome
{
    int downloaded = 0, gaveUp = 0;
    QList<QNetworkReply::NetworkError> codes;
    QStringList texts;
    bool ended = false; // the queue ended within the test's generous bound
};

QList<QNetworkReply::NetworkError> thrice(QNetworkReply::NetworkError code)
{
    return {code, code, code};
}

QByteArray runCommand(const QString &command)
{
    QProcess shell;
    shell.start(QStringLiteral("sh"), {"-c", command});
    shell.waitForFinished(60000);
    return shell.readAllStandardOutput();
}

} // namespace

class TestUpdateDownloader : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QTemporaryDir m_tlsDir;
    QScopedPointer<TestServer> server;
    QString m_tls = m_tlsDir.path();
    QByteArray m_file = QByteArray(300000, '\0');

    // Fetches elements with the given attributes through `fetchFrom` (the
    // update URL) and reports everything the downloader said of each, by
    // its "name"; `events` gets each signal as "signal name", in order.
    QMap<QString, Outcome> fetchAll(const QList<QMap<QString, QString>> &entries, const QString &fetchFrom,
                                    const std::function<void(UpdateDownloader &)> &configure = nullptr,
                                    QStringList *events = nullptr)
    {
        DestinationFolder destination(m_dir.path());
        UpdateDownloader downloader(fetchFrom);
        downloader.setDestination(&destination);
        downloader.setRetryDelays({0, 0});
        TransferOptions options;
        options.stallSeconds = 1;
        downloader.transport()->setOptions(options);
        if (configure)
            configure(downloader);
        QMap<QString, Outcome> outcomes;
        QStringList said;
        auto note = [&said](const char *signal, const QDomElement &e) {
            said << QString::fromLatin1(signal) + ' ' + e.attribute(QStringLiteral("name"));
            return e.attribute(QStringLiteral("name"));
        };
        connect(&downloader, &UpdateDownloader::fileDownloadStarting, this,
                [&](QDomElement e) { note("starting", e); });
        connect(&downloader, &UpdateDownloader::fileDownloaded, this, [&](QDomElement e, QFile *file) {
            Outcome &outcome = outcomes[note("downloaded", e)];
            ++outcome.downloaded;
            delete file;
        });
        connect(&downloader, &UpdateDownloader::fileCrcError, this, [&](QDomElement e, QFile *file) {
            outcomes[note("crc", e)].texts << downloader.lastFailure();
            delete file;
        });
        connect(&downloader, &UpdateDownloader::fileDownloadError, this,
                [&](QDomElement e) { ++outcomes[note("gaveUp", e)].gaveUp; });
        connect(&downloader, &UpdateDownloader::fileNetworkError, this,
                [&](QNetworkReply::NetworkError code, const QString &text, QDomElement e) {
                    Outcome &outcome = outcomes[note("network", e)];
                    outcome.codes << code;
                    outcome.texts << text;
                });
        QSignalSpy empty(&downloader, &UpdateDownloader::fileQueueEmpty);
        QDomDocument doc;
        QDomElement root = doc.appendChild(doc.createElement(QStringLiteral("UPDATE_STRUCTURE"))).toElement();
        for (const auto &attributes : entries) {
            QDomElement e = root.appendChild(doc.createElement(QStringLiteral("file"))).toElement();
            for (auto it = attributes.cbegin(); it != attributes.cend(); ++it)
                e.setAttribute(it.key(), it.value());
            downloader.addDownload(e);
        }
        downloader.downloadNext();
        const bool ended = QTest::qWaitFor([&] { return !empty.isEmpty(); }, 30000);
        for (Outcome &outcome : outcomes)
            outcome.ended = ended;
        // The staged files never stay behind in the folder.
        const QStringList left = QDir(m_dir.path()).entryList(QDir::Files | QDir::Hidden);
        [&] { QVERIFY2(left.isEmpty(), qPrintable(left.join(' '))); }();
        if (events)
            *events = said;
        return outcomes;
    }
    Outcome fetch(const QMap<QString, QString> &attributes, const QString &fetchFrom,
                  const std::function<void(UpdateDownloader &)> &configure = nullptr)
    {
        return fetchAll({attributes}, fetchFrom, configure).value(attributes.value(QStringLiteral("name")));
    }

    QMap<QString, QString> entryOf(const QByteArray &content, const QString &url = QStringLiteral("f"))
    {
        return {{"name", url.section('/', -1)}, {"url", url}, {"size", QString::number(content.size())},
                {"crc", QString::fromLatin1(QCryptographicHash::hash(content, QCryptographicHash::Sha1).toHex())}};
    }

private slots:
    void initTestCase()
    {
        for (int i = 0; i < m_file.size(); ++i)
            m_file[i] = char(i * 7 % 251);
        // A private CA and two server certificates: one for 127.0.0.1, one
        // for another name.
        const QString script = QStringLiteral(
            "set -e; cd '%1';"
            "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout ca.key -out ca.pem"
            " -days 2 -subj /CN=test-ca 2>/dev/null;"
            "for n in good:IP:127.0.0.1 wrong:DNS:elsewhere.example; do f=${n%%:*}; san=${n#*:};"
            " openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout $f.key -out $f.csr"
            " -subj /CN=server 2>/dev/null;"
            " printf 'subjectAltName=%s' $san > $f.ext;"
            " openssl x509 -req -in $f.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out $f.pem -days 2"
            " -extfile $f.ext 2>/dev/null; done; echo ok").arg(m_tls);
        QCOMPARE(runCommand(script).trimmed(), QByteArray("ok"));
    }
    void init()
    {
        server.reset(new TestServer);
    }

    void wireFormat_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<QByteArray>("body");
        QTest::newRow("path") << "bin/plugins/a.dll" << QByteArray("version=&request=bin/plugins/a.dll");
        QTest::newRow("plus") << "a+b.dll" << QByteArray("version=&request=a%2Bb.dll");
        QTest::newRow("reserved") << QString::fromUtf8("d é&x=y%41#.dll")
                                  << QByteArray("version=&request=d%20%C3%A9%26x%3Dy%2541%23.dll");
    }
    // What reaches the server, byte for byte; the body is asked for as it
    // is, never compressed.
    void wireFormat()
    {
        QFETCH(QString, url);
        const QByteArray content("payload");
        server->serveFiles({{url.toUtf8(), content}});
        const Outcome outcome = fetch(entryOf(content, url), server->url());
        QCOMPARE(outcome.downloaded, 1);
        const auto requests = server->requests();
        QCOMPARE(int(requests.size()), 1);
        QTEST(requests[0].body, "body");
        QCOMPARE(requests[0].contentType, QByteArray("application/x-www-form-urlencoded"));
        QCOMPARE(requests[0].acceptEncoding, QByteArray("identity"));
    }

    // Static hosting: a GET of the files URL joined with the "url", each
    // segment encoded on its own.
    void staticFiles()
    {
        const QString url = QString::fromUtf8("bin/a b+c%#é.dll");
        server->setFile(QString::fromUtf8("/rel/bin/a b+c%#é.dll"), m_file);
        const Outcome outcome = fetch(entryOf(m_file, url), server->url(),
                                      [this](UpdateDownloader &d) { d.setFilesUrl(server->url("/rel")); });
        QCOMPARE(outcome.downloaded, 1);
        QCOMPARE(UpdateDownloader::fileUrl("http://h/rel/", url).toEncoded(),
                 QByteArray("http://h/rel/bin/a%20b%2Bc%25%23%C3%A9.dll"));
        QVERIFY(server->requests().empty());
    }

    // A body may never grow past the file's "size": refused when announced,
    // cut at the first byte too many otherwise, never inflated.
    void boundedBodies_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<int>("downloaded");
        QTest::addColumn<QString>("reason");
        QTest::newRow("announced longer") << "announced" << 0 << "announces";
        QTest::newRow("2^50 announced") << "huge" << 0 << "announces";
        QTest::newRow("endless, no length") << "endless" << 0 << "longer than";
        QTest::newRow("gzip: the bytes as sent") << "gzip as sent" << 1 << "";
        QTest::newRow("gzip: never inflated") << "gzip inflated" << 0 << "";
    }
    void boundedBodies()
    {
        QFETCH(QString, kind);
        const QByteArray plain(1 << 20, '\0');
        const QByteArray gzip = runCommand(QStringLiteral("head -c %1 /dev/zero | gzip -1").arg(plain.size()));
        QVERIFY(gzip.size() > 100 && gzip.size() < 10000);
        const auto entry = kind.startsWith("gzip") ? entryOf(kind == "gzip as sent" ? gzip : plain) : entryOf(m_file);
        server->setHandler([=](const TestServer::Received &, httplib::Response &res) {
            if (kind == "announced") {
                res.set_content(std::string(m_file.size() + 1, 'x'), "application/octet-stream");
            } else if (kind == "huge") {
                res.set_content_provider(size_t(1) << 50, "application/octet-stream",
                                         [](size_t, size_t, httplib::DataSink &sink) {
                                             return sink.write("xxxxxxxx", 8);
                                         });
            } else if (kind == "endless") {
                res.set_chunked_content_provider("application/octet-stream", [](size_t, httplib::DataSink &sink) {
                    static const std::string block(65536, 'e');
                    return sink.write(block.data(), block.size());
                });
            } else {
                res.set_header("Content-Encoding", "gzip");
                res.set_content(gzip.toStdString(), "application/octet-stream");
            }
        });
        const Outcome outcome = fetch(entry, server->url());
        QTEST(outcome.downloaded, "downloaded");
        QFETCH(QString, reason);
        if (!reason.isEmpty()) {
            QCOMPARE(outcome.texts.size(), 3);
            QVERIFY2(outcome.texts.first().contains(reason), qPrintable(outcome.texts.first()));
            QCOMPARE(outcome.codes.first(), QNetworkReply::UnknownContentError);
        }
        QVERIFY(outcome.ended);
    }

    // Every attempt ends: a server that says nothing, stops halfway or
    // drips fails within the stall time (1 s here), three times.
    void stalls_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("never answers") << "silent";
        QTest::newRow("stops halfway") << "halfway";
        QTest::newRow("drips 5 bytes a second") << "drip";
    }
    void stalls()
    {
        QFETCH(QString, kind);
        TestServer *s = server.data();
        const QByteArray file = m_file;
        server->setHandler([=](const TestServer::Received &, httplib::Response &res) {
            if (kind == "silent") {
                pause(*s, 4000);
                return;
            }
            res.set_content_provider(file.size(), "application/octet-stream",
                                     [=](size_t offset, size_t, httplib::DataSink &sink) {
                                         if (kind == "halfway" && offset == 0)
                                             return sink.write(file.constData(), size_t(file.size() / 2));
                                         pause(*s, kind == "drip" ? 200 : 4000);
                                         return !s->stopping() && sink.write(file.constData() + offset, 1);
                                     });
        });
        const Outcome outcome = fetch(entryOf(file), server->url());
        QCOMPARE(outcome.gaveUp, 1);
        QCOMPARE(outcome.codes, thrice(QNetworkReply::TimeoutError));
        QVERIFY(outcome.ended);
    }

    // A failed attempt waits before the next, each wait as its place in
    // the list says: with waits of 0 and 60 s the second attempt follows
    // at once and the third has not come a moment later. The log text
    // carries the HTTP status.
    void retriesWait()
    {
        server->setHandler([](const TestServer::Received &, httplib::Response &res) { res.status = 500; });
        int failures = 0, askedBeforeCancel = -1;
        const Outcome outcome = fetch(entryOf(m_file), server->url(), [&](UpdateDownloader &d) {
            d.setRetryDelays({0, 60000});
            connect(&d, &UpdateDownloader::fileNetworkError, this, [&] {
                if (++failures == 2)
                    QTimer::singleShot(1500, &d, [&] {
                        askedBeforeCancel = int(server->requests().size());
                        d.cancelDownloads();
                    });
            });
        });
        QVERIFY(outcome.ended);
        QCOMPARE(askedBeforeCancel, 2);
        QCOMPARE(outcome.codes, thrice(QNetworkReply::InternalServerError).mid(1));
        QCOMPARE(outcome.texts.first(), QStringLiteral("HTTP 500 Internal Server Error"));
    }

    // After a dropped connection the rest is asked for with Range; a 206
    // is appended, a 200 starts over, a 206 from elsewhere is thrown away,
    // a 416 starts the file over at once, once (a second one counts as a
    // failed attempt).
    void resume_data()
    {
        QTest::addColumn<QString>("answer");
        QTest::addColumn<QList<QByteArray>>("ranges");
        QTest::addColumn<int>("downloaded");
        const QByteArray half = QByteArray::number(300000 / 2) + '-';
        QTest::newRow("206") << "206" << QList<QByteArray>{"", "bytes=" + half} << 1;
        QTest::newRow("Range ignored: 200") << "200" << QList<QByteArray>{"", "bytes=" + half} << 1;
        QTest::newRow("206 of another range") << "206 wrong" << QList<QByteArray>{"", "bytes=" + half, ""} << 1;
        QTest::newRow("416") << "416" << QList<QByteArray>{"", "bytes=" + half, ""} << 1;
        QTest::newRow("416, and every whole file cut") << "416 cut"
                                                       << QList<QByteArray>{"", "bytes=" + half, "", "bytes=" + half} << 0;
    }
    void resume()
    {
        QFETCH(QString, answer);
        const QByteArray file = m_file;
        auto calls = std::make_shared<std::atomic<int>>(0);
        server->setHandler([=](const TestServer::Received &r, httplib::Response &res) {
            const int call = (*calls)++;
            if (call == 0 || (answer == "416 cut" && r.range.isEmpty())) {
                TestServer::closeMidway(res, file);
            } else if (!r.range.isEmpty() && answer.startsWith("416")) {
                res.status = 416;
                res.set_header("Content-Range", QStringLiteral("bytes */%1").arg(file.size()).toStdString());
            } else if (!r.range.isEmpty() && answer != "200") {
                const int from = answer == "206 wrong" ? 10 : file.size() / 2;
                res.status = 206;
                res.set_header("Content-Range", QStringLiteral("bytes %1-%2/%3").arg(from).arg(file.size() - 1)
                                                    .arg(file.size()).toStdString());
                res.set_content(file.mid(from).toStdString(), "application/octet-stream");
            } else {
                res.set_content(file.toStdString(), "application/octet-stream");
            }
        });
        const Outcome outcome = fetch(entryOf(file), server->url());
        QTEST(outcome.downloaded, "downloaded");
        QCOMPARE(outcome.gaveUp, 1 - outcome.downloaded);
        QList<QByteArray> ranges;
        for (const auto &r : server->requests())
            ranges << r.range;
        QTEST(ranges, "ranges");
    }

    // Several files at once: each is still bounded, checked, retried and
    // resumed on its own, a failing one does not hold up the others, and
    // every attempt is announced right before what became of it.
    void parallelFiles_data()
    {
        QTest::addColumn<int>("connections");
        QTest::addColumn<QString>("fault"); // how f2 is answered
        QTest::addColumn<int>("downloaded");
        QTest::addColumn<QString>("reason"); // of f2's first failure
        QTest::newRow("one connection") << 1 << "" << 6 << "";
        // Of the right size and without "sha256": only the SHA-1 tells.
        QTest::newRow("one connection, f2 corrupt") << 1 << "corrupt" << 5 << "SHA-1 mismatch";
        QTest::newRow("one connection, f2 not its sha256") << 1 << "sha256" << 5 << "SHA-256 mismatch";
        QTest::newRow("4 connections") << 4 << "" << 6 << "";
        QTest::newRow("4 connections, f2 corrupt") << 4 << "corrupt" << 5 << "SHA-1 mismatch";
        QTest::newRow("4 connections, f2 never answers") << 4 << "silent" << 5 << "no data for 1 s";
        QTest::newRow("4 connections, f2 endless") << 4 << "endless" << 5 << "longer than";
        QTest::newRow("4 connections, f2 HTTP 500") << 4 << "500" << 5 << "HTTP 500";
        QTest::newRow("4 connections, f2 dropped and resumed") << 4 << "drop" << 6 << "";
    }
    void parallelFiles()
    {
        QFETCH(int, connections);
        QFETCH(QString, fault);
        QList<QMap<QString, QString>> entries;
        QMap<QByteArray, QByteArray> files;
        for (int i = 0; i < 6; ++i) {
            const QString name = QStringLiteral("f%1").arg(i);
            files[name.toUtf8()] = m_file.left(200000 + i);
            entries << entryOf(files[name.toUtf8()], name);
        }
        if (fault == "sha256")
            entries[2]["sha256"] = QString(64, '0');
        TestServer *s = server.data();
        auto inFlight = std::make_shared<std::atomic<int>>(0);
        auto most = std::make_shared<std::atomic<int>>(0);
        auto f2Calls = std::make_shared<std::atomic<int>>(0);
        server->setHandler([=](const TestServer::Received &r, httplib::Response &res) {
            const int now = ++*inFlight;
            for (int seen = most->load(); now > seen && !most->compare_exchange_weak(seen, now);) {
            }
            // Held until as many requests are in flight as may be, for a
            // while at most: the stall bound is 1 s.
            for (int waited = 0; waited < 600 && *inFlight < connections && !s->stopping(); waited += 10)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            const QByteArray body = files.value(r.request);
            const int call = r.request == "f2" ? (*f2Calls)++ : -1;
            if (call < 0 || fault.isEmpty() || fault == "sha256") {
                res.set_content(body.toStdString(), "application/octet-stream");
            } else if (fault == "corrupt") {
                res.set_content(QByteArray(body.size(), 'x').toStdString(), "application/octet-stream");
            } else if (fault == "silent") {
                pause(*s, 2000);
            } else if (fault == "endless") {
                res.set_chunked_content_provider("application/octet-stream", [](size_t, httplib::DataSink &sink) {
                    static const std::string block(65536, 'e');
                    return sink.write(block.data(), block.size());
                });
            } else if (fault == "500") {
                res.status = 500;
            } else if (call == 0) { // "drop"
                TestServer::closeMidway(res, body);
            } else {
                res.status = 206;
                res.set_header("Content-Range", QStringLiteral("bytes %1-%2/%3").arg(body.size() / 2).arg(body.size() - 1)
                                                    .arg(body.size()).toStdString());
                res.set_content(body.mid(body.size() / 2).toStdString(), "application/octet-stream");
            }
            --*inFlight;
        });
        QStringList events;
        const QMap<QString, Outcome> outcomes = fetchAll(entries, server->url(),
                                                         [=](UpdateDownloader &d) { d.setConnections(connections); }, &events);
        int downloaded = 0;
        for (const Outcome &outcome : outcomes)
            downloaded += outcome.downloaded;
        QTEST(downloaded, "downloaded");
        QCOMPARE(int(*most), connections);
        const Outcome f2 = outcomes.value("f2");
        QCOMPARE(f2.gaveUp, 1 - f2.downloaded);
        QFETCH(QString, reason);
        if (!reason.isEmpty())
            QVERIFY2(f2.texts.value(0).contains(reason), qPrintable(f2.texts.join(" | ")));
        if (fault == "drop") {
            QList<QByteArray> ranges;
            for (const auto &r : server->requests())
                if (r.request == "f2")
                    ranges << r.range;
            QCOMPARE(ranges, (QList<QByteArray>{"", "bytes=" + QByteArray::number(100001) + '-'}));
        }
        // Each outcome follows the start of its own attempt; a file is given
        // up right after its last failure.
        QMap<QString, int> starts;
        for (int i = 0; i < events.size(); ++i) {
            const QString kind = events[i].section(' ', 0, 0), name = events[i].section(' ', 1);
            if (kind == "starting") {
                ++starts[name];
                QVERIFY2(i + 1 < events.size() && events[i + 1].endsWith(' ' + name) && !events[i + 1].startsWith("starting"),
                         qPrintable(events.mid(i, 2).join(", ")));
            } else if (kind == "gaveUp") {
                QVERIFY2(events[i - 1] == "crc " + name || events[i - 1] == "network " + name, qPrintable(events[i - 1]));
            }
        }
        QCOMPARE(starts.value("f2"), fault.isEmpty() ? 1 : fault == "drop" ? 2 : 3);
        // What failed is never placed: the folder holds nothing (fetchAll).
        QCOMPARE(f2.downloaded, int(fault.isEmpty() || fault == "drop"));
        QCOMPARE(starts.value("f5"), 1);
    }

    // Over HTTPS, a server that speaks HTTP/2 carries files at once on one
    // connection: nginx with the deploy configuration, as a CDN would.
    void http2SharesOneConnection()
    {
        QTemporaryDir release;
        QList<QMap<QString, QString>> entries;
        for (int i = 0; i < 6; ++i) {
            const QString name = QStringLiteral("f%1").arg(i);
            QVERIFY(writeFile(release.filePath(name), m_file.left(100000 + i)));
            entries << entryOf(m_file.left(100000 + i), name);
        }
        NginxServer nginx(release.path(), 1, {m_tls + "/good.pem", m_tls + "/good.key"});
        QVERIFY2(nginx.isRunning(), qPrintable(nginx.errorString()));
        const QMap<QString, Outcome> outcomes = fetchAll(entries, nginx.url(), [&](UpdateDownloader &d) {
            d.setFilesUrl(nginx.staticUrl());
            d.setConnections(4);
            TransferOptions options = d.transport()->options();
            options.caFile = m_tls + "/ca.pem";
            d.transport()->setOptions(options);
        });
        int downloaded = 0;
        for (const Outcome &outcome : outcomes)
            downloaded += outcome.downloaded;
        QCOMPARE(downloaded, 6);
        const QList<QByteArray> lines = nginx.accessLog().trimmed().split('\n');
        QCOMPARE(lines.size(), 6);
        QSet<QByteArray> connections;
        for (const QByteArray &line : lines) {
            QVERIFY2(line.contains(" HTTP/2.0\" "), line.constData());
            connections << line.split(' ').value(1); // address:port
        }
        QCOMPARE(connections.size(), 1);
    }

    // A manifest fetch ends within its time limit, however the server drips:
    // here 1,100 bytes every 0.3 s pass the stall rule (1 KiB a second) for
    // ever. The real limit is --timeout x 10, at least 5 minutes. An
    // endless body ends at the size limit.
    void manifestFetchHasAnEnd_data()
    {
        QTest::addColumn<int>("piece"); // bytes every 0.3 s; 0: as fast as it goes
        QTest::addColumn<qint64>("timeLimitMs");
        QTest::addColumn<QString>("expected");
        QTest::newRow("drip") << 1100 << qint64(1500) << "the manifest may take at most 1.5 s";
        QTest::newRow("endless") << 0 << qint64(120000) << "larger than 134217728 bytes";
    }
    void manifestFetchHasAnEnd()
    {
        QFETCH(int, piece);
        QFETCH(qint64, timeLimitMs);
        QCOMPARE(QList<qint64>({ManifestFetch::timeLimitMs(1), ManifestFetch::timeLimitMs(30), ManifestFetch::timeLimitMs(60)}),
                 QList<qint64>({300000, 300000, 600000}));
        TestServer *s = server.data();
        server->setHandler([s, piece](const TestServer::Received &, httplib::Response &res) {
            res.set_chunked_content_provider("text/xml", [s, piece](size_t, httplib::DataSink &sink) {
                if (piece > 0)
                    pause(*s, 300);
                static const std::string block(65536, ' ');
                return !s->stopping() && sink.write(block.data(), piece > 0 ? size_t(piece) : block.size());
            });
        });
        UpdaterSettings &settings = UpdaterSettings::instance();
        settings.reset();
        settings.updateUrl = server->url();
        settings.manifestRequest = QStringLiteral("release.xml");
        settings.timeoutSeconds = 1;
        QString error;
        const QString fetched = ManifestFetch::fetch(settings, true, timeLimitMs, &error);
        settings.reset();
        QFETCH(QString, expected);
        QVERIFY2(fetched.isEmpty() && error.contains(expected), qPrintable(error));
        QCOMPARE(int(server->requests().size()), 1); // no signature fetch after it
    }

    // The time left follows each estimate, by 5 % only when it jumps, and
    // is reported 1.5 times over: estimates of 100, 200, 100 and 50 s in
    // successive progress reports are shown as 150, 157.5, 150 and 142.5 s.
    void timeLeftSmoothing()
    {
        const double estimates[] = {100, 200, 100, 50}, reported[] = {150, 157.5, 150, 142.5};
        double smoothed = -1.0;
        for (int i = 0; i < 4; ++i)
            QCOMPARE(UpdateDownloader::smoothTimeLeft(&smoothed, estimates[i]), reported[i]);
    }

    // HTTPS with the system's store plus a private CA; a certificate that
    // does not check out is never ignored.
    void https_data()
    {
        QTest::addColumn<QString>("certificate");
        QTest::addColumn<bool>("withCa");
        QTest::addColumn<int>("downloaded");
        QTest::newRow("private CA given") << "good" << true << 1;
        QTest::newRow("CA unknown") << "good" << false << 0;
        QTest::newRow("certificate for another name") << "wrong" << true << 0;
    }
    void https()
    {
        QFETCH(QString, certificate);
        QFETCH(bool, withCa);
        httplib::SSLServer tls(QString(m_tls + '/' + certificate + ".pem").toLocal8Bit().constData(),
                               QString(m_tls + '/' + certificate + ".key").toLocal8Bit().constData());
        QVERIFY(tls.is_valid());
        const QByteArray file = m_file;
        tls.Post(".*", [file](const httplib::Request &, httplib::Response &res) {
            res.set_content(file.toStdString(), "application/octet-stream");
        });
        const int port = tls.bind_to_any_port("127.0.0.1");
        std::thread thread([&tls] { tls.listen_after_bind(); });
        const Outcome outcome = fetch(entryOf(file), QStringLiteral("https://127.0.0.1:%1/update").arg(port),
                                      [&](UpdateDownloader &d) {
                                          TransferOptions options = d.transport()->options();
                                          if (withCa)
                                              options.caFile = m_tls + "/ca.pem";
                                          d.transport()->setOptions(options);
                                      });
        tls.stop();
        thread.join();
        QTEST(outcome.downloaded, "downloaded");
        if (outcome.downloaded == 0)
            QCOMPARE(outcome.codes, thrice(QNetworkReply::SslHandshakeFailedError));
    }

    // Proxies come from the environment; one that wants credentials is
    // named in the error.
    void proxies_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<int>("downloaded");
        QTest::addColumn<int>("throughProxy");
        QTest::newRow("forwarding proxy") << "forward" << 1 << 1;
        QTest::newRow("proxy wants credentials") << "407" << 0 << 3;
        QTest::newRow("no_proxy bypasses it") << "bypass" << 1 << 0;
    }
    void proxies()
    {
        QFETCH(QString, kind);
        server->serveFiles({{"f", m_file}});
        httplib::Server proxy;
        std::atomic<int> seen{0};
        const QByteArray file = m_file;
        proxy.Post(".*", [&](const httplib::Request &req, httplib::Response &res) {
            ++seen;
            if (kind == "407" || req.target.rfind("http://", 0) != 0) {
                res.status = 407;
                res.set_header("Proxy-Authenticate", "Basic realm=\"proxy\"");
            } else {
                res.set_content(file.toStdString(), "application/octet-stream");
            }
        });
        const int port = proxy.bind_to_any_port("127.0.0.1");
        std::thread thread([&proxy] { proxy.listen_after_bind(); });
        const QByteArray proxyUrl = QStringLiteral("http://127.0.0.1:%1").arg(port).toLatin1();
        qputenv("http_proxy", proxyUrl);
        if (kind == "bypass")
            qputenv("no_proxy", "127.0.0.1");
        const Outcome outcome = fetch(entryOf(m_file), server->url());
        qunsetenv("http_proxy");
        qunsetenv("no_proxy");
        proxy.stop();
        thread.join();
        QTEST(outcome.downloaded, "downloaded");
        QTEST(int(seen), "throughProxy");
        if (kind == "407") {
            QCOMPARE(outcome.codes.first(), QNetworkReply::ProxyAuthenticationRequiredError);
            QVERIFY2(outcome.texts.first().contains(QString::fromLatin1(proxyUrl)), qPrintable(outcome.texts.first()));
        }
    }
};

QTEST_MAIN(TestUpdateDownloader)
#include "tst_updatedownloader.moc"
