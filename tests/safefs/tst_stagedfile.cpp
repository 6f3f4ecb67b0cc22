#include "stagedfile.h"
#include "testfiles.h"

#include <QCryptographicHash>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <sys/resource.h>

namespace {

QByteArray randomBytes(qint64 size, quint32 seed)
{
    QByteArray bytes(int(size), '\0');
    QRandomGenerator(seed).fillRange(reinterpret_cast<quint32 *>(bytes.data()), bytes.size() / 4);
    return bytes;
}

QString hexOf(const QByteArray &data, QCryptographicHash::Algorithm algorithm)
{
    return QString::fromLatin1(QCryptographicHash::hash(data, algorithm).toHex());
}

// Writes `data` in pieces of random sizes, as a transfer hands it over.
void writeInPieces(StagedFile &file, const QByteArray &data, quint32 seed)
{
    QRandomGenerator generator(seed);
    for (qint64 offset = 0, piece = 0; offset < data.size(); offset += piece) {
        piece = qMin<qint64>(data.size() - offset, generator.bounded(1, 700 * 1024));
        QCOMPARE(file.write(data.constData() + offset, piece), piece);
    }
}

} // namespace

class TestStagedFile : public QObject
{
    Q_OBJECT

private slots:
    // The digests describe exactly the bytes written, whether they are
    // hashed as they come (small files) or behind the writer (past 1 MiB),
    // also after the file starts over and when a digest is read midway.
    void digestsMatchWhatWasWritten_data()
    {
        QTest::addColumn<qint64>("size");
        QTest::addColumn<bool>("sha256");
        QTest::addColumn<qint64>("restartAfter"); // -1: never
        QTest::newRow("empty") << qint64(0) << true << qint64(-1);
        QTest::newRow("one byte") << qint64(1) << false << qint64(-1);
        QTest::newRow("just below a MiB") << qint64(1024 * 1024 - 1) << true << qint64(-1);
        QTest::newRow("just above a MiB") << qint64(1024 * 1024 + 1) << true << qint64(-1);
        QTest::newRow("24 MiB, SHA-1 only") << qint64(24 * 1024 * 1024) << false << qint64(-1);
        QTest::newRow("24 MiB, both") << qint64(24 * 1024 * 1024 + 3) << true << qint64(-1);
        QTest::newRow("restart after 5 MiB") << qint64(3 * 1024 * 1024) << true << qint64(5 * 1024 * 1024);
    }
    void digestsMatchWhatWasWritten()
    {
        QFETCH(qint64, size);
        QFETCH(bool, sha256);
        QFETCH(qint64, restartAfter);
        QTemporaryDir dir;
        StagedFile file;
        file.setSha256Enabled(sha256);
        QVERIFY2(file.create(dir.path()), qPrintable(file.errorString()));
        if (restartAfter >= 0) {
            const QByteArray discarded = randomBytes(restartAfter, 7);
            writeInPieces(file, discarded, 8);
            QCOMPARE(file.sha1Hex(), hexOf(discarded, QCryptographicHash::Sha1));
            QVERIFY(file.restart());
        }
        const QByteArray data = randomBytes(size, quint32(size));
        writeInPieces(file, data.left(data.size() / 2), 1);
        QCOMPARE(file.sha1Hex(), hexOf(data.left(data.size() / 2), QCryptographicHash::Sha1));
        writeInPieces(file, data.mid(data.size() / 2), 2);
        QCOMPARE(file.writtenSize(), size);
        QCOMPARE(file.sha1Hex(), hexOf(data, QCryptographicHash::Sha1));
        QCOMPARE(file.sha256Hex(), sha256 ? hexOf(data, QCryptographicHash::Sha256) : QString());
        QVERIFY2(file.commit(QStringLiteral("placed.bin")), qPrintable(file.errorString()));
        QCOMPARE(readFile(dir.filePath(QStringLiteral("placed.bin"))), data);
    }

    // A large file destroyed while its bytes are still being hashed leaves
    // nothing behind and ends cleanly.
    void discardedWhileHashing()
    {
        QTemporaryDir dir;
        {
            StagedFile file;
            QVERIFY(file.create(dir.path()));
            writeInPieces(file, randomBytes(16 * 1024 * 1024, 3), 4);
        }
        QVERIFY(QDir(dir.path()).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot));
    }

    // Nothing is put in place over a folder, nor after a write failed (a
    // full disk; here a file size limit): what was there stays. Replacing
    // files, modes and links: tst_updatemanager.
    void refusedCommits_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("reason");
        QTest::newRow("a folder at the name") << "folder" << "it is a folder";
        QTest::newRow("a write failed") << "placed.bin" << "the file is incomplete: ";
    }
    void refusedCommits()
    {
        QFETCH(QString, name);
        QFETCH(QString, reason);
        QTemporaryDir dir;
        QVERIFY(writeFile(dir.filePath(QStringLiteral("folder/inside")), "kept"));
        StagedFile file;
        QVERIFY(file.create(dir.path()));
        QCOMPARE(file.write("new bytes"), qint64(9));
        if (name != "folder") {
            rlimit previous;
            getrlimit(RLIMIT_FSIZE, &previous);
            signal(SIGXFSZ, SIG_IGN); // the write fails instead of ending the process
            rlimit limit = previous;
            limit.rlim_cur = 16;
            setrlimit(RLIMIT_FSIZE, &limit);
            file.write(QByteArray(100, 'x'));
            setrlimit(RLIMIT_FSIZE, &previous);
            QVERIFY(file.writeFailed());
        }
        QVERIFY(!file.commit(name));
        QVERIFY2(file.errorString().contains(reason), qPrintable(file.errorString()));
        QCOMPARE(readFile(dir.filePath(QStringLiteral("folder/inside"))), QByteArray("kept"));
        QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList{"folder"});
    }
};

QTEST_MAIN(TestStagedFile)
#include "tst_stagedfile.moc"
