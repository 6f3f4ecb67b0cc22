// The file version of Windows images, read from committed fixtures built by
// scripts/make-pe-fixtures, and the refusal of damaged or hostile input.
#include "fileversion.h"
#include "peversionreader.h"

#include <QtTest>

#include <memory>

namespace {
QString fixture(const QString &name)
{
    return QStringLiteral(FIXTURES_DIR "/") + name;
}

// Reads from a heap block of exactly the given length, so that the address
// sanitizer flags any read past it. Returns the version read or "refused".
QString readExact(const QByteArray &bytes, int length)
{
    std::unique_ptr<unsigned char[]> block(new unsigned char[size_t(qMax(length, 1))]);
    memcpy(block.get(), bytes.constData(), size_t(length));
    PeVersionReader::FileVersion v{};
    if (!PeVersionReader::read(block.get(), size_t(length), &v))
        return QStringLiteral("refused");
    return QStringLiteral("%1.%2.%3.%4").arg(v[0]).arg(v[1]).arg(v[2]).arg(v[3]);
}
} // namespace

class TestPeVersionReader : public QObject
{
    Q_OBJECT

private slots:
    void knownVersions_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("version");
        // File versions differ from the product versions in the fixtures.
        QTest::newRow("PE32 dll") << "version-pe32.dll" << "65535.0.258.7";
        QTest::newRow("PE32+ dll") << "version-pe32plus.dll" << "1.2.3.4";
        QTest::newRow("PE32+ exe") << "updater.exe" << "1.2.0.0";
    }

    void knownVersions()
    {
        QFETCH(QString, file);
        QFETCH(QString, version);
        Version read;
        QVERIFY(readFileVersion(fixture(file), &read));
        QCOMPARE(read.toString(), version);
        QFile in(fixture(file));
        QVERIFY(in.open(QIODevice::ReadOnly));
        QByteArray bytes = in.readAll();
        // A cut file either still holds the whole version block or is refused;
        // it never yields another version. Readable only once the fixed file
        // information is complete.
        const int signature = bytes.indexOf(QByteArray::fromHex("bd04effe"));
        QVERIFY(signature > 0);
        for (int length = 0; length < signature + 16; ++length)
            QCOMPARE(readExact(bytes, length), QStringLiteral("refused"));
        for (int length = signature + 16; length <= bytes.size(); ++length) {
            const QString cut = readExact(bytes, length);
            if (cut != QLatin1String("refused"))
                QCOMPARE(cut, version);
        }
        QCOMPARE(readExact(bytes, bytes.size()), version);
        bytes[signature] = char(0xbc); // a damaged signature
        QCOMPARE(readExact(bytes, bytes.size()), QStringLiteral("refused"));
    }

    void refused_data()
    {
        QTest::addColumn<QString>("path");
        QTest::newRow("no version resource") << fixture("no-version.dll");
        QTest::newRow("missing file") << fixture("does-not-exist.exe");
        QTest::newRow("not an image") << fixture("../tst_peversionreader.cpp");
        QTest::newRow("folder") << QStringLiteral(FIXTURES_DIR);
        // Inputs once found by the fuzzer or built to mislead the reader.
        for (const QString &name : QDir(QStringLiteral(FIXTURES_DIR)).entryList({"hostile-*"}, QDir::Files))
            QTest::newRow(qPrintable(name)) << fixture(name);
    }

    void refused()
    {
        QFETCH(QString, path);
        Version version(7, 7, 7, 7);
        QVERIFY(!readFileVersion(path, &version));
        QCOMPARE(version, Version(7, 7, 7, 7));
    }
};

QTEST_MAIN(TestPeVersionReader)
#include "tst_peversionreader.moc"
