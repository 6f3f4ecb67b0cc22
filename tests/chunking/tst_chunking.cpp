// Content-defined chunks: boundaries that survive edits, the index format and
// its refusal of hostile input (fixtures/), and plans that rebuild a file.
#include "chunker.h"
#include "chunkindex.h"
#include "chunkplan.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QRandomGenerator>
#include <QtTest>

bool operator==(const Chunk &a, const Chunk &b)
{
    return a.offset == b.offset && a.length == b.length && a.sha256 == b.sha256;
}

namespace {

constexpr qint64 KiB = 1024;
constexpr qint64 MiB = 1024 * 1024;

QByteArray randomBytes(quint32 seed, qint64 size)
{
    QVector<quint32> words(int((size + 3) / 4));
    QRandomGenerator(seed).fillRange(words.data(), words.size());
    return QByteArray(reinterpret_cast<const char *>(words.constData()), int(size));
}

// Fed in one piece, or in random pieces of 1 byte to 300 KiB when `seed` is set.
QVector<Chunk> chunksOf(const QByteArray &data, quint32 seed = 0)
{
    Chunker chunker;
    QVector<Chunk> chunks;
    QRandomGenerator pieces(seed);
    for (qint64 at = 0; at < data.size();) {
        const qint64 piece = seed ? qMin<qint64>(data.size() - at, 1 + pieces.bounded(300 * 1024)) : data.size();
        if (!chunker.addData(data.constData() + at, piece, &chunks))
            qFatal("chunker: %s", qPrintable(chunker.errorString()));
        at += piece;
    }
    if (!chunker.finish(&chunks))
        qFatal("chunker: %s", qPrintable(chunker.errorString()));
    return chunks;
}

// Contiguous from 0 to `size`, within the bounds, digests that match.
QString wellFormed(const QVector<Chunk> &chunks, const QByteArray &data)
{
    qint64 offset = 0;
    for (int i = 0; i < chunks.size(); ++i) {
        const Chunk &c = chunks.at(i);
        const bool last = i == chunks.size() - 1;
        if (c.offset != offset || c.length > Chunker::kMaxSize || c.length < (last ? 1 : Chunker::kMinSize))
            return QStringLiteral("chunk %1 at %2 of %3 bytes").arg(i).arg(c.offset).arg(c.length);
        if (c.sha256 != QCryptographicHash::hash(data.mid(int(c.offset), int(c.length)), QCryptographicHash::Sha256))
            return QStringLiteral("chunk %1 has a wrong digest").arg(i);
        offset += c.length;
    }
    return offset == data.size() ? QString() : QStringLiteral("the chunks cover %1 bytes").arg(offset);
}

// "A20000 B4000": chunks named by a letter (their content) and a length.
QVector<Chunk> chunkList(const QString &description)
{
    QVector<Chunk> chunks;
    qint64 offset = 0;
    for (const QString &token : description.split(' ', Qt::SkipEmptyParts)) {
        const qint64 length = token.mid(1).toLongLong();
        chunks.append({offset, length, QCryptographicHash::hash(token.left(1).toLatin1(), QCryptographicHash::Sha256)});
        offset += length;
    }
    return chunks;
}

QString describe(const ChunkPlan &plan)
{
    QStringList steps;
    for (const ChunkPlan::Step &s : plan.steps())
        steps << QStringLiteral("%1%2+%3").arg(s.action == ChunkPlan::Action::Copy ? 'C' : 'F').arg(s.sourceOffset).arg(s.length);
    return steps.join(' ');
}

// "o@2097152+5 i@100+1048576 d@0+10": overwrite, insert or delete, in order.
QByteArray edited(QByteArray data, const QString &edits, quint32 seed)
{
    for (const QString &edit : edits.split(' ', Qt::SkipEmptyParts)) {
        const qint64 at = edit.section('@', 1).section('+', 0, 0).toLongLong();
        const qint64 length = edit.section('+', 1).toLongLong();
        const QByteArray fresh = randomBytes(++seed, length);
        if (edit.startsWith('o'))
            data.replace(int(at), int(length), fresh);
        else if (edit.startsWith('i'))
            data.insert(int(at), fresh);
        else
            data.remove(int(at), int(length));
    }
    return data;
}

} // namespace

class TestChunking : public QObject
{
    Q_OBJECT

private slots:
    // An edit changes the chunks it touches and no others: those before it
    // are the same, and those after it the same at shifted offsets once the
    // boundaries have met again, a few chunks on at most.
    void boundariesSurviveEdits_data()
    {
        QTest::addColumn<quint32>("seed");
        QTest::addColumn<qint64>("size");
        QTest::addColumn<QString>("kind");
        quint32 seed = 1;
        for (qint64 size : {300 * KiB, MiB + 17, 3 * MiB})
            for (const char *kind : {"insert", "delete", "overwrite"})
                for (int i = 0; i < 3; ++i, ++seed)
                    QTest::addRow("%s %lld seed %u", kind, size, seed) << seed << size << QString(kind);
    }

    void boundariesSurviveEdits()
    {
        QFETCH(quint32, seed);
        QFETCH(qint64, size);
        QFETCH(QString, kind);
        QRandomGenerator rng(seed);
        const QByteArray before = randomBytes(seed, size);
        // 1 byte to 1 MiB, each order of magnitude as likely, anywhere.
        const qint64 position = rng.bounded(quint32(size + 1));
        qint64 length = 1 + rng.bounded(quint32(1) << rng.bounded(21));
        if (kind != "insert")
            length = qMin(length, size - position);
        const QString edit = QStringLiteral("%1@%2+%3").arg(kind.at(0)).arg(position).arg(length);
        const QByteArray after = edited(before, edit, seed);
        const qint64 removed = kind == "insert" ? 0 : length;
        const qint64 inserted = kind == "delete" ? 0 : length;

        const QVector<Chunk> old = chunksOf(before);
        const QVector<Chunk> now = chunksOf(after, seed);
        QCOMPARE(wellFormed(old, before), QString());
        QCOMPARE(wellFormed(now, after), QString());
        QCOMPARE(chunksOf(after), now); // however the bytes arrive

        int unchanged = 0;
        while (unchanged < old.size() && old.at(unchanged).offset + old.at(unchanged).length <= position)
            ++unchanged;
        QVERIFY(now.size() >= unchanged);
        QCOMPARE(now.mid(0, unchanged), old.mid(0, unchanged));

        // The first new chunk past the edit that starts where an old one did.
        const qint64 shift = inserted - removed;
        QHash<qint64, int> oldStarts;
        for (int i = 0; i < old.size(); ++i)
            oldStarts.insert(old.at(i).offset, i);
        int met = unchanged;
        while (met < now.size()
               && (now.at(met).offset < position + inserted || !oldStarts.contains(now.at(met).offset - shift)))
            ++met;
        int changedAfterEdit = 0;
        for (int i = unchanged; i < met; ++i)
            changedAfterEdit += now.at(i).offset + now.at(i).length > position + inserted ? 1 : 0;
        QVERIFY2(changedAfterEdit <= 3, qPrintable(QStringLiteral("%1 chunks past the edit %2 differ").arg(changedAfterEdit).arg(edit)));
        for (int i = met, j = met < now.size() ? oldStarts.value(now.at(met).offset - shift) : 0; i < now.size(); ++i, ++j) {
            QVERIFY2(j < old.size(), qPrintable(edit));
            QCOMPARE(now.at(i).length, old.at(j).length);
            QCOMPARE(now.at(i).sha256, old.at(j).sha256);
        }
        QVERIFY2(met == now.size() || old.size() - oldStarts.value(now.at(met).offset - shift) == now.size() - met,
                 qPrintable(edit));
    }

    // The mean size on random data is pinned by boundariesAreFixedForever.
    void sizesStayWithinTheBounds_data()
    {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<qint64>("minMean");
        QTest::addColumn<qint64>("maxMean");
        // No boundary in the content: every cut is the forced one.
        QTest::newRow("zeros 1 MiB + 1") << QByteArray(int(MiB + 1), '\0') << 200 * KiB << Chunker::kMaxSize;
        QTest::newRow("shorter than the minimum") << randomBytes(5, 1000) << qint64(1000) << qint64(1000);
        QTest::newRow("empty") << QByteArray() << qint64(0) << qint64(0);
    }

    void sizesStayWithinTheBounds()
    {
        QFETCH(QByteArray, data);
        QFETCH(qint64, minMean);
        QFETCH(qint64, maxMean);
        const QVector<Chunk> chunks = chunksOf(data, 7);
        QCOMPARE(wellFormed(chunks, data), QString());
        const qint64 mean = chunks.isEmpty() ? 0 : data.size() / chunks.size();
        QVERIFY2(mean >= minMean && mean <= maxMean, qPrintable(QString::number(mean)));
        QString error;
        QBuffer device(&data);
        QVERIFY(device.open(QIODevice::ReadOnly));
        QVector<Chunk> fromDevice;
        QVERIFY2(Chunker::chunkDevice(&device, &fromDevice, &error), qPrintable(error));
        QCOMPARE(fromDevice, chunks);
    }

    // Published indexes name chunks that every later client must cut in the
    // same places: the gear table, masks and sizes are pinned by this digest
    // of the index of a fixed 4 MiB stream (73 chunks), which a separate
    // plain implementation of the cut rule and the format gave as well.
    void boundariesAreFixedForever()
    {
        QByteArray data;
        for (int i = 0; data.size() < 4 * MiB; ++i)
            data += QCryptographicHash::hash("brevlane " + QByteArray::number(i), QCryptographicHash::Sha256);
        const QByteArray index = ChunkIndex(chunksOf(data)).toBytes();
        QCOMPARE(QCryptographicHash::hash(index, QCryptographicHash::Sha256).toHex(), QByteArray("5325ba940741189b3514ad29db3324a5515d72b7ec7ac61b509292208884fac2"));
    }

    void chunkFileReportsWhy()
    {
        QVector<Chunk> chunks;
        QString error;
        QVERIFY(!Chunker::chunkFile(QStringLiteral("/nonexistent/file"), &chunks, &error));
        QVERIFY2(error.contains("cannot open '/nonexistent/file'"), qPrintable(error));
        QTemporaryFile file;
        const QByteArray data = randomBytes(3, 700 * KiB);
        QVERIFY(file.open() && file.write(data) == data.size() && file.flush());
        QVERIFY2(Chunker::chunkFile(file.fileName(), &chunks, &error), qPrintable(error));
        QCOMPARE(chunks, chunksOf(data));
    }

    void indexRoundTrip_data()
    {
        QTest::addColumn<QByteArray>("data");
        QTest::newRow("empty file") << QByteArray();
        QTest::newRow("one byte") << QByteArray("x");
        QTest::newRow("1 MiB + 5") << randomBytes(11, MiB + 5);
        QTest::newRow("zeros, max-size chunks") << QByteArray(int(3 * MiB), '\0');
    }

    void indexRoundTrip()
    {
        QFETCH(QByteArray, data);
        const ChunkIndex index(chunksOf(data));
        QCOMPARE(index.fileSize(), qint64(data.size()));
        const QByteArray bytes = index.toBytes();
        QCOMPARE(bytes.size(), ChunkIndex::kHeaderSize + ChunkIndex::kEntrySize * index.chunks().size());
        QVERIFY(bytes.size() <= ChunkIndex::maxIndexSize(data.size()));
        QVERIFY(bytes.startsWith("UPDCHNK1"));

        ChunkIndex parsed;
        QString error;
        QVERIFY2(ChunkIndex::fromBytes(bytes, &parsed, &error), qPrintable(error));
        QCOMPARE(parsed.fileSize(), index.fileSize());
        QCOMPARE(parsed.chunks(), index.chunks());
        // Every shorter or longer input is refused.
        for (int cut = 0; cut < bytes.size(); ++cut)
            QVERIFY2(!ChunkIndex::fromBytes(bytes.left(cut), &parsed, &error), qPrintable(QString::number(cut)));
        QVERIFY(!ChunkIndex::fromBytes(bytes + '\0', &parsed, &error));
        QCOMPARE(parsed.chunks(), index.chunks());
    }

    void hostileIndexes_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("reason");
        // What each known fixture must be refused for; a fixture added later
        // only has to be refused.
        const QMap<QString, QString> reasons{
            {"empty", "shorter than the header"},         {"truncated-header", "shorter than the header"},
            {"wrong-magic", "wrong magic"},               {"truncated-entries", "truncated"},
            {"count-too-large", "cannot make a file"},     {"count-too-small", "cannot make a file"},
            {"count-zero-with-size", "cannot make a file"}, {"count-at-limit-no-entries", "truncated"},
            {"size-over-limit", "above the limit"},       {"zero-length", "chunk 1 has a length of 0"},
            {"zero-length-last", "chunk 2 has a length of 0"}, {"over-long-chunk", "chunk 1 has a length of 262145"},
            {"short-middle-chunk", "chunk 1 has a length of 100"}, {"sum-mismatch", "sum to 95000 bytes"},
            {"sum-past-size", "chunk 2 ends past"},       {"trailing-bytes", "1 trailing bytes"}};
        const QStringList files = QDir(QStringLiteral(FIXTURES_DIR)).entryList({"hostile-*"}, QDir::Files, QDir::Name);
        QVERIFY(files.size() >= reasons.size());
        for (const QString &file : files) {
            const QString name = file.mid(8).chopped(4);
            QTest::newRow(qPrintable(name)) << file << reasons.value(name, QStringLiteral("invalid chunk index"));
        }
    }

    void hostileIndexes()
    {
        QFETCH(QString, file);
        QFETCH(QString, reason);
        QFile fixture(QStringLiteral(FIXTURES_DIR "/") + file);
        QVERIFY(fixture.open(QIODevice::ReadOnly));
        ChunkIndex index(chunksOf(QByteArray("kept")));
        QString error;
        QVERIFY(!ChunkIndex::fromBytes(fixture.readAll(), &index, &error));
        QVERIFY2(error.startsWith("invalid chunk index: ") && error.contains(reason), qPrintable(error));
        QCOMPARE(index.fileSize(), qint64(4)); // untouched
    }

    // Real files: the plan rebuilds the new file exactly and fetches about
    // what the edits touched.
    void planRebuildsTheNewFile_data()
    {
        QTest::addColumn<QString>("edits");
        QTest::addColumn<qint64>("maxFetch");
        QTest::addColumn<int>("maxFetchCount");
        const qint64 twoChunks = 2 * Chunker::kMaxSize;
        QTest::newRow("identical") << QString() << qint64(0) << 0;
        QTest::newRow("one byte changed") << "o@2097152+1" << twoChunks << 1;
        QTest::newRow("1 MiB inserted near the start") << "i@100000+1048576" << MiB + twoChunks << 1;
        QTest::newRow("300 KiB deleted") << "d@1048576+307200" << twoChunks << 1;
        QTest::newRow("appended") << "i@4194304+10" << Chunker::kMaxSize + 10 << 1;
        QTest::newRow("rewritten") << "o@0+4194304" << 4 * MiB << 1;
    }

    void planRebuildsTheNewFile()
    {
        QFETCH(QString, edits);
        QFETCH(qint64, maxFetch);
        QFETCH(int, maxFetchCount);
        const QByteArray before = randomBytes(42, 4 * MiB);
        const QByteArray after = edited(before, edits, 42);
        const ChunkPlan plan(ChunkIndex(chunksOf(after)), chunksOf(before));

        QByteArray rebuilt;
        ChunkPlan::Action previous = ChunkPlan::Action::Copy;
        qint64 previousEnd = -1;
        for (const ChunkPlan::Step &step : plan.steps()) {
            QCOMPARE(step.targetOffset, qint64(rebuilt.size()));
            const bool copy = step.action == ChunkPlan::Action::Copy;
            // Nothing left to merge: no two fetches in a row, no copy that goes on where the last one ended.
            QVERIFY(!rebuilt.isEmpty() || step.length > 0);
            QVERIFY(copy ? previous == ChunkPlan::Action::Fetch || previousEnd != step.sourceOffset
                         : previous == ChunkPlan::Action::Copy || rebuilt.isEmpty());
            rebuilt += (copy ? before : after).mid(int(step.sourceOffset), int(step.length));
            previous = step.action;
            previousEnd = step.sourceOffset + step.length;
        }
        QVERIFY(rebuilt == after);
        QCOMPARE(plan.fileSize(), qint64(after.size()));
        QCOMPARE(plan.fetchBytes() + plan.copyBytes(), plan.fileSize());
        QVERIFY2(plan.fetchBytes() <= maxFetch && plan.fetchCount() <= maxFetchCount,
                 qPrintable(QStringLiteral("%1 bytes in %2 ranges").arg(plan.fetchBytes()).arg(plan.fetchCount())));
    }

    void planCoalesces_data()
    {
        QTest::addColumn<QString>("now");
        QTest::addColumn<QString>("old");
        QTest::addColumn<qint64>("maxGap");
        QTest::addColumn<QString>("steps");
        const qint64 gap = ChunkPlan::kDefaultMaxGap;
        QTest::newRow("fetches join") << "X20000 Y20000" << "A20000" << gap << "F0+40000";
        QTest::newRow("contiguous copies join") << "A20000 B20000" << "A20000 B20000" << gap << "C0+40000";
        QTest::newRow("copies out of order stay apart") << "B20000 A20000" << "A20000 B20000" << gap
                                                        << "C20000+20000 C0+20000";
        QTest::newRow("small gap fetched") << "X20000 B4000 Y20000" << "A20000 B4000" << gap << "F0+44000";
        QTest::newRow("gap at the limit fetched") << "X20000 B8192 Y20000" << "A20000 B8192" << gap << "F0+48192";
        QTest::newRow("larger gap copied") << "X20000 B8193 Y20000" << "A20000 B8193" << gap
                                           << "F0+20000 C20000+8193 F28193+20000";
        QTest::newRow("gap of two copies") << "X20000 B3000 A3000 Y20000" << "A3000 B3000" << gap << "F0+46000";
        QTest::newRow("no gap before the first fetch") << "B4000 X20000" << "A20000 B4000" << gap
                                                       << "C20000+4000 F4000+20000";
        QTest::newRow("no gap after the last fetch") << "X20000 B4000" << "A20000 B4000" << gap
                                                     << "F0+20000 C20000+4000";
        QTest::newRow("gap rule off") << "X20000 B4000 Y20000" << "A20000 B4000" << qint64(0)
                                      << "F0+20000 C20000+4000 F24000+20000";
        QTest::newRow("repeats copy on from where they are")
            << "A20000 B20000 A20000 B20000" << "A20000 B20000 A20000 B20000" << gap << "C0+80000";
        QTest::newRow("repeated old chunk used twice") << "A20000 A20000" << "A20000" << gap << "C0+20000 C0+20000";
        QTest::newRow("same digest, other length: fetched") << "A20000" << "A30000" << gap << "F0+20000";
        QTest::newRow("empty new file") << "" << "A20000" << gap << "";
        QTest::newRow("nothing installed") << "A20000 B20000" << "" << gap << "F0+40000";
    }

    void planCoalesces()
    {
        QFETCH(QString, now);
        QFETCH(QString, old);
        QFETCH(qint64, maxGap);
        QFETCH(QString, steps);
        const ChunkPlan plan(chunkList(now), chunkList(old), maxGap);
        QCOMPARE(describe(plan), steps);
        qint64 fetched = 0;
        for (const ChunkPlan::Step &step : plan.steps())
            fetched += step.action == ChunkPlan::Action::Fetch ? step.length : 0;
        QCOMPARE(plan.fetchBytes(), fetched);
    }
};

QTEST_MAIN(TestChunking)
#include "tst_chunking.moc"
