#include "httptestserver.h"
#include "updatedownloader.h"

#include <QCryptographicHash>
#include <QDomDocument>
#include <QSignalSpy>
#include <QtTest>

#include <cmath>

// Retries, give-ups and cancelling are exercised through whole update runs
// (tst_updatemanager); here: the request on the wire and the progress figures.
class TestUpdateDownloader : public QObject
{
    Q_OBJECT
private slots:
    void wireFormat_data();
    void wireFormat();
    void progressFigures_data();
    void progressFigures();
};

void TestUpdateDownloader::wireFormat_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<QByteArray>("body");
    QTest::newRow("path") << "bin/plugins/a.dll" << QByteArray("version=&request=bin/plugins/a.dll");
    QTest::newRow("plus") << "a+b.dll" << QByteArray("version=&request=a%2Bb.dll");
    QTest::newRow("reserved") << QString::fromUtf8("d é&x=y%41#.dll")
                              << QByteArray("version=&request=d%20%C3%A9%26x%3Dy%2541%23.dll");
}

// What reaches the server, byte for byte, and what a form decoder makes of it.
void TestUpdateDownloader::wireFormat()
{
    QFETCH(QString, url);
    QFETCH(QByteArray, body);
    HttpTestServer server;
    server.serveFiles({}); // 404 each time: three attempts, all alike
    UpdateDownloader downloader(server.url());
    QSignalSpy empty(&downloader, &UpdateDownloader::fileQueueEmpty);
    QDomDocument doc;
    QDomElement e = doc.createElement(QStringLiteral("file"));
    e.setAttribute(QStringLiteral("url"), url);
    downloader.addDownload(e);
    downloader.downloadNext();
    QTRY_COMPARE(empty.count(), 1);

    const auto requests = server.requests();
    QCOMPARE(int(requests.size()), 3);
    QCOMPARE(requests[0].body, body);
    QCOMPARE(requests[0].contentType, QByteArray("application/x-www-form-urlencoded"));
    QCOMPARE(QString::fromUtf8(requests[0].request), url);
}

void TestUpdateDownloader::progressFigures_data()
{
    QTest::addColumn<QString>("size"); // null: no "size" attribute
    QTest::addColumn<qint64>("total");
    QTest::addColumn<int>("percentage");
    QTest::newRow("whole file") << QStringLiteral("1000") << qint64(1000) << 100;
    QTest::newRow("no size: run total 0") << QString() << qint64(0) << 0;
    QTest::newRow("not an integer") << QStringLiteral("1.5e3") << qint64(0) << 67; // 1000 / 1500 * 100 + 0.99 = 67.66
}

void TestUpdateDownloader::progressFigures()
{
    QFETCH(QString, size);
    QFETCH(qint64, total);
    QFETCH(int, percentage);
    const QByteArray content(1000, 'z');
    HttpTestServer server;
    server.serveFiles({{"z", content}});
    UpdateDownloader downloader(server.url());
    QSignalSpy progress(&downloader, &UpdateDownloader::fileDownloadProgress);
    QSignalSpy downloaded(&downloader, &UpdateDownloader::fileDownloaded);
    QSignalSpy empty(&downloader, &UpdateDownloader::fileQueueEmpty);
    QDomDocument doc;
    QDomElement e = doc.createElement(QStringLiteral("file"));
    e.setAttribute(QStringLiteral("url"), QStringLiteral("z"));
    e.setAttribute(QStringLiteral("crc"),
                   QString::fromLatin1(QCryptographicHash::hash(content, QCryptographicHash::Sha1).toHex()));
    if (!size.isNull())
        e.setAttribute(QStringLiteral("size"), size);
    downloader.addDownload(e);
    downloader.downloadNext();
    QTRY_COMPARE(empty.count(), 1);

    QCOMPARE(downloaded.count(), 1);
    delete downloaded.at(0).at(1).value<QFile *>();
    QVERIFY(!progress.isEmpty());
    // The first report may come at 0 ms: nothing infinite or undefined follows.
    for (const QList<QVariant> &args : progress)
        QVERIFY(std::isfinite(args.at(2).toDouble()) && std::isfinite(args.at(3).toDouble()));
    QCOMPARE(progress.last().at(0).toLongLong(), qint64(1000));
    QCOMPARE(progress.last().at(1).toLongLong(), total);
    QCOMPARE(progress.last().at(4).toInt(), percentage);
}

QTEST_MAIN(TestUpdateDownloader)
#include "tst_updatedownloader.moc"
