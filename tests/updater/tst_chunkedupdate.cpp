// Changed files rebuilt from their chunks, through the real programs: a
// release made by manifesttool --chunks, signed with openssl, served by
// updateserver or by a test server that misbehaves on ranges, and the real
// updater --silent. Whatever happens, the installed file is the release's,
// and only what changed goes over the wire when the chunks can be trusted.
#include "scenario.h"

#include <QRandomGenerator>
#include <QtTest>

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
    const QRegularExpressionMatch m = QRegularExpression("run finished.* (\\d+) " + name).match(QString::fromUtf8(log));
    return m.hasMatch() ? m.captured(1).toLongLong() : -1;
}

} // namespace

class TestChunkedUpdate : public QObject
{
    Q_OBJECT

    Tree m_installed, m_release;

private slots:
    // Release 1.0 installed, 2.0 published: a 6 MiB file with three small
    // edits and an insertion, and a small file below the chunk threshold.
    void initTestCase()
    {
        QByteArray changed = randomBytes(6 * 1024 * 1024, 1);
        m_installed = {{"data.pak", changed}, {"small.txt", "small 1.0"}};
        changed.replace(100000, 10, "ten bytes!");
        changed.replace(3000000, 5, "five!");
        changed.insert(5000000, randomBytes(20000, 2));
        m_release = {{"data.pak", changed}, {"small.txt", "small 2.0"}};
    }

    // Served by updateserver, the signed release's index is checked by its
    // SHA-256 and the file rebuilt with a fraction on the wire. Whatever goes
    // wrong with the chunks, the installed file is the release's: a changed
    // index, a range answered with other bytes, a range answered whole; a
    // connection dropped in a range is resumed; block hashes are only hints.
    void rebuiltOrFetchedWhole_data()
    {
        QTest::addColumn<Faults>("faults"); // none: updateserver
        QTest::addColumn<int>("savedPercent"); // at least; 0: fetched whole, nothing saved
        QTest::addColumn<int>("connections");
        QTest::newRow("updateserver, nothing wrong") << Faults() << 80 << 1;
        QTest::newRow("updateserver, 4 connections") << Faults() << 80 << 4;
        QTest::newRow("index changed on the server") << Faults{{"*.idx", Fault::WrongBytes, 100}} << 0 << 1;
        QTest::newRow("a range with other bytes") << Faults{{"data.pak", Fault::WrongRange, 1}} << 0 << 1;
        QTest::newRow("a range with other bytes, 4 connections") << Faults{{"data.pak", Fault::WrongRange, 1}} << 0 << 4;
        QTest::newRow("ranges ignored: whole answers") << Faults{{"*", Fault::NoRanges}} << 0 << 1;
        QTest::newRow("connection dropped in a range") << Faults{{"data.pak", Fault::Truncate, 0, 1}} << 50 << 1;
        QTest::newRow("connection dropped in a range, 4 connections") << Faults{{"data.pak", Fault::Truncate, 0, 1}} << 50 << 4;
        QTest::newRow("block hashes changed on the server") << Faults{{"*.blk", Fault::WrongBytes, 7}} << 50 << 1;
    }
    void rebuiltOrFetchedWhole()
    {
        QFETCH(Faults, faults);
        QFETCH(int, savedPercent);
        QFETCH(int, connections);
        Scenario s;
        Release release{m_release, "2.0", {"publisher"}};
        release.chunks = true;
        QVERIFY(s.ok() && makeKeys(s.path(), {"publisher"}) && s.install(m_installed) && s.publish(release));
        const Run run{{"--public_key", s.path("publisher.pub"), "--connections", QString::number(connections)},
                      faults.isEmpty() ? Run::UpdateServer : Run::InProcess};
        Outcome seen = s.run(faults, run);
        seen.requests.clear(); // ranges, as the chunks fall
        QStringList logged{QString(savedPercent ? "!" : "") + "not rebuilt from its chunks"};
        if (faults.value(0).kind == Fault::Truncate) // the rest of the cut range was asked for
            logged << "network error";
        const QString why = seen.mismatch(Outcome{m_release, "2.0", 0, {}, logged});
        QVERIFY2(why.isEmpty(), qPrintable(why));
        const qint64 saved = summaryFigure(seen.log, "bytes saved");
        QVERIFY2(savedPercent ? saved > m_release["data.pak"].size() * savedPercent / 100 : saved == 0, seen.log.constData());
        if (faults.isEmpty()) {
            // The index, the block hashes of the changed chunks, and the
            // changed blocks: tens of kilobytes of a 6 MiB file, asked for
            // as ranges of update requests for the file itself.
            const qint64 transferred = summaryFigure(seen.log, "bytes transferred");
            QVERIFY2(transferred > 20000 && transferred < 100000, seen.log.constData());
            QVERIFY(s.serverLog().contains("request=\"data.pak\" 206"));
        }
    }
};

QTEST_MAIN(TestChunkedUpdate)
#include "tst_chunkedupdate.moc"
