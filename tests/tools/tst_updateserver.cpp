// updateserver, run as its own process and spoken to over real sockets. What
// it must answer as nginx does (forms, refusals, ranges, oversized bodies,
// many requests on one connection, the close record) is tst_nginxconformance's.
#include <QElapsedTimer>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QRandomGenerator>
#include <QTextCodec>
#include <QtTest>

#include "httpexchange.h"
#include "testfiles.h"
#include "updateserverprocess.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

// As the updater posts it, to its default URL path.
static QByteArray postRequest(const QByteArray &body, const QByteArray &headers = QByteArray())
{
    return updatePost("/brevlane/.update2/.version", body, headers);
}

class TestUpdateServer : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QString m_root = m_dir.filePath("root");
    QScopedPointer<UpdateServerProcess> m_server;

    quint16 port() const { return m_server->port(); }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        QByteArray large(3 * 1024 * 1024 + 17, Qt::Uninitialized); // several read blocks
        QRandomGenerator(7).fillRange(reinterpret_cast<quint32 *>(large.data()), large.size() / 4);
        QVERIFY(writeFile(m_root + "/bin/app.bin", large) && writeFile(m_root + "/a b/c+d.txt", "plus and space\n"));
        QVERIFY(writeFile(m_root + "/empty.dat", QByteArray()) && writeFile(m_dir.filePath("away/secret.txt"), "secret\n"));
        QVERIFY(QFile::link(m_dir.filePath("away"), m_root + "/awaydir"));
        QVERIFY(QFile::link("bin/app.bin", m_root + "/inside"));
        m_server.reset(new UpdateServerProcess(m_root));
        QVERIFY2(m_server->isRunning(), qPrintable(m_server->errorString()));
    }

    // Ends on SIGTERM with status 0.
    void cleanupTestCase()
    {
        QVERIFY(m_server && m_server->stop());
    }

    void answers_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body"); // null: not compared
        QTest::newRow("POST link inside root") << postRequest(updateForm("inside")) << 200 << readFile(m_root + "/bin/app.bin");
        QTest::newRow("POST folder link out of root") << postRequest(updateForm("awaydir/secret.txt")) << 403 << QByteArray();
        const QByteArray form = updateForm("inside");
        QTest::newRow("POST with two Content-Length") << postRequest(form, "Content-Length: " + QByteArray::number(form.size()) + "\r\n")
                                                     << 400 << QByteArray();
        const auto get = [](const QByteArray &path) { return "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"; };
        QTest::newRow("GET file") << get("/a%20b/c+d.txt") << 200 << QByteArray("plus and space\n");
        QTest::newRow("GET missing") << get("/none.txt") << 404 << QByteArray("not found\n");
        QTest::newRow("GET encoded parent") << get("/bin/%2e%2e/%2E%2E/outside.txt") << 403 << QByteArray("forbidden\n");
        QTest::newRow("GET folder link out of root") << get("/awaydir/secret.txt") << 403 << QByteArray("forbidden\n");
    }
    void answers()
    {
        QFETCH(QByteArray, request);
        QFETCH(QByteArray, body);
        const HttpReply reply = httpSend(port(), request);
        QTEST(reply.status, "status");
        if (!body.isNull())
            QVERIFY(reply.body == body);
    }

    // Both methods, as nginx answers: one range is a 206 with Content-Range,
    // several a multipart/byteranges body, none satisfiable a 416 that names
    // the size. "expected" is the ranges served, "*" the whole file.
    void ranges_data()
    {
        QTest::addColumn<QByteArray>("method");
        QTest::addColumn<QByteArray>("range");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("expected");
        const qint64 size = 3 * 1024 * 1024 + 17, last = size - 1;
        const QString n = QString::number(size), l = QString::number(last);
        for (const QByteArray method : {"POST", "GET"}) {
            const auto row = [&method](const char *name) -> QTestData & { return QTest::newRow((method + ' ' + name).constData()); };
            row("first and last byte given") << method << QByteArray("bytes=0-99") << 206 << "0-99";
            row("end past the file cut to it") << method << "bytes=" + QByteArray::number(last - 9) + "-" + QByteArray::number(size + 500)
                                               << 206 << QString::number(last - 9) + '-' + l;
            row("one of two past the end") << method << "bytes=5-6," + n.toLatin1() + "-" << 206 << "5-6";
            row("two ranges far apart") << method << QByteArray("bytes=0-9, 2000000-2000099") << 206 << "0-9,2000000-2000099";
            row("ranges larger than the file") << method << "bytes=0-" + l.toLatin1() + ",0-9" << 200 << "*";
            QStringList parts;
            for (int i = 0; i < 17; ++i)
                parts << QString("%1-%2").arg(i * 1000).arg(i * 1000 + 9);
            row("16 ranges") << method << "bytes=" + parts.mid(0, 16).join(',').toLatin1() << 206 << parts.mid(0, 16).join(',');
            row("17 ranges: the whole file") << method << "bytes=" + parts.join(',').toLatin1() << 200 << "*";
            row("start at the end") << method << "bytes=" + n.toLatin1() + "-" << 416 << "";
            row("suffix of nothing") << method << QByteArray("bytes=-0") << 416 << "";
            row("malformed") << method << QByteArray("bytes=x") << 416 << "";
        }
        QTest::newRow("GET start after end") << QByteArray("GET") << QByteArray("bytes=9-2") << 416 << "";
    }
    void ranges()
    {
        QFETCH(QByteArray, method);
        QFETCH(QByteArray, range);
        QFETCH(int, status);
        QFETCH(QString, expected);
        const QByteArray file = readFile(m_root + "/bin/app.bin");
        const QByteArray header = "Range: " + range + "\r\n";
        const HttpReply reply = httpSend(port(), method == "GET" ? "GET /bin/app.bin HTTP/1.1\r\nHost: 127.0.0.1\r\n" + header + "\r\n"
                                                                 : postRequest(updateForm("bin/app.bin"), header));
        QCOMPARE(reply.status, status);
        if (status == 416) {
            QCOMPARE(reply.header("Content-Range"), "bytes */" + QByteArray::number(file.size()));
        } else if (expected == "*") {
            QVERIFY(reply.header("Content-Range").isEmpty() && reply.body == file);
        } else if (!expected.contains(',')) {
            const qint64 first = expected.section('-', 0, 0).toLongLong(), last = expected.section('-', 1, 1).toLongLong();
            QCOMPARE(reply.header("Content-Range"), "bytes " + expected.toLatin1() + '/' + QByteArray::number(file.size()));
            QVERIFY(reply.body == file.mid(first, last - first + 1));
        } else {
            const QString problem = checkByteRangeParts(reply, file, expected);
            QVERIFY2(problem.isEmpty(), qPrintable(problem));
        }
    }

    // A body larger than any form is refused before it is read: the answer
    // comes while most of it has not been sent (the end of the chunked body
    // never is), and the connection ends.
    void oversizedBody_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<int>("status");
        QByteArray chunks;
        for (int i = 0; i < 8; ++i)
            chunks += "4000\r\n" + QByteArray(0x4000, 'x') + "\r\n";
        QTest::newRow("128 KiB chunked, end not sent")
            << "POST /u HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/x-www-form-urlencoded\r\n"
               "Transfer-Encoding: chunked\r\n\r\n" + chunks << 413;
        QTest::newRow("128 KiB declared, 1 KiB sent")
            << postRequest(QByteArray(128 * 1024, 'v')).left(1024) << 413;
        QTest::newRow("60 KiB form is still served") << postRequest("version=" + QByteArray(60 * 1024, 'v') + "&request=empty.dat") << 200;
    }
    void oversizedBody()
    {
        QFETCH(QByteArray, request);
        QFETCH(int, status);
        QTcpSocket socket;
        socket.connectToHost("127.0.0.1", port());
        QVERIFY(socket.waitForConnected(5000));
        // Answered before the exchange gives up, well before the server's
        // own 10 s body deadline would end a wait for the body.
        const HttpReply reply = httpExchange(socket, request, 8000);
        QCOMPARE(reply.status, status);
        if (status == 413) {
            QCOMPARE(reply.header("Connection"), QByteArray("close"));
            QVERIFY(socket.state() == QAbstractSocket::UnconnectedState || socket.waitForDisconnected(5000));
        }
    }

    // Slow clients (each reopened when the server drops it) send what comes
    // at once, then a byte every 500 ms, while a normal client asks for a
    // file every second, on a new connection and on one kept alive: each of
    // its requests is answered within the generous timeout of httpExchange.
    void slowClientsDoNotStarveOthers_data()
    {
        QTest::addColumn<QByteArray>("sent");
        QTest::addColumn<QByteArray>("trickled");
        QTest::addColumn<int>("slowCount");
        QTest::addColumn<int>("seconds"); // longer than the 10 s a request may take
        QTest::newRow("heads") << QByteArray() << "GET /a%20b/c+d.txt HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: " + QByteArray(500, 's')
                               << 200 << 30;
        // More than the server's 128 workers, each body larger than the 16 KiB
        // the gate once waited for before it handed a request to a worker.
        QTest::newRow("bodies after whole heads")
            << QByteArray("POST /u HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/x-www-form-urlencoded\r\n"
                          "Content-Length: 17000\r\n\r\n")
            << "request=" + QByteArray(16992, 'x') << 150 << 14;
    }
    void slowClientsDoNotStarveOthers()
    {
        QFETCH(QByteArray, sent);
        QFETCH(QByteArray, trickled);
        QFETCH(int, slowCount);
        QFETCH(int, seconds);
        std::atomic<bool> done(false);
        std::atomic<int> dropped(0), opened(0);
        std::thread slow([&] {
            const QByteArray data = sent + trickled;
            struct Slow { int fd = -1; int sent = 0; };
            std::vector<Slow> clients(static_cast<size_t>(slowCount));
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_port = htons(port());
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            const auto open = [&](Slow &client) {
                client = {::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0), 0};
                ::connect(client.fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
                ++opened;
            };
            for (Slow &client : clients)
                open(client);
            for (int tick = 0; !done; ++tick) {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
                for (size_t i = 0; i < clients.size(); ++i) {
                    Slow &client = clients[i];
                    char byte;
                    pollfd entry{client.fd, POLLIN | POLLOUT, 0};
                    ::poll(&entry, 1, 0);
                    const bool ended = (entry.revents & (POLLERR | POLLHUP))
                                       || ((entry.revents & POLLIN) && ::recv(client.fd, &byte, 1, MSG_DONTWAIT) <= 0);
                    // What comes at once, once connected; then one byte from
                    // each client every 500 ms, spread over the ticks.
                    const int count = client.sent < sent.size() ? sent.size() - client.sent : 1;
                    if (!ended && (entry.revents & POLLOUT) && (client.sent < sent.size() || (tick + int(i)) % 10 == 0)
                        && client.sent < data.size()) {
                        const ssize_t written = ::send(client.fd, data.constData() + client.sent, size_t(count), MSG_NOSIGNAL | MSG_DONTWAIT);
                        client.sent += int(std::max<ssize_t>(written, 0));
                    }
                    if (ended) {
                        ::close(client.fd);
                        ++dropped;
                        open(client);
                    }
                }
            }
            for (Slow &client : clients)
                ::close(client.fd);
        });

        QTcpSocket kept;
        kept.connectToHost("127.0.0.1", port());
        const bool connected = kept.waitForConnected(5000);
        QElapsedTimer clock, probe;
        clock.start();
        int answered = 0, probes = 0;
        const QByteArray request = postRequest(updateForm("a b/c+d.txt"));
        // At least 20 normal requests, and for as long as the attack lasts;
        // each one must be answered within its exchange's own timeout.
        while (connected && (probes < 20 || clock.elapsed() < seconds * 1000)) {
            probe.start();
            answered += httpSend(port(), request).body == "plus and space\n";
            answered += httpExchange(kept, request).body == "plus and space\n";
            probes += 2;
            QTest::qWait(int(std::max<qint64>(0, 1000 - probe.elapsed())));
        }
        done = true;
        slow.join();
        QVERIFY(connected);
        QCOMPARE(answered, probes);
        // The request deadline cut every slow connection at least once.
        QVERIFY2(dropped >= slowCount, qPrintable(QString("%1 of %2 dropped").arg(dropped).arg(opened)));
    }

    // Qt writes the head and the body of a POST apart: each request on the
    // kept-alive connection is still answered whole. How long the body is
    // held back (a late acknowledgement) is measured by bench/qtpost-bench.
    void qtPostsWithSeparateBodiesAreAnswered()
    {
        QNetworkAccessManager manager;
        QNetworkRequest request(QUrl(QString("http://127.0.0.1:%1/u").arg(port())));
        request.setHeader(QNetworkRequest::ContentTypeHeader, "application/x-www-form-urlencoded");
        for (int i = 0; i < 20; ++i) {
            QScopedPointer<QNetworkReply> reply(manager.post(request, updateForm("a b/c+d.txt")));
            QSignalSpy finished(reply.data(), &QNetworkReply::finished);
            QVERIFY(finished.wait(5000));
            QCOMPARE(reply->readAll(), QByteArray("plus and space\n"));
        }
    }

    // A thousand ranges in one header, asked for again and again on new
    // connections, by GET and by the form, with multipart posts among them:
    // the server's memory stays flat (the HTTP library's own Range parsing
    // once grew every worker's stack, 245 MB in 1,000 requests), and in a
    // sanitizer build LeakSanitizer finds nothing when the server stops.
    void manyRangesKeepMemoryFlat()
    {
        QProcessEnvironment environment;
        environment.insert("ASAN_OPTIONS", "detect_leaks=1");
        UpdateServerProcess server(m_root, environment);
        QVERIFY2(server.isRunning(), qPrintable(server.errorString()));
        const QByteArray range = "Range: bytes=" + QByteArray("0-0,").repeated(999) + "0-0\r\n";
        const QByteArray multipart = "--zz\r\nContent-Disposition: form-data; name=\"request\"\r\n\r\nempty.dat\r\n--zz--\r\n";
        const QList<QPair<QByteArray, int>> requests = {
            {"GET /a%20b/c+d.txt HTTP/1.1\r\nHost: x\r\n" + range + "\r\n", 200},
            {postRequest(updateForm("a b/c+d.txt"), range), 200},
            {"POST /u HTTP/1.1\r\nHost: x\r\nContent-Type: multipart/form-data; boundary=zz\r\nContent-Length: "
                 + QByteArray::number(multipart.size()) + "\r\n\r\n" + multipart, 415},
        };
        for (int i = 0; i < 1500; ++i) {
            const HttpReply reply = httpSend(server.port(), requests.at(i % 3).first);
            QVERIFY2(reply.status == requests.at(i % 3).second, qPrintable(QString("request %1: %2").arg(i).arg(reply.status)));
        }
        QFile status(QString("/proc/%1/status").arg(server.processId()));
        QVERIFY(status.open(QIODevice::ReadOnly));
        const QByteArray text = status.readAll();
        const QByteArray rss = text.mid(text.indexOf("VmRSS:")).split('\n').value(0);
        const qint64 kib = rss.mid(6).trimmed().split(' ').value(0).toLongLong();
        QVERIFY2(kib > 0, rss.constData());
#ifndef __SANITIZE_ADDRESS__ // its quarantine holds freed memory on purpose
        QVERIFY2(kib < 64 * 1024, rss.constData());
#endif
        QVERIFY2(server.stop(), server.log().right(2000).constData());
        QVERIFY(!server.log().contains("LeakSanitizer"));
    }

    // The log is text: bytes that are not UTF-8 are escaped, UTF-8 is kept.
    void logEscapesBytesThatAreNotUtf8()
    {
        QCOMPARE(httpSend(port(), "GET /raw\xff\xfe\xc3\xbc.txt HTTP/1.1\r\nHost: x\r\n\r\n").status, 404);
        QCOMPARE(httpSend(port(), postRequest("request=form%FF%C0%AF%ED%A0%80%C3%BC.txt")).status, 404);
        QTRY_VERIFY(m_server->log().contains("GET \"/raw\\xff\\xfe\xc3\xbc.txt\" 404"));
        QTRY_VERIFY(m_server->log().contains("request=\"form\\xff\\xc0\\xaf\\xed\\xa0\\x80\xc3\xbc.txt\" 404"));
        const QByteArray log = m_server->log();
        QTextCodec::ConverterState state;
        QTextCodec::codecForName("UTF-8")->toUnicode(log.constData(), log.size(), &state);
        QCOMPARE(state.invalidChars, 0);
    }

    void stopsOnSigint() // SIGTERM: cleanupTestCase
    {
        QProcess server;
        server.start(UPDATESERVER_PATH, {"--root", m_root, "--port", "0"});
        QVERIFY(server.waitForReadyRead(10000)); // listening
        QVERIFY(::kill(pid_t(server.processId()), SIGINT) == 0);
        QVERIFY(server.waitForFinished(10000));
        QCOMPARE(server.exitStatus(), QProcess::NormalExit);
        QCOMPARE(server.exitCode(), 0);
    }
};

QTEST_MAIN(TestUpdateServer)
#include "tst_updateserver.moc"
