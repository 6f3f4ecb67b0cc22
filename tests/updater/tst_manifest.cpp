#include "filechecksum.h"
#include "manifest.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QDomElement parseRoot(const QString &xml)
{
    QDomDocument document;
    if (!document.setContent(xml))
        return QDomElement();
    return document.documentElement();
}

// Compact picture of a tree: tag.name per element, children in brackets,
// "#c"/"#t" for comments and text. Independent of attribute order.
QString shape(const QDomNode &node)
{
    QStringList parts;
    for (QDomNode child = node.firstChild(); !child.isNull(); child = child.nextSibling()) {
        if (child.isComment()) {
            parts << QStringLiteral("#c");
        } else if (child.isText()) {
            parts << QStringLiteral("#t");
        } else if (child.isElement()) {
            const QDomElement e = child.toElement();
            QString part = e.tagName() + QLatin1Char('.') + e.attribute(QStringLiteral("name"));
            if (e.hasAttribute(QStringLiteral("crc")))
                part += QLatin1Char('=') + e.attribute(QStringLiteral("crc"));
            if (e.hasChildNodes())
                part += QLatin1Char('(') + shape(e) + QLatin1Char(')');
            parts << part;
        }
    }
    return parts.join(QLatin1Char(','));
}

QString sha1Of(const QByteArray &data)
{
    return QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Sha1).toHex());
}

} // namespace

class TestManifest : public QObject
{
    Q_OBJECT
private slots:
    void accessors_data();
    void accessors();
    void dates_data();
    void dates();
    void sortTree_data();
    void sortTree();
    void globalChecksum_data();
    void globalChecksum();
    void checksumIgnoresOrderAndCopiesRootAttributes();
    void saveAndReadBack();
    void unreadableManifests();
    void fileChecksum_data();
    void fileChecksum();
    void fileChecksumOfUnreadableFile();
};

void TestManifest::accessors_data()
{
    QTest::addColumn<QString>("xml");
    QTest::addColumn<QStringList>("expected"); // name, size, crc, version, url, date, dir, file

    QTest::newRow("defaults") << "<file/>"
                              << QStringList{"NULL", "0", "", "0", ".", "", "0", "1"};
    QTest::newRow("values")
        << "<file name='a.dll' size='0100' crc='ab' version='2.1' url='bin/a.dll' "
           "date='2014-03-07T09:05:31.250'/>"
        << QStringList{"a.dll", "0100", "ab", "2.1", "bin/a.dll", "2014-03-07", "0", "1"};
    QTest::newRow("directory") << "<directory name='lib'/>"
                               << QStringList{"lib", "0", "", "0", ".", "", "1", "0"};
    QTest::newRow("tags are case-sensitive")
        << "<Directory name='x'/>" << QStringList{"x", "0", "", "0", ".", "", "0", "0"};
    QTest::newRow("null element") << "" << QStringList{"NULL", "0", "", "0", ".", "", "0", "0"};
}

void TestManifest::accessors()
{
    QFETCH(QString, xml);
    QFETCH(QStringList, expected);
    const QDomElement e = parseRoot(xml);
    const QStringList actual{elementName(e),
                             elementSize(e),
                             elementCrc(e),
                             elementVersion(e),
                             elementUrl(e),
                             elementDate(e).toString(Qt::ISODate),
                             QString::number(isDirectory(e)),
                             QString::number(isFile(e))};
    QCOMPARE(actual, expected);
}

void TestManifest::dates_data()
{
    QTest::addColumn<QString>("earlier"); // "-" stands for a missing date
    QTest::addColumn<QString>("later");
    QTest::addColumn<int>("order"); // -1: first earlier, 0: same date

    QTest::newRow("time of day ignored") << "2014-03-07T23:59:59.999" << "2014-03-07T00:00:00.000" << 0;
    QTest::newRow("seconds form") << "2014-03-07T10:00:00" << "2014-03-08T09:00:00" << -1;
    QTest::newRow("missing before valid") << "-" << "1900-01-01T00:00:00" << -1;
    QTest::newRow("two missing equal") << "-" << "-" << 0;
    QTest::newRow("unparsable like missing") << "yesterday" << "-" << 0;
    QTest::newRow("empty before valid") << "" << "2001-01-01" << -1;
}

void TestManifest::dates()
{
    QFETCH(QString, earlier);
    QFETCH(QString, later);
    QFETCH(int, order);
    QDomDocument document;
    auto make = [&](const QString &date) {
        QDomElement e = document.createElement(QStringLiteral("file"));
        if (date != QLatin1String("-"))
            e.setAttribute(QStringLiteral("date"), date);
        return elementDate(e);
    };
    const QDate a = make(earlier);
    const QDate b = make(later);
    QCOMPARE(a < b, order < 0);
    QCOMPARE(a == b, order == 0);
    QVERIFY(!(b < a));
}

void TestManifest::sortTree_data()
{
    QTest::addColumn<QString>("xml");
    QTest::addColumn<QString>("expected");

    QTest::newRow("files first") << "<r><directory name='a'/><file name='b'/></r>"
                                 << "file.b,directory.a";
    QTest::newRow("ordinal names") << "<r><file name='a.txt'/><file name='B.txt'/><file name='_'/></r>"
                                   << "file.B.txt,file._,file.a.txt";
    QTest::newRow("equal names keep order")
        << "<r><file name='x' crc='2'/><file name='w'/><file name='x' crc='1'/><file crc='3'/></r>"
        << "file.=3,file.w,file.x=2,file.x=1";
    QTest::newRow("other element is a wall")
        << "<r><file name='c'/><file name='b'/><other name='a'/><file name='a'/><directory name='d'/></r>"
        << "file.b,file.c,other.a,file.a,directory.d";
    QTest::newRow("comment and text are walls")
        << "<r><directory name='z'/><!--c--><file name='y'/>text<file name='x'/><directory name='w'/></r>"
        << "directory.z,#c,file.y,#t,file.x,directory.w";
    QTest::newRow("nested directories, not other elements")
        << "<r><directory name='d'><file name='b'/><directory name='c'><file name='z'/>"
           "<file name='y'/></directory><file name='a'/></directory>"
           "<other><file name='b'/><file name='a'/></other></r>"
        << "directory.d(file.a,file.b,directory.c(file.y,file.z)),other.(file.b,file.a)";
}

void TestManifest::sortTree()
{
    QFETCH(QString, xml);
    QFETCH(QString, expected);
    QDomElement root = parseRoot(xml);
    ::sortTree(root);
    QCOMPARE(shape(root), expected);
}

void TestManifest::globalChecksum_data()
{
    QTest::addColumn<QString>("xml");
    QTest::addColumn<QString>("input");

    QTest::newRow("empty tree") << "<r/>" << "";
    QTest::newRow("worked example")
        << "<r name='ROOT' crc='old' version='3'><directory name='lib'><file name='z' crc='c3'/>"
           "<file name='m' crc='c2'/></directory><file name='f' crc='c1'/></r>"
        << "c1libc2c3";
    QTest::newRow("file renamed") << "<r><directory name='lib'><file name='m2' crc='c2'/>"
                                     "<file name='z' crc='c3'/></directory><file name='g' crc='c1'/></r>"
                                  << "c1libc2c3";
    QTest::newRow("directory renamed") << "<r><directory name='lob'><file name='m' crc='c2'/>"
                                          "<file name='z' crc='c3'/></directory><file name='f' crc='c1'/></r>"
                                       << "c1lobc2c3";
    QTest::newRow("nameless directory and file") << "<r><directory><file crc='c1'/></directory></r>"
                                                 << "NULLc1";
    QTest::newRow("missing crc and other tags")
        << "<r><file name='a'/><other><file name='b' crc='c9'/></other></r>" << "c9";
    QTest::newRow("latin-1 conversion") << QString::fromUtf8("<r><directory name='é€'/></r>")
                                        << QString::fromUtf8("é?");
}

void TestManifest::globalChecksum()
{
    QFETCH(QString, xml);
    QFETCH(QString, input);
    QDomElement root = parseRoot(xml);
    Manifest manifest(root);
    QCOMPARE(manifest.globalChecksum(), sha1Of(input.toLatin1()));
    QCOMPARE(canonicalString(root).toLatin1(), input.toLatin1());
    if (input.isEmpty())
        QCOMPARE(manifest.globalChecksum(), QStringLiteral("da39a3ee5e6b4b0d3255bfef95601890afd80709"));
}

void TestManifest::checksumIgnoresOrderAndCopiesRootAttributes()
{
    QDomElement first = parseRoot(
        "<r crc='abc' version='1.2' date='2014-03-07T09:05:31.250'><directory name='d'>"
        "<file name='b' crc='2'/><file name='a' crc='1'/></directory><file name='z' crc='9'/></r>");
    QDomElement second = parseRoot(
        "<r><file name='z' crc='9'/><directory name='d'><file name='a' crc='1'/>"
        "<file name='b' crc='2'/></directory></r>");
    Manifest a(first);
    Manifest b(second);
    QCOMPARE(a.crc, QStringLiteral("abc"));
    QCOMPARE(a.version, QStringLiteral("1.2"));
    QCOMPARE(a.date, QStringLiteral("2014-03-07T09:05:31.250"));
    QVERIFY(b.crc.isEmpty() && b.version.isEmpty() && b.date.isEmpty());
    QCOMPARE(a.globalChecksum(), b.globalChecksum());
    QCOMPARE(shape(first), shape(second));
    QCOMPARE(shape(first), QStringLiteral("file.z=9,directory.d(file.a=1,file.b=2)"));
}

void TestManifest::saveAndReadBack()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString xml = QString::fromUtf8(
        "<UPDATE_STRUCTURE name='ROOT' version='1 &amp; 2'><directory name='b&lt;in'>"
        "<file name='ümlaut €.dll' crc='ab' size='3' url='b&lt;in/ümlaut €.dll' "
        "date='2014-03-07T09:05:31' version='\"q\"'/><directory name='empty'/></directory>"
        "<!--note--><file name='' url=\"it's\"/></UPDATE_STRUCTURE>");
    QDomDocument document;
    QVERIFY(document.setContent(xml));
    const QString rootPath = dir.filePath(QStringLiteral("root.xml"));
    const QString documentPath = dir.filePath(QStringLiteral("document.xml"));
    QVERIFY(saveManifestRoot(rootPath, document.documentElement()));
    QVERIFY(saveManifestDocument(documentPath, document));

    for (const QString &path : {rootPath, documentPath}) {
        const QDomElement read = readManifestRoot(path);
        QVERIFY(!read.isNull());
        // Same tree, same attribute values, whatever order they are written in.
        QCOMPARE(shape(read), shape(document.documentElement()));
        QCOMPARE(read.attribute("version"), QStringLiteral("1 & 2"));
        const QDomElement file = read.firstChildElement().firstChildElement();
        QCOMPARE(elementName(file), QString::fromUtf8("ümlaut €.dll"));
        QCOMPARE(elementUrl(file), QString::fromUtf8("b<in/ümlaut €.dll"));
        QCOMPARE(elementVersion(file), QStringLiteral("\"q\""));
        QCOMPARE(elementUrl(read.lastChildElement()), QStringLiteral("it's"));
    }
    QFile rootFile(rootPath);
    QVERIFY(rootFile.open(QIODevice::ReadOnly));
    const QByteArray saved = rootFile.readAll();
    QVERIFY(saved.startsWith("<UPDATE_STRUCTURE"));
    QVERIFY(saved.contains("\n<directory"));

    // A failed save reports it and leaves no file behind.
    QVERIFY(!saveManifestRoot(dir.filePath(QStringLiteral("missing/x.xml")),
                              document.documentElement()));
    QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("missing/x.xml"))));
}

void TestManifest::unreadableManifests()
{
    QTemporaryDir dir;
    const QString malformed = dir.filePath(QStringLiteral("bad.xml"));
    QFile file(malformed);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("<UPDATE_STRUCTURE><file name='a'>");
    file.close();
    QVERIFY(readManifestRoot(malformed).isNull());
    QVERIFY(readManifestRoot(dir.filePath(QStringLiteral("none.xml"))).isNull());
    QVERIFY(readManifestRoot(static_cast<QIODevice *>(nullptr)).isNull());
}

void TestManifest::fileChecksum_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("expected");

    QByteArray large(100003, '\0');
    for (int i = 0; i < large.size(); ++i)
        large[i] = char((i * 7919) >> 3);
    QTest::newRow("empty") << QByteArray() << "da39a3ee5e6b4b0d3255bfef95601890afd80709";
    QTest::newRow("abc") << QByteArray("abc") << "a9993e364706816aba3e25717850c26c9cd0d89d";
    QTest::newRow("one chunk") << QByteArray(1024, 'x') << sha1Of(QByteArray(1024, 'x'));
    QTest::newRow("chunk and one") << QByteArray(1025, 'y') << sha1Of(QByteArray(1025, 'y'));
    QTest::newRow("large") << large << sha1Of(large);
}

void TestManifest::fileChecksum()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, expected);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("f.bin"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(content);
    file.close();
    QCOMPARE(::fileChecksum(path, QCryptographicHash::Sha1), expected);
    QCOMPARE(::fileChecksum(path, QCryptographicHash::Sha256),
             QString::fromLatin1(QCryptographicHash::hash(content, QCryptographicHash::Sha256).toHex()));
    QCOMPARE(::fileChecksum(path, QCryptographicHash::Sha3_256),
             QString::fromLatin1(QCryptographicHash::hash(content, QCryptographicHash::Sha3_256).toHex()));
}

void TestManifest::fileChecksumOfUnreadableFile()
{
    QTemporaryDir dir;
    QCOMPARE(::fileChecksum(dir.filePath(QStringLiteral("missing")), QCryptographicHash::Sha1), QString());
    QCOMPARE(::fileChecksum(dir.path(), QCryptographicHash::Sha1), QString());
#ifdef Q_OS_LINUX
    // Opens fine, then fails on the first read: must not pass for the
    // checksum of empty content.
    QCOMPARE(::fileChecksum(QStringLiteral("/proc/self/mem"), QCryptographicHash::Sha1), QString());
#endif
}

QTEST_MAIN(TestManifest)
#include "tst_manifest.moc"
