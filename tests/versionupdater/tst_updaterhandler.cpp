// The download queue against a real HTTP server on 127.0.0.1.
#include "testfiles.h"
#include "testhttpserver.h"
#include "updaterhandler.h"

#include <QtTest>

class TestUpdaterHandler : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

private slots:
    void init() { QVERIFY(QDir(m_dir.path()).removeRecursively() && QDir().mkpath(m_dir.path())); }

    void queueInOrder()
    {
        TestServer server;
        server.setFile("/files/a.bin", "alpha");
        server.setFile("/files/b.bin", QByteArray(300000, 'b'));
        server.setFile("/files/c.bin", "gamma");
        const QString dest = m_dir.path() + "/dest";

        updaterHandler handler(dest);
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

        QCOMPARE(readFile(dest + "/a.bin"), QByteArray("alpha"));
        QCOMPARE(readFile(dest + "/bin/tool.exe"), QByteArray(300000, 'b'));
        QCOMPARE(readFile(dest + "/c-renamed.bin"), QByteArray("gamma"));
        QVERIFY(!progress.isEmpty());
        QCOMPARE(progress.last().at(0).toLongLong(), progress.last().at(1).toLongLong());
        // No temporary files are left behind.
        QCOMPARE(QDir(dest).entryList(QDir::Files).size(), 2);
    }

    // A failed download or a name outside the destination skips that entry,
    // leaves the old file intact and lets the rest of the queue run.
    void badEntrySkipped_data()
    {
        QTest::addColumn<QString>("path"); // "unreachable": nobody listening
        QTest::addColumn<QString>("name");
        QTest::newRow("HTTP 404") << "/missing/app.dll" << "app.dll";
        QTest::newRow("connection dropped mid-body") << "/cut/app.dll" << "app.dll";
        QTest::newRow("nobody listening") << "unreachable" << "app.dll";
        QTest::newRow("parent") << "/evil.bin" << "../outside.bin";
    }

    void badEntrySkipped()
    {
        QFETCH(QString, path);
        QFETCH(QString, name);
        TestServer server;
        server.setFile("/cut/app.dll", QByteArray(200000, 'n'));
        server.setFile("/evil.bin", "evil");
        server.setFile("/good.bin", "good");
        server.setFile("/next.bin", "next");
        const QString dest = m_dir.path() + "/dest";
        const QByteArray old("previous release, byte for byte\n");
        QVERIFY(writeFile(dest + "/app.dll", old));
        // Port 1 on loopback: refused at once.
        const QString url = path == QLatin1String("unreachable") ? QStringLiteral("http://127.0.0.1:1/app.dll")
                                                                : server.url(path);
        const bool refused = path == QLatin1String("/evil.bin");

        updaterHandler handler(dest);
        QSignalSpy starts(&handler, &updaterHandler::downloadStart);
        QSignalSpy finished(&handler, &updaterHandler::downloadFinished);
        QSignalSpy empty(&handler, &updaterHandler::queueEmpty);
        handler.appendEntries({server.url("/good.bin"), url + "=" + name, server.url("/next.bin")});

        QTRY_COMPARE(empty.count(), 1);
        QCOMPARE(empty.at(0).at(0).toBool(), false);
        QCOMPARE(readFile(dest + "/app.dll"), old);
        QCOMPARE(readFile(dest + "/good.bin"), QByteArray("good"));
        QCOMPARE(readFile(dest + "/next.bin"), QByteArray("next"));
        QCOMPARE(finished.count(), 2);
        QCOMPARE(starts.count(), refused ? 2 : 3);
        QCOMPARE(server.hits("/evil.bin"), 0);
        QVERIFY(!QFile::exists(m_dir.path() + "/outside.bin"));
        QCOMPARE(QDir(dest).entryList(QDir::Files), QStringList({"app.dll", "good.bin", "next.bin"}));
    }

    void unwritableDestinationStops()
    {
        TestServer server;
        server.setFile("/a.bin", "a");
        server.setFile("/b.bin", "b");
        // A plain file where the folder should be: no folder can be made there,
        // even for root.
        const QString dest = m_dir.path() + "/not-a-folder";
        QVERIFY(QFile(dest).open(QIODevice::WriteOnly));

        updaterHandler handler(dest);
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
    }
};

QTEST_MAIN(TestUpdaterHandler)
#include "tst_updaterhandler.moc"
