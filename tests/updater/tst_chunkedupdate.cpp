// Changed files rebuilt from their chunks, through the real programs: a
// release made by manifesttool --chunks, signed with openssl, served by
// updateserver or by a test server that misbehaves on ranges, and the real
// updater --silent. Whatever happens, the installed file is the release's,
// and only what changed goes over the wire when the chunks can be trusted.
#include "testfiles.h"
#include "testhttpserver.h"
#include "updaterprocess.h"
#include "updateserverprocess.h"

#include <QRandomGenerator>
#include <QtTest>

#include <memory>

namespace {

QByteArray randomBytes(int size, quint32 seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator(seed).fillRange(reinterpret_cast<quint32 *>(bytes.data()), size / 4);
    return bytes;
}

// The value of a "N name" field in the run's summary record.
qint64 summaryFigure(const QByteArray &log, const QByteArray &name)
{
    const int summary = log.lastIndexOf("run finished");
    const int at = log.indexOf(" " + name, summary);
    if (summary < 0 || at < 0)
        return -1;
    const int start = log.lastIndexOf(' ', at - 1) + 1;
    return log.mid(start, at - start).toLongLong();
}

} // namespace

class TestChunkedUpdate : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QByteArray m_old, m_new;

    QString path(const QString &name) const { return m_dir.filePath(name); }
    void run(const QString &command)
    {
        QProcess sh;
        sh.setWorkingDirectory(m_dir.path());
        sh.start(QStringLiteral("sh"), {"-c", command});
        QVERIFY(sh.waitForFinished(60000) && sh.exitCode() == 0);
    }
    // A fresh client with the installed 1.0, updated by the real updater.
    int update(const QString &folder, const QString &url, QByteArray *log, int connections = 1)
    {
        [&] {
            QVERIFY(QDir().mkpath(folder + "/app") && QFile::copy(QStringLiteral(UPDATER_EXECUTABLE), folder + "/updater"));
            QVERIFY(writeFile(folder + "/app/data.pak", m_old) && writeFile(folder + "/app/small.txt", "small 1.0"));
            QVERIFY(QFile::copy(path("local.xml"), folder + "/local.xml"));
        }();
        const int status = runWithoutDisplay(folder + "/updater", {"--silent", "--local_path", folder + "/local.xml", "--distant_path",
                                                                   path("distant.xml"), "--url", url, "--dir", folder + "/app",
                                                                   "--public_key", path("publisher.pub"), "--connections",
                                                                   QString::number(connections)}, folder);
        *log = readFile(folder + "/log.txt.2") + readFile(folder + "/log.txt.1") + readFile(folder + "/log.txt");
        return status;
    }

private slots:
    // Release 1.0 installed, 2.0 published: a 6 MiB file with three small
    // edits and an insertion, and a small file below the chunk threshold.
    void initTestCase()
    {
        m_old = randomBytes(6 * 1024 * 1024, 1);
        m_new = m_old;
        m_new.replace(100000, 10, "ten bytes!");
        m_new.replace(3000000, 5, "five!");
        m_new.insert(5000000, randomBytes(20000, 2));
        QVERIFY(writeFile(path("release-1.0/data.pak"), m_old) && writeFile(path("release-1.0/small.txt"), "small 1.0"));
        QVERIFY(writeFile(path("release/data.pak"), m_new) && writeFile(path("release/small.txt"), "small 2.0"));
        const QString tool = QStringLiteral(MANIFESTTOOL_PATH);
        run(tool + " create release-1.0 -o local.xml --version 1.0");
        run(tool + " create release -o distant.xml --version 2.0 --chunks");
        run("openssl genpkey -algorithm ed25519 -out publisher.key && openssl pkey -in publisher.key -pubout -out publisher.pub"
            " && openssl pkeyutl -sign -rawin -inkey publisher.key -in distant.xml | base64 -w0 > distant.xml.sig");
    }

    // Served by updateserver, the signed release's index is checked by its
    // SHA-256 and the file rebuilt with a fraction on the wire. Whatever goes
    // wrong with the chunks, the installed file is the release's: a changed
    // index, a range answered with other bytes, a range answered whole; a
    // connection dropped in a range is resumed; block hashes are only hints.
    void rebuiltOrFetchedWhole_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<int>("savedPercent"); // at least; 0: fetched whole, nothing saved
        QTest::addColumn<int>("connections");
        QTest::newRow("updateserver, nothing wrong") << "" << 80 << 1;
        QTest::newRow("updateserver, 4 connections") << "" << 80 << 4;
        QTest::newRow("index changed on the server") << "index" << 0 << 1;
        QTest::newRow("a range with other bytes") << "corrupt range" << 0 << 1;
        QTest::newRow("a range with other bytes, 4 connections") << "corrupt range" << 0 << 4;
        QTest::newRow("ranges ignored: whole answers") << "no ranges" << 0 << 1;
        QTest::newRow("connection dropped in a range") << "drop" << 50 << 1;
        QTest::newRow("connection dropped in a range, 4 connections") << "drop" << 50 << 4;
        QTest::newRow("block hashes changed on the server") << "blocks" << 50 << 1;
    }
    void rebuiltOrFetchedWhole()
    {
        QFETCH(QString, fault);
        QFETCH(int, savedPercent);
        QFETCH(int, connections);
        const QString release = path("release");
        std::unique_ptr<UpdateServerProcess> updateserver(fault.isEmpty() ? new UpdateServerProcess(release) : nullptr);
        if (updateserver)
            QVERIFY2(updateserver->isRunning(), qPrintable(updateserver->errorString()));
        auto ranges = std::make_shared<std::atomic<int>>(0);
        TestServer server;
        server.setHandler([=](const TestServer::Received &r, httplib::Response &res) {
            if (r.request == "CLOSE")
                return;
            QByteArray body = readFile(release + '/' + QString::fromUtf8(r.request));
            if (fault == "index" && r.request.endsWith(".idx"))
                body[100] = char(body[100] ^ 1);
            if (fault == "blocks" && r.request.endsWith(".blk"))
                for (int i = 8; i < body.size(); i += 7)
                    body[i] = char(body[i] ^ 1);
            if (r.range.isEmpty() || fault == "no ranges") {
                res.set_content(body.toStdString(), "application/octet-stream");
                return;
            }
            const QList<QByteArray> bounds = r.range.mid(6).split('-'); // "bytes=FROM-TO"
            const qint64 from = bounds.value(0).toLongLong();
            const qint64 to = bounds.value(1).isEmpty() ? body.size() - 1 : bounds.value(1).toLongLong();
            QByteArray part = body.mid(int(from), int(to - from + 1));
            if (fault == "corrupt range")
                part[0] = char(part[0] ^ 0x55);
            res.status = 206;
            res.set_header("Content-Range", QStringLiteral("bytes %1-%2/%3").arg(from).arg(to).arg(body.size()).toStdString());
            if (fault == "drop" && r.request == "data.pak" && (*ranges)++ == 0)
                TestServer::closeMidway(res, part);
            else
                res.set_content(part.toStdString(), "application/octet-stream");
        });
        const QString folder = path(QStringLiteral("client %1").arg(QTest::currentDataTag()));
        QByteArray log;
        QCOMPARE(update(folder, updateserver ? updateserver->url() : server.url(), &log, connections), 0);
        QCOMPARE(readFile(folder + "/app/data.pak"), m_new);
        QCOMPARE(readFile(folder + "/app/small.txt"), QByteArray("small 2.0"));
        QCOMPARE(log.contains("not rebuilt from its chunks"), savedPercent == 0);
        const qint64 saved = summaryFigure(log, "bytes saved");
        QVERIFY2(savedPercent ? saved > m_new.size() * savedPercent / 100 : saved == 0, log.constData());
        if (fault == "drop") // the rest of the cut range was asked for
            QVERIFY(log.contains("network error"));
        if (updateserver) {
            // The index, the block hashes of the changed chunks, and the
            // changed blocks: tens of kilobytes of a 6 MiB file, asked for
            // as ranges of update requests for the file itself.
            const qint64 transferred = summaryFigure(log, "bytes transferred");
            QVERIFY2(transferred > 20000 && transferred < 100000, log.constData());
            QVERIFY(updateserver->log().contains("request=\"data.pak\" 206"));
        }
    }
};

QTEST_MAIN(TestChunkedUpdate)
#include "tst_chunkedupdate.moc"
