// updateserver, run as its own process and spoken to over real sockets.
#include <QElapsedTimer>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include "httpexchange.h"
#include "testfiles.h"

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

using Reply = HttpReply;

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
    QProcess m_server;
    quint16 m_port = 0;
    QByteArray m_log;

    bool start(QProcess &process, quint16 &port)
    {
        process.start(UPDATESERVER_PATH, {"--root", m_root, "--port", "0"});
        if (!process.waitForStarted() || !process.waitForReadyRead(10000))
            return false;
        const auto match = QRegularExpression("^listening on http://127\\.0\\.0\\.1:(\\d+)/\n$")
                               .match(QString::fromUtf8(process.readLine()));
        port = match.captured(1).toUShort();
        return match.hasMatch();
    }

    Reply exchange(QTcpSocket &socket, const QByteArray &request)
    {
        const Reply reply = httpExchange(socket, request);
        m_log += m_server.readAllStandardError();
        return reply;
    }

    Reply send(const QByteArray &request)
    {
        const Reply reply = httpSend(m_port, request);
        m_log += m_server.readAllStandardError();
        return reply;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        QVERIFY(QDir().mkpath(m_root + "/bin") && QDir().mkpath(m_root + "/a b") && QDir().mkpath(m_dir.filePath("away")));
        QByteArray large(3 * 1024 * 1024 + 17, Qt::Uninitialized); // several read blocks
        QRandomGenerator(7).fillRange(reinterpret_cast<quint32 *>(large.data()), large.size() / 4);
        const QList<QPair<QString, QByteArray>> files = {
            {m_root + "/bin/app.bin", large}, {m_root + "/a b/c+d.txt", "plus and space\n"},
            {m_root + "/empty.dat", QByteArray()}, {m_dir.filePath("outside.txt"), "secret\n"},
            {m_dir.filePath("away/secret.txt"), "secret\n"}};
        for (const auto &file : files) {
            QFile out(file.first);
            QVERIFY(out.open(QIODevice::WriteOnly) && out.write(file.second) == file.second.size());
        }
        QVERIFY(QFile::link("../outside.txt", m_root + "/escape"));
        QVERIFY(QFile::link(m_dir.filePath("away"), m_root + "/awaydir"));
        QVERIFY(QFile::link("bin/app.bin", m_root + "/inside"));
        QVERIFY(start(m_server, m_port));
    }

    // Ends on SIGTERM with status 0.
    void cleanupTestCase()
    {
        m_server.terminate();
        QVERIFY(m_server.waitForFinished(15000));
        QCOMPARE(m_server.exitStatus(), QProcess::NormalExit);
        QCOMPARE(m_server.exitCode(), 0);
    }

    void post_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("file"); // expected bytes, when 200
        QTest::newRow("binary in subfolder") << updateForm("bin/app.bin") << 200 << "bin/app.bin";
        QTest::newRow("plus and space, as the updater encodes") << updateForm("a b/c+d.txt") << 200 << "a b/c+d.txt";
        QTest::newRow("space as + (form rule)") << QByteArray("version=&request=a+b/c%2Bd.txt") << 200 << "a b/c+d.txt";
        QTest::newRow("empty file") << updateForm("empty.dat") << 200 << "empty.dat";
        QTest::newRow("link inside root") << updateForm("inside") << 200 << "bin/app.bin";
        QTest::newRow("missing") << updateForm("bin/none.bin") << 404 << "";
        QTest::newRow("folder") << updateForm("bin") << 404 << "";
        QTest::newRow("no request field") << QByteArray("version=1") << 400 << "";
        QTest::newRow("parent after subfolder") << updateForm("bin/../../outside.txt") << 403 << "";
        QTest::newRow("absolute") << updateForm("/etc/passwd") << 403 << "";
        QTest::newRow("backslash") << updateForm("..\\outside.txt") << 403 << "";
        QTest::newRow("NUL") << QByteArray("request=bin/app.bin%00.txt") << 403 << "";
        QTest::newRow("link out of root") << updateForm("escape") << 403 << "";
        QTest::newRow("folder link out of root") << updateForm("awaydir/secret.txt") << 403 << "";
    }
    void post()
    {
        QFETCH(QByteArray, body);
        QFETCH(int, status);
        QFETCH(QString, file);
        const Reply reply = send(postRequest(body));
        QCOMPARE(reply.status, status);
        QFile expected(m_root + "/" + file);
        if (status == 200)
            QVERIFY(expected.open(QIODevice::ReadOnly) && reply.body == expected.readAll());
    }

    void get_data()
    {
        QTest::addColumn<QByteArray>("path");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::newRow("file") << QByteArray("/a%20b/c+d.txt") << 200 << QByteArray("plus and space\n");
        QTest::newRow("missing") << QByteArray("/none.txt") << 404 << QByteArray("not found\n");
        QTest::newRow("encoded parent") << QByteArray("/bin/%2e%2e/%2E%2E/outside.txt") << 403 << QByteArray("forbidden\n");
    }
    void get()
    {
        QFETCH(QByteArray, path);
        const Reply reply = send("GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
        QTEST(reply.status, "status");
        QTEST(reply.body, "body");
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
            row("resume from an offset") << method << QByteArray("bytes=1000000-") << 206 << "1000000-" + l;
            row("first and last byte given") << method << QByteArray("bytes=0-99") << 206 << "0-99";
            row("last bytes") << method << QByteArray("bytes=-100") << 206 << QString::number(size - 100) + '-' + l;
            row("end past the file cut to it") << method << "bytes=" + QByteArray::number(last - 9) + "-" + QByteArray::number(size + 500)
                                               << 206 << QString::number(last - 9) + '-' + l;
            row("two ranges") << method << QByteArray("bytes=0-9, 2000000-2000099") << 206 << "0-9,2000000-2000099";
            row("one of two past the end") << method << "bytes=5-6," + n.toLatin1() + "-" << 206 << "5-6";
            row("ranges larger than the file") << method << "bytes=0-" + l.toLatin1() + ",0-9" << 200 << "*";
            row("start at the end") << method << "bytes=" + n.toLatin1() + "-" << 416 << "";
            row("suffix of nothing") << method << QByteArray("bytes=-0") << 416 << "";
        }
        // Headers the HTTP library refuses before it reads a body.
        QTest::newRow("GET start after end") << QByteArray("GET") << QByteArray("bytes=9-2") << 416 << "";
        QTest::newRow("GET malformed") << QByteArray("GET") << QByteArray("bytes=x") << 416 << "";
        QTest::newRow("GET other unit ignored") << QByteArray("GET") << QByteArray("items=1-2") << 200 << "*";
        QTest::newRow("POST malformed") << QByteArray("POST") << QByteArray("bytes=x") << 416 << "";
    }
    void ranges()
    {
        QFETCH(QByteArray, method);
        QFETCH(QByteArray, range);
        QFETCH(int, status);
        QFETCH(QString, expected);
        const QByteArray file = readFile(m_root + "/bin/app.bin");
        const QByteArray header = "Range: " + range + "\r\n";
        const Reply reply = send(method == "GET" ? "GET /bin/app.bin HTTP/1.1\r\nHost: 127.0.0.1\r\n" + header + "\r\n"
                                                 : postRequest(updateForm("bin/app.bin"), header));
        QCOMPARE(reply.status, status);
        if (status == 416) {
            // A POST's size is unknown while its body is unread.
            QCOMPARE(reply.header("Content-Range"),
                     method == "GET" || range != "bytes=x" ? "bytes */" + QByteArray::number(file.size()) : QByteArray());
        } else if (expected == "*") {
            QVERIFY(reply.header("Content-Range").isEmpty());
            QVERIFY(reply.body == file);
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
    // comes while most of it has not been sent, and the connection ends.
    void oversizedBody_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<int>("status");
        const QByteArray head = "POST /u HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/x-www-form-urlencoded\r\n";
        QTest::newRow("200 MB announced, 1 MiB sent") << head + "Content-Length: 200000000\r\n\r\n" + QByteArray(1 << 20, 'x') << 413;
        QByteArray chunks;
        for (int i = 0; i < 8; ++i)
            chunks += "4000\r\n" + QByteArray(0x4000, 'x') + "\r\n";
        QTest::newRow("128 KiB chunked, end not sent") << head + "Transfer-Encoding: chunked\r\n\r\n" + chunks << 413;
        QTest::newRow("60 KiB form is still served") << postRequest("version=" + QByteArray(60 * 1024, 'v') + "&request=empty.dat") << 200;
    }
    void oversizedBody()
    {
        QFETCH(QByteArray, request);
        QFETCH(int, status);
        QTcpSocket socket;
        socket.connectToHost("127.0.0.1", m_port);
        QVERIFY(socket.waitForConnected(5000));
        QElapsedTimer clock;
        clock.start();
        const Reply reply = exchange(socket, request);
        QCOMPARE(reply.status, status);
        QVERIFY2(clock.elapsed() < 3000, qPrintable(QString::number(clock.elapsed())));
        if (status == 413) {
            QCOMPARE(reply.header("Connection"), QByteArray("close"));
            QVERIFY(socket.state() == QAbstractSocket::UnconnectedState || socket.waitForDisconnected(5000));
        }
    }

    // 200 connections send their request heads a byte at a time for 30 s
    // (each reopened when the server drops it) while a normal client asks for
    // a file every second, on a new connection and on one kept alive.
    void slowHeadsDoNotStarveOthers()
    {
        const int slowCount = 200;
        const auto duration = std::chrono::seconds(30);
        std::atomic<bool> done(false);
        std::atomic<int> dropped(0), opened(0);
        std::thread slow([&] {
            const QByteArray head = "GET /a%20b/c+d.txt HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: " + QByteArray(500, 's');
            struct Slow { int fd = -1; int sent = 0; };
            std::vector<Slow> clients(slowCount);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_port = htons(m_port);
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            const auto open = [&](Slow &client) {
                client.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
                client.sent = 0;
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
                    // One byte from each client every 500 ms, spread over the ticks.
                    if (!ended && (entry.revents & POLLOUT) && (tick + int(i)) % 10 == 0 && client.sent < head.size()
                        && ::send(client.fd, head.constData() + client.sent, 1, MSG_NOSIGNAL | MSG_DONTWAIT) == 1)
                        ++client.sent;
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
        kept.connectToHost("127.0.0.1", m_port);
        const bool connected = kept.waitForConnected(5000);
        QElapsedTimer clock, probe;
        clock.start();
        qint64 slowest = 0;
        int answered = 0, probes = 0;
        while (connected && clock.elapsed() < std::chrono::milliseconds(duration).count()) {
            probe.start();
            answered += send(postRequest(updateForm("a b/c+d.txt"))).body == "plus and space\n";
            answered += exchange(kept, postRequest(updateForm("a b/c+d.txt"))).body == "plus and space\n";
            probes += 2;
            slowest = std::max(slowest, probe.elapsed());
            QTest::qWait(int(std::max<qint64>(0, 1000 - probe.elapsed())));
        }
        done = true;
        slow.join();
        qInfo("%d answers, the slowest in %lld ms; %d slow connections dropped of %d opened", answered, slowest,
              dropped.load(), opened.load());
        QVERIFY(connected);
        QCOMPARE(answered, probes);
        QVERIFY2(probes >= 50, qPrintable(QString::number(probes)));
        QVERIFY2(slowest < 1000, qPrintable(QString("slowest answer %1 ms").arg(slowest)));
        // The head deadline cut every slow connection at least once.
        QVERIFY2(dropped >= slowCount, qPrintable(QString("%1 of %2 dropped").arg(dropped).arg(opened)));
    }

    void closeIsLogged()
    {
        QCOMPARE(send(postRequest(updateForm("CLOSE", "2.0+rc 1"))).status, 200);
        QTRY_VERIFY((m_log += m_server.readAllStandardError()).contains("CLOSE version=\"2.0+rc 1\" 200"));
    }

    void keepsConnectionAcrossRequests()
    {
        QTcpSocket socket;
        socket.connectToHost("127.0.0.1", m_port);
        QVERIFY(socket.waitForConnected(5000));
        for (int i = 0; i < 12; ++i) {
            const Reply reply = exchange(socket, postRequest(updateForm("a b/c+d.txt")));
            QCOMPARE(reply.status, 200);
            QCOMPARE(reply.body, QByteArray("plus and space\n"));
            QCOMPARE(socket.state(), QAbstractSocket::ConnectedState);
        }
    }

    void qtPostsAreNotHeldBack()
    {
        // Qt writes the head and the body of a POST apart; a request whose body
        // waits for a delayed acknowledgement takes at least 40 ms.
        QNetworkAccessManager manager;
        QNetworkRequest request(QUrl(QString("http://127.0.0.1:%1/u").arg(m_port)));
        request.setHeader(QNetworkRequest::ContentTypeHeader, "application/x-www-form-urlencoded");
        QElapsedTimer clock;
        clock.start();
        for (int i = 0; i < 20; ++i) {
            QScopedPointer<QNetworkReply> reply(manager.post(request, updateForm("a b/c+d.txt")));
            QSignalSpy finished(reply.data(), &QNetworkReply::finished);
            QVERIFY(finished.wait(5000));
            QCOMPARE(reply->readAll(), QByteArray("plus and space\n"));
        }
        QVERIFY2(clock.elapsed() < 600, qPrintable(QString("%1 ms for 20 requests").arg(clock.elapsed())));
    }

    void stopsOnSigint() // SIGTERM: cleanupTestCase
    {
        QProcess server;
        quint16 port = 0;
        QVERIFY(start(server, port));
        QVERIFY(::kill(static_cast<pid_t>(server.processId()), SIGINT) == 0);
        QVERIFY(server.waitForFinished(10000));
        QCOMPARE(server.exitStatus(), QProcess::NormalExit);
        QCOMPARE(server.exitCode(), 0);
    }
};

QTEST_MAIN(TestUpdateServer)
#include "tst_updateserver.moc"
