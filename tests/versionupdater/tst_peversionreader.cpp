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

QByteArray fixtureBytes(const QString &name)
{
    QFile file(fixture(name));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Reads from a heap block of exactly the given length, so that the address
// sanitizer flags any read past it.
bool readExact(const QByteArray &bytes, int length, PeVersionReader::FileVersion *version)
{
    std::unique_ptr<unsigned char[]> block(new unsigned char[size_t(qMax(length, 1))]);
    memcpy(block.get(), bytes.constData(), size_t(length));
    return PeVersionReader::read(block.get(), size_t(length), version);
}
} // namespace

class TestPeVersionReader : public QObject
{
    Q_OBJECT

private slots:
    void knownVersions_data();
    void knownVersions();
    void refused_data();
    void refused();
    void everyTruncation_data();
    void everyTruncation();
    void damagedSignature();
};

void TestPeVersionReader::knownVersions_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("version");
    // File versions differ from the product versions in the fixtures.
    QTest::newRow("PE32 dll") << "version-pe32.dll" << "65535.0.258.7";
    QTest::newRow("PE32+ dll") << "version-pe32plus.dll" << "1.2.3.4";
    QTest::newRow("PE32+ exe") << "updater.exe" << "1.2.0.0";
}

void TestPeVersionReader::knownVersions()
{
    QFETCH(QString, file);
    QFETCH(QString, version);
    Version read;
    QVERIFY(readFileVersion(fixture(file), &read));
    QCOMPARE(read.toString(), version);
}

void TestPeVersionReader::refused_data()
{
    QTest::addColumn<QString>("path");
    QTest::newRow("no version resource") << fixture("no-version.dll");
    QTest::newRow("missing file") << fixture("does-not-exist.exe");
    QTest::newRow("not an image") << QStringLiteral(FIXTURES_DIR "/../tst_peversionreader.cpp");
    QTest::newRow("folder") << QStringLiteral(FIXTURES_DIR);
    // Inputs once found by the fuzzer or built to mislead the reader.
    const QStringList hostile = QDir(QStringLiteral(FIXTURES_DIR)).entryList({"hostile-*"}, QDir::Files);
    for (const QString &name : hostile)
        QTest::newRow(qPrintable(name)) << fixture(name);
}

void TestPeVersionReader::refused()
{
    QFETCH(QString, path);
    Version version(7, 7, 7, 7);
    QVERIFY(!readFileVersion(path, &version));
    QCOMPARE(version, Version(7, 7, 7, 7));
}

void TestPeVersionReader::everyTruncation_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("version");
    QTest::newRow("PE32") << "version-pe32.dll" << "65535.0.258.7";
    QTest::newRow("PE32+") << "version-pe32plus.dll" << "1.2.3.4";
}

void TestPeVersionReader::everyTruncation()
{
    QFETCH(QString, file);
    QFETCH(QString, version);
    const QByteArray bytes = fixtureBytes(file);
    QVERIFY(!bytes.isEmpty());
    // A cut file either still holds the whole version block or is refused;
    // it never yields another version.
    int firstReadable = -1;
    for (int length = 0; length <= bytes.size(); ++length) {
        PeVersionReader::FileVersion read{};
        if (!readExact(bytes, length, &read))
            continue;
        if (firstReadable < 0)
            firstReadable = length;
        QCOMPARE(QStringLiteral("%1.%2.%3.%4").arg(read[0]).arg(read[1]).arg(read[2]).arg(read[3]), version);
    }
    // Readable only once the fixed file information is complete.
    QVERIFY(firstReadable >= bytes.indexOf(QByteArray::fromHex("bd04effe")) + 16);
}

void TestPeVersionReader::damagedSignature()
{
    QByteArray bytes = fixtureBytes(QStringLiteral("version-pe32plus.dll"));
    const int signature = bytes.indexOf(QByteArray::fromHex("bd04effe"));
    QVERIFY(signature > 0);
    PeVersionReader::FileVersion read{};
    QVERIFY(readExact(bytes, bytes.size(), &read));
    bytes[signature] = char(0xbc);
    QVERIFY(!readExact(bytes, bytes.size(), &read));
}

QTEST_MAIN(TestPeVersionReader)
#include "tst_peversionreader.moc"
