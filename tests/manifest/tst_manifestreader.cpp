// The manifest reader's refusals: input too deep, too large or of a kind the
// DOM should never see is refused with a one-line reason before any tree is
// built, and everything a manifest writer produces still reads.
#include "manifest.h"
#include "testfiles.h"

#include <QBuffer>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// A root, `levels - 2` nested directories and a file: `levels` element levels.
QByteArray nested(int levels)
{
    const int directories = qMax(levels - 2, 0);
    return "<UPDATE_STRUCTURE>" + QByteArray("<directory name=\"d\">").repeated(directories) +
           "<file name=\"f\" crc=\"ab\"/>" + QByteArray("</directory>").repeated(directories) +
           "</UPDATE_STRUCTURE>\n";
}

// A root element with `count` attributes a0="x=y" ...
QByteArray withAttributes(int count)
{
    QByteArray xml = "<UPDATE_STRUCTURE";
    for (int i = 0; i < count; ++i)
        xml += " a" + QByteArray::number(i) + "=\"x=y>\"";
    return xml + "/>";
}

const QByteArray kManifest = "<UPDATE_STRUCTURE name=\"ROOT\" version=\"2.0\" crc=\"00\">\n"
                             "<file name=\"a=b.txt\" crc=\"01\" size=\"3\" url=\"a=b.txt\"/>\n"
                             "<directory name=\"bin\">\n"
                             "<file name=\"x &amp; y\" crc=\"02\" size=\"4\" url=\"bin/x &amp; y\"/>\n"
                             "</directory>\n"
                             "</UPDATE_STRUCTURE>\n";

} // namespace

// Also through manifesttool (tst_manifesttool badInputAndHelp): 300 and
// 100,000 levels, a malformed manifest with its line and column, a missing file.
class TestManifestReader : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

private slots:
    void boundsAndRefusals_data()
    {
        QTest::addColumn<QByteArray>("xml");
        QTest::addColumn<QString>("refusal"); // a part of the reason; empty when the manifest reads

        QTest::newRow("manifest") << kManifest << QString();
        QTest::newRow("declared UTF-8 with BOM")
            << "\xef\xbb\xbf<?xml version=\"1.0\" encoding=\"utf-8\"?>\n" + kManifest << QString();
        QTest::newRow("256 levels") << nested(256) << QString();
        QTest::newRow("257 levels") << nested(257) << "m.xml:1:5143: manifest nested deeper than 256 levels";
        QTest::newRow("deep in other elements")
            << "<r>" + QByteArray("<x>").repeated(300) + QByteArray("</x>").repeated(300) + "</r>"
            << "manifest nested deeper than 256 levels";
        QTest::newRow("64 attributes") << withAttributes(64) << QString();
        QTest::newRow("65 attributes") << withAttributes(65) << "m.xml:1: manifest element has more than 64 attributes";
        QTest::newRow("too many nodes") << "<r>" + QByteArray("<a/>").repeated(4000000) + "</r>"
                                        << "manifest has more than 4000000 nodes";
        QTest::newRow("document type") << QByteArray("<!DOCTYPE r [<!ENTITY e \"<x/>\">]>\n<r>&e;</r>")
                                       << "m.xml:1: manifest has a document type declaration";
        QTest::newRow("undeclared entity") << QByteArray("<r>&e;</r>") << "manifest does not parse";
        QTest::newRow("Latin-1") << QByteArray("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><r/>")
                                 << "manifest is not UTF-8 text but ISO-8859-1";
        QTest::newRow("line break in the encoding") << QByteArray("<?xml version=\"1.0\" encoding=\"UT\n\"?><r/>")
                                                    << "manifest does not parse: UT\\x0a";
        QTest::newRow("UTF-16") << QByteArray("\xff\xfe<\0r\0/\0>\0", 10) << "m.xml:1: manifest is not UTF-8 text";
        QTest::newRow("NUL byte") << QByteArray("<r>\n\0</r>", 9) << "m.xml:2: manifest is not UTF-8 text";
        QTest::newRow("empty") << QByteArray() << "manifest does not parse";
        QTest::newRow("trailing element") << QByteArray("<r/><r/>") << "manifest does not parse";
    }

    // Through the path and through a device that is not open yet.
    void boundsAndRefusals()
    {
        QFETCH(QByteArray, xml);
        QFETCH(QString, refusal);
        QVERIFY(QDir::setCurrent(m_dir.path()));
        QVERIFY(writeFile("m.xml", xml));

        QString error = QStringLiteral("untouched");
        const QDomDocument read = readManifestDocument(QStringLiteral("m.xml"), &error);
        QFile file(QStringLiteral("m.xml"));
        QString deviceError = QStringLiteral("untouched");
        const QDomDocument readFromDevice = readManifestDocument(&file, &deviceError);
        QVERIFY(file.isOpen());
        QCOMPARE(deviceError, error);

        if (refusal.isEmpty()) {
            QCOMPARE(error, QStringLiteral("untouched"));
            QDomDocument plain;
            QVERIFY(plain.setContent(xml));
            QCOMPARE(read.toByteArray(), plain.toByteArray());
            QCOMPARE(readFromDevice.toByteArray(), plain.toByteArray());
            return;
        }
        QVERIFY(read.isNull() && readFromDevice.isNull());
        QVERIFY2(error.startsWith(QLatin1String("m.xml:")) && error.contains(refusal) && !error.contains('\n'),
                 qPrintable(error));
    }

    void unreadable_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("refusal");
        QTest::newRow("folder") << "." << "cannot open manifest '.'";
        QTest::newRow("endless") << "/dev/zero" << "/dev/zero: manifest larger than 134217728 bytes";
        QTest::newRow("large") << "large.xml" << "large.xml: manifest larger than 134217728 bytes";
    }

    void unreadable()
    {
        QFETCH(QString, path);
        QFETCH(QString, refusal);
        QVERIFY(QDir::setCurrent(m_dir.path()));
        QFile large(QStringLiteral("large.xml")); // sparse: one byte over the bound
        QVERIFY(large.open(QIODevice::WriteOnly) && large.write("<r/>") == 4 && large.resize(kManifestMaxBytes + 1));
        large.close();

        QString error;
        QVERIFY(readManifestDocument(path, &error).isNull());
        QVERIFY2(error.startsWith(refusal), qPrintable(error));
        QVERIFY(readManifestDocument(path).isNull());
    }

    // A reference beyond U+FFFF reads as its character; the DOM's own parser
    // cut it to 16 bits (U+F600 for U+1F600).
    void referencesBeyondSixteenBits()
    {
        QByteArray xml("<r a='&#x1F600;&#65;'>&#1114111;</r>");
        QBuffer buffer(&xml);
        const QDomElement root = readManifestDocument(&buffer).documentElement();
        QCOMPARE(root.attribute("a"), QString::fromUtf8("\xf0\x9f\x98\x80" "A"));
        QCOMPARE(root.text(), QString::fromUcs4(U"\U0010FFFF"));
    }

    void deviceWithoutName()
    {
        QByteArray bytes = nested(300);
        QBuffer buffer(&bytes);
        QString error;
        QVERIFY(readManifestDocument(&buffer, &error).isNull());
        QCOMPARE(error, QStringLiteral("manifest:1:5138: manifest nested deeper than 256 levels"));
        QVERIFY(readManifestDocument(static_cast<QIODevice *>(nullptr), &error).isNull());
        QCOMPARE(error, QStringLiteral("no manifest to read"));
    }
};

QTEST_MAIN(TestManifestReader)
#include "tst_manifestreader.moc"
