#include "testfiles.h"
#include "filechecksum.h"
#include "manifest.h"

#include <QtTest>

namespace {

QDomElement parseRoot(const QString &xml)
{
    QDomDocument document;
    document.setContent(xml);
    return document.documentElement();
}

// tag.name[=crc][@url] per node ("#c"/"#t" for comments and text), children
// in brackets; independent of attribute order.
QString shape(const QDomNode &node)
{
    QStringList parts;
    for (QDomNode child = node.firstChild(); !child.isNull(); child = child.nextSibling()) {
        const QDomElement e = child.toElement();
        if (e.isNull()) {
            parts << (child.isComment() ? "#c" : "#t");
            continue;
        }
        QString part = e.tagName() + '.' + e.attribute("name");
        if (e.hasAttribute("crc"))
            part += '=' + e.attribute("crc");
        if (e.hasAttribute("url"))
            part += '@' + e.attribute("url");
        if (e.hasChildNodes() || e.tagName() == "directory")
            part += '(' + shape(e) + ')';
        parts << part;
    }
    return parts.join(',');
}

QString hashOf(const QByteArray &data, QCryptographicHash::Algorithm algorithm = QCryptographicHash::Sha1)
{
    return QString::fromLatin1(QCryptographicHash::hash(data, algorithm).toHex());
}

} // namespace

// The canonical order (other nodes as walls, directories recursed, other
// elements not) is checked against a plain reference on random trees in
// tst_manifestequivalence; the global checksum's worked example is pinned here.
class TestManifest : public QObject
{
    Q_OBJECT
private slots:
    void accessors_data()
    {
        QTest::addColumn<QString>("xml");
        QTest::addColumn<QString>("expected"); // name|size|crc|version|url|date|isDirectory|isFile
        QTest::newRow("defaults") << "<file/>" << "NULL|0||0|.||0|1";
        QTest::newRow("values") << "<file name='a.dll' size='0100' crc='ab' version='2.1' url='bin/a.dll' "
                                   "date='2014-03-07T09:05:31.250'/>"
                                << "a.dll|0100|ab|2.1|bin/a.dll|2014-03-07|0|1";
        QTest::newRow("directory") << "<directory name='lib'/>" << "lib|0||0|.||1|0";
        QTest::newRow("case-sensitive tag") << "<Directory name='x'/>" << "x|0||0|.||0|0";
        QTest::newRow("null element") << "" << "NULL|0||0|.||0|0";
        QTest::newRow("time of day ignored") << "<file date='2014-03-07T23:59:59.999'/>" << "NULL|0||0|.|2014-03-07|0|1";
        QTest::newRow("unreadable date, as none") << "<file date='bad'/>" << "NULL|0||0|.||0|1";
    }

    void accessors()
    {
        QFETCH(QString, xml);
        const QDomElement e = parseRoot(xml);
        const QStringList actual{elementName(e), elementSize(e), elementCrc(e), elementVersion(e),
                                 elementUrl(e), elementDate(e).toString(Qt::ISODate),
                                 QString::number(isDirectory(e)), QString::number(isFile(e))};
        QTEST(actual.join('|'), "expected");
    }

    // A missing or unreadable date comes before any valid one.
    void missingDateIsOldest() { QVERIFY(elementDate(parseRoot("<f date='bad'/>")) < elementDate(parseRoot("<f date='1900-01-01'/>"))); }

    void globalChecksum_data()
    {
        QTest::addColumn<QString>("xml");
        QTest::addColumn<QString>("input");
        const QString tree = "<r name='ROOT' crc='old'><directory name='%1'><file name='z' crc='c3'/>"
                             "<file name='%2' crc='c2'/></directory><file name='f' crc='c1'/></r>";
        QTest::newRow("empty tree") << "<r/>" << "";
        QTest::newRow("worked example") << tree.arg("lib", "m") << "c1libc2c3";
        QTest::newRow("by code unit, not by case") << "<r><file name='a' crc='c1'/><file name='B' crc='c2'/></r>" << "c2c1";
        QTest::newRow("latin-1") << QString::fromUtf8("<r><directory name='é€'/></r>") << QString::fromUtf8("é?");
    }

    void globalChecksum()
    {
        QFETCH(QString, xml);
        QFETCH(QString, input);
        const QDomElement root = parseRoot(xml);
        Manifest manifest(root);
        QCOMPARE(manifest.globalChecksum(), hashOf(input.toLatin1()));
        QCOMPARE(canonicalString(root).toLatin1(), input.toLatin1());
        QCOMPARE(manifest.crc, root.attribute("crc"));
    }

    void saveAndReadBack()
    {
        QTemporaryDir dir;
        const QString xml = QString::fromUtf8(
            "<UPDATE_STRUCTURE name='ROOT' version='1 &amp; 2'><directory name='b&lt;in'>"
            "<file name='ü €.dll' crc='ab' size='3' url='b&lt;in/ü €.dll' version='\"q\"'/>"
            "<directory name='empty'/></directory><!--note--><file name='' url=\"it's\"/></UPDATE_STRUCTURE>");
        QDomDocument document;
        QVERIFY(document.setContent(xml));
        const QString rootPath = dir.filePath("root.xml");
        const QString documentPath = dir.filePath("document.xml");
        QVERIFY(saveManifestRoot(rootPath, document.documentElement()) && saveManifestDocument(documentPath, document));
        for (const QString &path : {rootPath, documentPath}) {
            const QDomDocument readDocument = readManifestDocument(path);
            const QDomElement read = readDocument.documentElement();
            QCOMPARE(shape(read), shape(document.documentElement()));
            QCOMPARE(read.attribute("version"), QStringLiteral("1 & 2"));
            QCOMPARE(elementVersion(read.firstChild().firstChild()), QStringLiteral("\"q\""));
        }
        QFile saved(rootPath);
        QVERIFY(saved.open(QIODevice::ReadOnly) && saved.readAll().startsWith("<UPDATE_STRUCTURE")); // no declaration

        // A failed save writes nothing; failed reads: tst_manifestreader.
        QVERIFY(!saveManifestRoot(dir.filePath("missing/x.xml"), document.documentElement()));
        QVERIFY(!QFile::exists(dir.filePath("missing/x.xml")));
    }

    void fileChecksum_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("one chunk") << QByteArray(1024, 'x');
        QTest::newRow("chunk and one") << QByteArray(1025, 'y');
        QTest::newRow("large") << QByteArray("0123456789abcdefghijklmnopqrstu").repeated(3227);
        QTest::newRow("two blocks and one") << QByteArray("0123456789abcdefghijklmnopqrstu").repeated(4229);
    }

    void fileChecksum()
    {
        QFETCH(QByteArray, content);
        QTemporaryDir dir;
        QVERIFY(writeFile(dir.filePath("f"), content));
        for (auto algorithm : {QCryptographicHash::Sha1, QCryptographicHash::Sha3_256})
            QCOMPARE(::fileChecksum(dir.filePath("f"), algorithm), hashOf(content, algorithm));
        const FileChecksums both = fileChecksums(dir.filePath("f"));
        QCOMPARE(both.sha1, hashOf(content, QCryptographicHash::Sha1));
        QCOMPARE(both.sha256, hashOf(content, QCryptographicHash::Sha256));

        // Unreadable: missing, a folder, or failing on the first read.
        for (const QString &unreadable : {dir.filePath("missing"), dir.path(), QStringLiteral("/proc/self/mem")}) {
            QCOMPARE(::fileChecksum(unreadable, QCryptographicHash::Sha1), QString());
            QVERIFY(fileChecksums(unreadable).sha1.isEmpty() && fileChecksums(unreadable).sha256.isEmpty());
        }
    }
};

QTEST_MAIN(TestManifest)
#include "tst_manifest.moc"
