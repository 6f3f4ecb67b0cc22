#include "testhttpserver.h"
#include "updatedownloader.h"

#include <QDomDocument>
#include <QtTest>

#include <cmath>

// Retries, give-ups and cancelling are exercised through whole update runs
// (tst_updatemanager); here: the request on the wire and the progress figures.
class TestUpdateDownloader : public QObject
{
    Q_OBJECT

    TestServer server;

    // Downloads one file element (attributes: name, value, ...) until the queue is empty.
    void fetch(UpdateDownloader &downloader, const QStringList &attributes)
    {
        QSignalSpy empty(&downloader, &UpdateDownloader::fileQueueEmpty);
        QDomDocument doc;
        QDomElement e = doc.createElement(QStringLiteral("file"));
        for (int i = 0; i < attributes.size(); i += 2)
            e.setAttribute(attributes[i], attributes[i + 1]);
        downloader.addDownload(e);
        downloader.downloadNext();
        QTRY_COMPARE(empty.count(), 1);
    }

private slots:
    void wireFormat_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<QByteArray>("body");
        QTest::newRow("path") << "bin/plugins/a.dll" << QByteArray("version=&request=bin/plugins/a.dll");
        QTest::newRow("plus") << "a+b.dll" << QByteArray("version=&request=a%2Bb.dll");
        QTest::newRow("reserved") << QString::fromUtf8("d é&x=y%41#.dll")
                                  << QByteArray("version=&request=d%20%C3%A9%26x%3Dy%2541%23.dll");
    }
    // What reaches the server, byte for byte, and what a form decoder makes of it.
    void wireFormat()
    {
        QFETCH(QString, url);
        server.serveFiles({}); // 404 each time: three attempts, all alike
        UpdateDownloader downloader(server.url());
        const size_t before = server.requests().size();
        fetch(downloader, {"url", url});
        const auto requests = server.requests();
        QCOMPARE(requests.size(), before + 3);
        QTEST(requests[before].body, "body");
        QCOMPARE(requests[before].contentType, QByteArray("application/x-www-form-urlencoded"));
        QCOMPARE(QString::fromUtf8(requests[before].request), url);
    }

    void progressFigures_data()
    {
        QTest::addColumn<QString>("size"); // null: no "size" attribute
        QTest::addColumn<qint64>("total");
        QTest::addColumn<int>("percentage");
        QTest::newRow("whole file") << "1000" << qint64(1000) << 100;
        QTest::newRow("no size: run total 0") << QString() << qint64(0) << 0;
        QTest::newRow("not an integer") << "1.5e3" << qint64(0) << 67; // 1000 / 1500 * 100 + 0.99 = 67.66
    }
    void progressFigures()
    {
        QFETCH(QString, size);
        const QByteArray content(1000, 'z');
        server.serveFiles({{"z", content}});
        UpdateDownloader downloader(server.url());
        QSignalSpy progress(&downloader, &UpdateDownloader::fileDownloadProgress);
        QSignalSpy downloaded(&downloader, &UpdateDownloader::fileDownloaded);
        const QString crc = QCryptographicHash::hash(content, QCryptographicHash::Sha1).toHex();
        fetch(downloader, QStringList{"url", "z", "crc", crc} + (size.isNull() ? QStringList() : QStringList{"size", size}));
        QCOMPARE(downloaded.count(), 1);
        delete downloaded.at(0).at(1).value<QFile *>();
        QVERIFY(!progress.isEmpty());
        // The first report may come at 0 ms: nothing infinite or undefined follows.
        for (const QList<QVariant> &args : progress)
            QVERIFY(std::isfinite(args.at(2).toDouble()) && std::isfinite(args.at(3).toDouble()));
        QCOMPARE(progress.last().at(0).toLongLong(), qint64(1000));
        QTEST(progress.last().at(1).toLongLong(), "total");
        QTEST(progress.last().at(4).toInt(), "percentage");
    }
};

QTEST_MAIN(TestUpdateDownloader)
#include "tst_updatedownloader.moc"
