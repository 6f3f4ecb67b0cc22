#include "stagedfile.h"

#include <QCryptographicHash>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

namespace {

QByteArray randomBytes(qint64 size, quint32 seed)
{
    QByteArray bytes(int(size), Qt::Uninitialized);
    QRandomGenerator generator(seed);
    for (char &c : bytes)
        c = char(generator.generate() & 0xff);
    return bytes;
}

QString hexOf(const QByteArray &data, QCryptographicHash::Algorithm algorithm)
{
    return QString::fromLatin1(QCryptographicHash::hash(data, algorithm).toHex());
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Writes `data` in pieces of random sizes, as a transfer hands it over.
void writeInPieces(StagedFile &file, const QByteArray &data, quint32 seed)
{
    QRandomGenerator generator(seed);
    qint64 offset = 0;
    while (offset < data.size()) {
        const qint64 piece = qMin<qint64>(data.size() - offset, generator.bounded(1, 700 * 1024));
        QCOMPARE(file.write(data.constData() + offset, piece), piece);
        offset += piece;
    }
}

} // namespace

class TestStagedFile : public QObject
{
    Q_OBJECT

private slots:
    // The digests describe exactly the bytes written, whether they are
    // hashed as they come (small files) or behind the writer (large ones),
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
        QCOMPARE(readAll(dir.filePath(QStringLiteral("placed.bin"))), data);
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
        QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList());
    }

    // Putting in place: a new name, an existing file (its mode kept), a
    // folder (never replaced).
    void commitTargets()
    {
        QTemporaryDir dir;
        const QString existing = dir.filePath(QStringLiteral("tool"));
        QFile old(existing);
        QVERIFY(old.open(QIODevice::WriteOnly) && old.write("old") == 3);
        old.close();
        QVERIFY(QFile::setPermissions(existing, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("folder")));

        for (const QString &name : {QStringLiteral("new"), QStringLiteral("tool"), QStringLiteral("folder")}) {
            StagedFile file;
            QVERIFY(file.create(dir.path()));
            QCOMPARE(file.write("new bytes"), qint64(9));
            const bool placed = file.commit(name);
            QCOMPARE(placed, name != QLatin1String("folder"));
            if (placed)
                QCOMPARE(readAll(dir.filePath(name)), QByteArray("new bytes"));
            else
                QVERIFY(file.errorString().contains(QLatin1String("it is a folder")));
        }
        QVERIFY(QFileInfo(existing).permissions() & QFile::ExeOwner);
        QVERIFY(QFileInfo(dir.filePath(QStringLiteral("folder"))).isDir());
        QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 (QStringList{QStringLiteral("folder"), QStringLiteral("new"), QStringLiteral("tool")}));
    }
};

QTEST_MAIN(TestStagedFile)
#include "tst_stagedfile.moc"
