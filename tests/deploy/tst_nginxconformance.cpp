// nginx with deploy/nginx and updateserver, both serving one release, must
// answer the update protocol alike: the same statuses, byte-identical files.

#include "httpexchange.h"
#include "nginxserver.h"
#include "testfiles.h"
#include "updateserverprocess.h"

#include <QRandomGenerator>
#include <QRegularExpression>
#include <QtTest>

namespace {

const QByteArray formType = "application/x-www-form-urlencoded";

// Release files whose names test the form decoding and the path mapping.
const char *const releaseNames[] = {
    "bin/app.bin", "a b/c+d.txt", "50%.txt", "plus+sign.bin", "Ünïcødé/файл.txt", "日本語 名前.dat", "empty.dat", "q?mark.txt",
};

} // namespace

class TestNginxConformance : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QString m_root = m_dir.filePath("release");
    QScopedPointer<NginxServer> m_nginx;
    QScopedPointer<UpdateServerProcess> m_updateserver;

    struct Server
    {
        const char *name;
        quint16 port;
        QByteArray postPath, getPrefix;
    };
    QList<Server> servers() const
    {
        return {{"nginx", m_nginx->port(), NginxServer::updatePath, NginxServer::filesPrefix},
                {"updateserver", m_updateserver->port(), "/brevlane/.update2/.version", "/"}};
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        QByteArray large(1024 * 1024 + 5, Qt::Uninitialized);
        QRandomGenerator(11).fillRange(reinterpret_cast<quint32 *>(large.data()), large.size() / 4);
        for (const char *name : releaseNames) {
            const QString path = QString::fromUtf8(name);
            const QByteArray content = path == "bin/app.bin" ? large : path == "empty.dat" ? QByteArray() : "file " + path.toUtf8() + '\n';
            QVERIFY(writeFile(m_root + '/' + path, content));
        }
        QVERIFY(writeFile(m_dir.filePath("outside.txt"), "secret\n"));
        QVERIFY(QFile::link("../outside.txt", m_root + "/escape"));

        m_nginx.reset(new NginxServer(m_root));
        QVERIFY2(m_nginx->isRunning(), qPrintable(m_nginx->errorString()));
        m_updateserver.reset(new UpdateServerProcess(m_root));
        QVERIFY2(m_updateserver->isRunning(), qPrintable(m_updateserver->errorString()));
    }

    void cleanupTestCase()
    {
        if (m_updateserver)
            QVERIFY(m_updateserver->stop());
    }

    void post_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QByteArray>("type");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("file"); // expected bytes, when 200
        for (const char *name : releaseNames)
            QTest::newRow(name) << updateForm(QString::fromUtf8(name)) << formType << 200 << QString::fromUtf8(name);
        QTest::newRow("blank as +, plus as %2B") << QByteArray("version=&request=a+b/c%2Bd.txt") << formType << 200 << "a b/c+d.txt";
        QTest::newRow("stray % kept") << QByteArray("request=50%.txt") << formType << 200 << "50%.txt";
        QTest::newRow("raw UTF-8 bytes") << QString("request=Ünïcødé/файл.txt").toUtf8() << formType << 200 << "Ünïcødé/файл.txt";
        QTest::newRow("first request field wins") << QByteArray("request=empty.dat&request=bin/app.bin") << formType << 200 << "empty.dat";
        QTest::newRow("type with charset") << updateForm("50%.txt") << formType + "; charset=UTF-8" << 200 << "50%.txt";
        QTest::newRow("parent") << updateForm("../outside.txt") << formType << 403 << "";
        QTest::newRow("parent after subfolder") << updateForm("bin/../../outside.txt") << formType << 403 << "";
        QTest::newRow("absolute") << updateForm("/etc/passwd") << formType << 403 << "";
        QTest::newRow("backslash") << updateForm("..\\outside.txt") << formType << 403 << "";
        QTest::newRow("NUL") << QByteArray("request=bin/app.bin%00.txt") << formType << 403 << "";
        QTest::newRow("link out of root") << updateForm("escape") << formType << 403 << "";
        QTest::newRow("missing") << updateForm("bin/none.bin") << formType << 404 << "";
        QTest::newRow("folder") << updateForm("bin") << formType << 404 << "";
        QTest::newRow("folder with /") << updateForm("bin/") << formType << 404 << "";
        QTest::newRow("no request field") << QByteArray("version=1") << formType << 400 << "";
        QTest::newRow("empty request field") << QByteArray("version=&request=") << formType << 400 << "";
        QTest::newRow("not a form") << updateForm("50%.txt") << QByteArray("text/plain") << 415 << "";
    }
    void post()
    {
        QFETCH(QByteArray, body);
        QFETCH(QByteArray, type);
        QFETCH(int, status);
        QFETCH(QString, file);
        for (const Server &server : servers()) {
            const QByteArray request = "POST " + server.postPath + " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: " + type
                                       + "\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body;
            const HttpReply reply = httpSend(server.port, request);
            QVERIFY2(reply.status == status, qPrintable(QString("%1: %2").arg(server.name).arg(reply.status)));
            if (status == 200)
                QVERIFY2(reply.body == readFile(m_root + '/' + file), server.name);
        }
    }

    void closeIsLogged()
    {
        for (const Server &server : servers())
            QCOMPARE(httpSend(server.port, updatePost(server.postPath, updateForm("CLOSE", "2.0+rc 1"))).status, 200);
        QTRY_VERIFY(m_nginx->accessLog().contains("request=\"CLOSE\" version=\"2.0+rc 1\" 200"));
        QTRY_VERIFY(m_updateserver->log().contains("CLOSE version=\"2.0+rc 1\" 200"));
    }

    // A resumed download asks for the rest; nginx's static path answers the
    // POST as a GET would. "*" is the whole file.
    void ranges_data()
    {
        QTest::addColumn<bool>("post");
        QTest::addColumn<QByteArray>("range");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("expected");
        const QString last = QString::number(1024 * 1024 + 4);
        for (const bool post : {true, false}) {
            const auto row = [post](const char *name) -> QTestData & { return QTest::addRow("%s %s", post ? "POST" : "GET", name) << post; };
            row("rest from an offset") << QByteArray("bytes=1000-") << 206 << "1000-" + last;
            row("last bytes") << QByteArray("bytes=-10") << 206 << QString::number(1024 * 1024 - 5) + '-' + last;
            row("two ranges") << QByteArray("bytes=0-9,100-199") << 206 << "0-9,100-199";
            row("past the end") << QByteArray("bytes=2000000-") << 416 << "";
            row("other unit") << QByteArray("items=0-9") << 200 << "*";
            row("number past 63 bits") << QByteArray("bytes=0-18446744073709551615") << 416 << "";
        }
    }
    void ranges()
    {
        QFETCH(bool, post);
        QFETCH(QByteArray, range);
        QFETCH(int, status);
        QFETCH(QString, expected);
        const QByteArray file = readFile(m_root + "/bin/app.bin");
        for (const Server &server : servers()) {
            const QByteArray header = "Range: " + range + "\r\n";
            const HttpReply reply = httpSend(server.port, post ? updatePost(server.postPath, updateForm("bin/app.bin"), header)
                                                               : "GET " + server.getPrefix + "bin/app.bin HTTP/1.1\r\nHost: x\r\n" + header + "\r\n");
            QVERIFY2(reply.status == status, qPrintable(QString("%1: %2").arg(server.name).arg(reply.status)));
            const QByteArray size = '/' + QByteArray::number(file.size());
            if (status == 416)
                QCOMPARE(reply.header("Content-Range"), "bytes *" + size);
            else if (expected == "*")
                QVERIFY2(reply.body == file, server.name);
            else if (!expected.contains(','))
                QVERIFY2(reply.header("Content-Range") == "bytes " + expected.toLatin1() + size
                             && reply.body == file.mid(expected.section('-', 0, 0).toInt()), server.name);
            else
                QVERIFY2(checkByteRangeParts(reply, file, expected).isEmpty(), server.name);
        }
    }

    // Where one request ends: both servers must agree, or a request hidden
    // in the body of another reaches one of them (request smuggling). Each
    // request is followed by a GET that must be answered only when the
    // connection stays open. "then" is sent once "100 Continue" came.
    void framing_data()
    {
        QTest::addColumn<QByteArray>("head"); // after "POST <path> HTTP/1.1\r\nHost: x\r\n"
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QByteArray>("then");
        QTest::addColumn<int>("status");
        QTest::addColumn<bool>("closes");
        const QByteArray form = updateForm("50%.txt"), type = "Content-Type: " + formType + "\r\n";
        const QByteArray length = "Content-Length: " + QByteArray::number(form.size()) + "\r\n";
        const QByteArray chunked = QByteArray::number(form.size(), 16) + "\r\n" + form + "\r\n0\r\n\r\n";
        QTest::newRow("plain form") << type + length + "\r\n" << form << QByteArray() << 200 << false;
        QTest::newRow("chunked form") << type + "Transfer-Encoding: chunked\r\n\r\n" << chunked << QByteArray() << 200 << false;
        QTest::newRow("two Content-Length") << type + length + length + "\r\n" << form << QByteArray() << 400 << true;
        QTest::newRow("Content-Length list") << type + "Content-Length: " + QByteArray::number(form.size()) + ", 60\r\n\r\n"
                                             << form << QByteArray() << 400 << true;
        QTest::newRow("signed Content-Length") << type + "Content-Length: +" + QByteArray::number(form.size()) + "\r\n\r\n"
                                               << form << QByteArray() << 400 << true;
        QTest::newRow("Content-Length and chunked") << type + length + "Transfer-Encoding: chunked\r\n\r\n" << chunked
                                                    << QByteArray() << 400 << true;
        QTest::newRow("Transfer-Encoding xchunked") << type + "Transfer-Encoding: xchunked\r\n\r\n" << chunked
                                                    << QByteArray() << 501 << true;
        QTest::newRow("Transfer-Encoding twice") << type + "Transfer-Encoding: chunked\r\nTransfer-Encoding: chunked\r\n\r\n"
                                                 << chunked << QByteArray() << 400 << true;
        QTest::newRow("folded header") << type + "X-Note: a\r\n b\r\n" + length + "\r\n" << form << QByteArray() << 400 << true;
        QTest::newRow("malformed chunk") << type + "Transfer-Encoding: chunked\r\n\r\n" << "zz\r\n" + form + "\r\n0\r\n\r\n"
                                         << QByteArray() << 400 << true;
        // Answered before the head ends: nothing after it is sent.
        QTest::newRow("9.7 KB Range header") << "Range: bytes=" + QByteArray("0-0,").repeated(2430) << QByteArray()
                                             << QByteArray() << 400 << true;
        const QByteArray multipart = "--zz\r\nContent-Disposition: form-data; name=\"request\"\r\n\r\n50%.txt\r\n--zz--\r\n";
        QTest::newRow("multipart form") << "Content-Type: multipart/form-data; boundary=zz\r\nContent-Length: "
                                               + QByteArray::number(multipart.size()) + "\r\n\r\n"
                                        << multipart << QByteArray() << 415 << false;
        QTest::newRow("100-continue") << type + "Expect: 100-continue\r\n" + length + "\r\n" << QByteArray() << form << 200 << false;
    }
    void framing()
    {
        QFETCH(QByteArray, head);
        QFETCH(QByteArray, body);
        QFETCH(QByteArray, then);
        QFETCH(int, status);
        QFETCH(bool, closes);
        for (const Server &server : servers()) {
            const QByteArray next = "GET " + server.getPrefix + "50%25.txt HTTP/1.1\r\nHost: x\r\n\r\n";
            QTcpSocket socket;
            socket.connectToHost("127.0.0.1", server.port);
            QVERIFY(socket.waitForConnected(5000));
            HttpReply reply = httpExchange(socket, "POST " + server.postPath + " HTTP/1.1\r\nHost: x\r\n" + head + body
                                                       + (then.isEmpty() && head.endsWith("\r\n") ? next : QByteArray()));
            if (!then.isEmpty()) {
                QVERIFY2(reply.status == 100, qPrintable(QString("%1: %2").arg(server.name).arg(reply.status)));
                reply = httpExchange(socket, then + next);
            }
            QVERIFY2(reply.status == status, qPrintable(QString("%1: %2").arg(server.name).arg(reply.status)));
            QVERIFY2(!reply.head.toLower().contains("exception"), qPrintable(server.name + (": " + reply.head)));
            if (status == 200)
                QVERIFY2(reply.body == readFile(m_root + "/50%.txt"), server.name);
            if (closes) {
                // Nothing more is answered on the connection, and it ends.
                QByteArray rest;
                while (socket.state() == QAbstractSocket::ConnectedState && socket.waitForReadyRead(5000))
                    rest += socket.readAll();
                rest += socket.readAll();
                QVERIFY2(socket.state() != QAbstractSocket::ConnectedState, server.name);
                QVERIFY2(!rest.contains("HTTP/1."), qPrintable(server.name + (": " + rest.left(200))));
            } else {
                const HttpReply second = httpExchange(socket, QByteArray());
                QVERIFY2(second.status == 200 && second.body == readFile(m_root + "/50%.txt"), server.name);
            }
        }
    }

    // Answered while most of the body has not been sent.
    void oversizedBodyIsRefused()
    {
        for (const Server &server : servers()) {
            QTcpSocket socket;
            socket.connectToHost("127.0.0.1", server.port);
            QVERIFY(socket.waitForConnected(5000));
            // Answered before the exchange gives up: neither server reads
            // the 200 MB first.
            const HttpReply reply = httpExchange(socket, "POST " + server.postPath + " HTTP/1.1\r\nHost: x\r\nContent-Type: " + formType
                                                             + "\r\nContent-Length: 200000000\r\n\r\n" + QByteArray(256 * 1024, 'x'), 8000);
            QVERIFY2(reply.status == 413, qPrintable(QString("%1: %2").arg(server.name).arg(reply.status)));
        }
    }

    // One update run is one connection with a request per file.
    void manyRequestsOnOneConnection()
    {
        const int count = 2000;
        for (const Server &server : servers()) {
            QTcpSocket socket;
            socket.connectToHost("127.0.0.1", server.port);
            QVERIFY(socket.waitForConnected(5000));
            const quint16 clientPort = socket.localPort();
            for (int i = 0; i < count; ++i) {
                const QString name = QString::fromUtf8(releaseNames[1 + i % 3]);
                const HttpReply reply = httpExchange(socket, updatePost(server.postPath, updateForm(name)));
                QVERIFY2(reply.status == 200 && reply.body == readFile(m_root + '/' + name),
                         qPrintable(QString("%1: request %2: %3").arg(server.name).arg(i).arg(reply.status)));
                QVERIFY2(socket.state() == QAbstractSocket::ConnectedState, server.name);
            }
            // The client's port in the log tells the connection.
            const auto logged = [&] {
                const QByteArray log = QByteArray(server.name) == "nginx" ? m_nginx->accessLog() : m_updateserver->log();
                return int(log.count(" 127.0.0.1:" + QByteArray::number(clientPort) + ' '));
            };
            QTRY_COMPARE(logged(), count);
        }
    }
};

QTEST_MAIN(TestNginxConformance)
#include "tst_nginxconformance.moc"
