#include "httptestserver.h"
#include "updatedownloader.h"

#include <QCryptographicHash>
#include <QDomDocument>
#include <QtTest>

#include <cmath>

namespace {

QByteArray sha1(const QByteArray &data)
{
    return QCryptographicHash::hash(data, QCryptographicHash::Sha1).toHex();
}

// Writes down every signal of the downloader in the order of emission.
struct Recorder
{
    QStringList events;
    QList<QByteArray> contents; // of every file handed over as downloaded
    QList<int> percentages;
    QList<qint64> totals;
    bool allFinite = true;
    int queueEmpty = 0;

    explicit Recorder(UpdateDownloader &d)
    {
        auto name = [](const QDomElement &e) { return e.attribute(QStringLiteral("name")); };
        QObject::connect(&d, &UpdateDownloader::fileDownloadStarting, [=](QDomElement e, int n) {
            events << QStringLiteral("start %1 %2").arg(name(e)).arg(n);
        });
        QObject::connect(&d, &UpdateDownloader::fileDownloaded, [=](QDomElement e, QFile *f) {
            events << QStringLiteral("ok ") + name(e);
            f->open(QIODevice::ReadOnly);
            contents << f->readAll();
            delete f;
        });
        QObject::connect(&d, &UpdateDownloader::fileCrcError, [=](QDomElement e, QFile *f) {
            events << QStringLiteral("crc ") + name(e);
            delete f;
        });
        QObject::connect(&d, &UpdateDownloader::fileNetworkError,
                         [=](QNetworkReply::NetworkError, QString, QDomElement e) {
                             events << QStringLiteral("net ") + name(e);
                         });
        QObject::connect(&d, &UpdateDownloader::fileDownloadError,
                         [=](QDomElement e) { events << QStringLiteral("gave up ") + name(e); });
        QObject::connect(&d, &UpdateDownloader::fileElementError,
                         [=](QDomElement e) { events << QStringLiteral("element ") + name(e); });
        QObject::connect(&d, &UpdateDownloader::fileQueueEmpty, [=] {
            events << QStringLiteral("empty");
            ++queueEmpty;
        });
        QObject::connect(&d, &UpdateDownloader::fileDownloadProgress,
                         [=](qint64, qint64 total, double speed, double left, int percent) {
                             totals << total;
                             percentages << percent;
                             allFinite = allFinite && std::isfinite(speed) && std::isfinite(left);
                         });
    }
};

} // namespace

class TestUpdateDownloader : public QObject
{
    Q_OBJECT

    QDomDocument doc;

    QDomElement fileElement(const QString &name, const QByteArray &content,
                            const QString &size = QStringLiteral("auto"))
    {
        QDomElement e = doc.createElement(QStringLiteral("file"));
        e.setAttribute(QStringLiteral("name"), name);
        e.setAttribute(QStringLiteral("url"), name);
        e.setAttribute(QStringLiteral("crc"), QString::fromLatin1(sha1(content)));
        if (size == QLatin1String("auto"))
            e.setAttribute(QStringLiteral("size"), QString::number(content.size()));
        else if (!size.isEmpty())
            e.setAttribute(QStringLiteral("size"), size);
        return e;
    }

private slots:
    void wireFormat_data();
    void wireFormat();
    void fetchesQueueInOrder();
    void retries_data();
    void retries();
    void sizeEdgeCases_data();
    void sizeEdgeCases();
    void emptyQueueNullElementAndCancel();
};

void TestUpdateDownloader::wireFormat_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<QByteArray>("body");
    QTest::newRow("path") << "bin/plugins/a.dll" << QByteArray("version=&request=bin/plugins/a.dll");
    QTest::newRow("plus") << "a+b.dll" << QByteArray("version=&request=a%2Bb.dll");
    QTest::newRow("reserved")
            << QString::fromUtf8("d é&x=y%41#.dll")
            << QByteArray("version=&request=d%20%C3%A9%26x%3Dy%2541%23.dll");
}

// What reaches the server, byte for byte, and what a form decoder makes of it.
void TestUpdateDownloader::wireFormat()
{
    QFETCH(QString, url);
    QFETCH(QByteArray, body);
    HttpTestServer server;
    server.serveFiles({});
    UpdateDownloader downloader(server.url());
    Recorder rec(downloader);
    QDomElement e = fileElement(QStringLiteral("x"), "x");
    e.setAttribute(QStringLiteral("url"), url);
    downloader.addDownload(e);
    downloader.downloadNext();
    QTRY_COMPARE(rec.queueEmpty, 1);

    const auto requests = server.requests();
    QCOMPARE(int(requests.size()), 3); // 404 each time
    QCOMPARE(requests[0].body, body);
    QCOMPARE(requests[0].contentType, QByteArray("application/x-www-form-urlencoded"));
    QCOMPARE(QString::fromUtf8(requests[0].request), url);
    QCOMPARE(requests[0].version, QByteArray());
}

void TestUpdateDownloader::fetchesQueueInOrder()
{
    HttpTestServer server;
    const QByteArray a(100000, 'a'), b("bee");
    server.serveFiles({{"a.dll", a}, {"b.dll", b}});
    UpdateDownloader downloader(server.url());
    Recorder rec(downloader);
    downloader.addDownload(fileElement(QStringLiteral("a.dll"), a));
    downloader.addDownload(fileElement(QStringLiteral("b.dll"), b));
    downloader.downloadNext();
    QTRY_COMPARE(rec.queueEmpty, 1);

    QCOMPARE(rec.events, QStringList({"start a.dll 1", "ok a.dll", "start b.dll 0", "ok b.dll", "empty"}));
    QCOMPARE(rec.contents, QList<QByteArray>({a, b}));
    QVERIFY(rec.totals.contains(100000));
    QCOMPARE(rec.totals.last(), qint64(3));
    QCOMPARE(rec.percentages.last(), 100);
    QVERIFY(rec.allFinite);
}

enum Failure { WrongBody, Status500, Dropped };
Q_DECLARE_METATYPE(Failure)

void TestUpdateDownloader::retries_data()
{
    QTest::addColumn<Failure>("failure");
    QTest::addColumn<int>("failures"); // failed answers for a.dll before the right one
    QTest::addColumn<QStringList>("events");
    const QStringList tail{"start b.dll 0", "ok b.dll", "empty"};
    QTest::newRow("crc never matches")
            << WrongBody << 99
            << QStringList{"start a.dll 1", "crc a.dll", "start a.dll 1", "crc a.dll",
                           "start a.dll 1", "crc a.dll", "gave up a.dll"} + tail;
    QTest::newRow("crc once") << WrongBody << 1
                              << QStringList{"start a.dll 1", "crc a.dll", "start a.dll 1", "ok a.dll"} + tail;
    QTest::newRow("500 once") << Status500 << 1
                              << QStringList{"start a.dll 1", "net a.dll", "start a.dll 1", "ok a.dll"} + tail;
    QTest::newRow("dropped twice")
            << Dropped << 2
            << QStringList{"start a.dll 1", "net a.dll", "start a.dll 1", "net a.dll", "start a.dll 1",
                           "ok a.dll"} + tail;
}

void TestUpdateDownloader::retries()
{
    QFETCH(Failure, failure);
    QFETCH(int, failures);
    QFETCH(QStringList, events);
    const QByteArray a(5000, 'a'), b("bee");
    HttpTestServer server;
    std::atomic<int> left{failures};
    server.setHandler([&](const HttpTestServer::Received &r, httplib::Response &res) {
        const QByteArray body = r.request == "a.dll" ? a : b;
        if (r.request == "a.dll" && left-- > 0) {
            if (failure == WrongBody)
                res.set_content(QByteArray(body).replace('a', 'x').toStdString(), "text/plain");
            else if (failure == Status500)
                res.status = 500;
            else
                HttpTestServer::closeMidway(res, body);
            return;
        }
        res.set_content(body.toStdString(), "application/octet-stream");
    });
    UpdateDownloader downloader(server.url());
    Recorder rec(downloader);
    downloader.addDownload(fileElement(QStringLiteral("a.dll"), a));
    downloader.addDownload(fileElement(QStringLiteral("b.dll"), b));
    downloader.downloadNext();
    QTRY_COMPARE(rec.queueEmpty, 1);

    QCOMPARE(rec.events, events);
    // The retry goes out before the next queued file.
    QList<QByteArray> asked;
    for (int i = 0; i <= qMin(failures, 2); ++i)
        asked << "a.dll";
    asked << "b.dll";
    QCOMPARE(server.requestNames(), asked);
    // A file given up keeps its size in the run total.
    QCOMPARE(rec.percentages.last() == 100, failures < 3);
    QVERIFY(rec.allFinite);
}

void TestUpdateDownloader::sizeEdgeCases_data()
{
    QTest::addColumn<QString>("size");
    QTest::addColumn<int>("percentage");
    QTest::newRow("no size: run total 0") << QString() << 0;
    QTest::newRow("not an integer") << QStringLiteral("1.5e3") << 1; // 10 / 1500 * 100 + 0.99
}

void TestUpdateDownloader::sizeEdgeCases()
{
    QFETCH(QString, size);
    QFETCH(int, percentage);
    const QByteArray content(10, 'z');
    HttpTestServer server;
    server.serveFiles({{"z", content}});
    UpdateDownloader downloader(server.url());
    Recorder rec(downloader);
    downloader.addDownload(fileElement(QStringLiteral("z"), content, size));
    downloader.downloadNext();
    QTRY_COMPARE(rec.queueEmpty, 1);

    QCOMPARE(rec.events, QStringList({"start z 0", "ok z", "empty"}));
    QVERIFY(!rec.totals.isEmpty());
    QCOMPARE(rec.totals.last(), qint64(0));
    QCOMPARE(rec.percentages.last(), percentage);
    QVERIFY(rec.allFinite);
}

void TestUpdateDownloader::emptyQueueNullElementAndCancel()
{
    HttpTestServer server;
    const QByteArray a("aaa"), b("bbb");
    server.serveFiles({{"a", a}, {"b", b}});
    UpdateDownloader downloader(server.url());
    Recorder rec(downloader);

    // Nothing queued: reported at once, nothing posted.
    downloader.addDownload(QDomElement());
    downloader.downloadNext();
    QCOMPARE(rec.events, QStringList({"element ", "empty"}));

    // A cancel during a transfer lets it finish, then drops the queue.
    rec.events.clear();
    QObject::connect(&downloader, &UpdateDownloader::fileDownloadStarting, &downloader,
                     &UpdateDownloader::cancelDownloads);
    downloader.addDownload(fileElement(QStringLiteral("a"), a));
    downloader.addDownload(fileElement(QStringLiteral("b"), b));
    downloader.downloadNext();
    QTRY_COMPARE(rec.queueEmpty, 2);
    QCOMPARE(rec.events, QStringList({"start a 1", "ok a", "empty"}));
    QCOMPARE(server.requestNames(), QList<QByteArray>{"a"});
}

QTEST_MAIN(TestUpdateDownloader)
#include "tst_updatedownloader.moc"
