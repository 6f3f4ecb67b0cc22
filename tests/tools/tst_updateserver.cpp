// updateserver, run as its own process and spoken to over real sockets.
#include <QElapsedTimer>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QUrlQuery>
#include <QtTest>

#include <signal.h>

struct Reply
{
    int status = 0;
    QByteArray body;
};

// The body as the updater builds it: fully encoded, "%" and "+" included.
static QByteArray form(const QString &request, const QString &version = QString())
{
    QUrlQuery query;
    query.addQueryItem("version", QString(version).replace('%', "%25"));
    query.addQueryItem("request", QString(request).replace('%', "%25"));
    return query.query(QUrl::FullyEncoded).replace('+', "%2B").toUtf8();
}

static QByteArray postRequest(const QByteArray &body)
{
    return "POST /brevlane/.update2/.version HTTP/1.1\r\nHost: 127.0.0.1\r\n"
           "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: "
           + QByteArray::number(body.size()) + "\r\n\r\n" + body;
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
        Reply reply;
        socket.write(request);
        QByteArray head;
        while (!head.endsWith("\r\n\r\n") && (socket.bytesAvailable() || socket.waitForReadyRead(5000)))
            head += socket.read(1);
        reply.status = head.mid(9, 3).toInt();
        const qint64 size = QRegularExpression("Content-Length: (\\d+)").match(QString::fromLatin1(head)).captured(1).toLongLong();
        while (reply.body.size() < size && (socket.bytesAvailable() || socket.waitForReadyRead(5000)))
            reply.body += socket.read(size - reply.body.size());
        m_log += m_server.readAllStandardError();
        return reply;
    }

    Reply send(const QByteArray &request)
    {
        QTcpSocket socket;
        socket.connectToHost("127.0.0.1", m_port);
        return socket.waitForConnected(5000) ? exchange(socket, request) : Reply();
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
        QTest::newRow("binary in subfolder") << form("bin/app.bin") << 200 << "bin/app.bin";
        QTest::newRow("plus and space, as the updater encodes") << form("a b/c+d.txt") << 200 << "a b/c+d.txt";
        QTest::newRow("space as + (form rule)") << QByteArray("version=&request=a+b/c%2Bd.txt") << 200 << "a b/c+d.txt";
        QTest::newRow("empty file") << form("empty.dat") << 200 << "empty.dat";
        QTest::newRow("link inside root") << form("inside") << 200 << "bin/app.bin";
        QTest::newRow("missing") << form("bin/none.bin") << 404 << "";
        QTest::newRow("folder") << form("bin") << 404 << "";
        QTest::newRow("no request field") << QByteArray("version=1") << 400 << "";
        QTest::newRow("parent after subfolder") << form("bin/../../outside.txt") << 403 << "";
        QTest::newRow("absolute") << form("/etc/passwd") << 403 << "";
        QTest::newRow("backslash") << form("..\\outside.txt") << 403 << "";
        QTest::newRow("NUL") << QByteArray("request=bin/app.bin%00.txt") << 403 << "";
        QTest::newRow("link out of root") << form("escape") << 403 << "";
        QTest::newRow("folder link out of root") << form("awaydir/secret.txt") << 403 << "";
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

    void closeIsLogged()
    {
        QCOMPARE(send(postRequest(form("CLOSE", "2.0+rc 1"))).status, 200);
        QTRY_VERIFY((m_log += m_server.readAllStandardError()).contains("CLOSE version=\"2.0+rc 1\" 200"));
    }

    void keepsConnectionAcrossRequests()
    {
        QTcpSocket socket;
        socket.connectToHost("127.0.0.1", m_port);
        QVERIFY(socket.waitForConnected(5000));
        for (int i = 0; i < 12; ++i) {
            const Reply reply = exchange(socket, postRequest(form("a b/c+d.txt")));
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
            QScopedPointer<QNetworkReply> reply(manager.post(request, form("a b/c+d.txt")));
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
