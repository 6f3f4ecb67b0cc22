#include "manifest.h"
#include "manifestcomparison.h"

#include <QBuffer>
#include <QtTest>

namespace {

QDomElement parseRoot(const QString &xml)
{
    QDomDocument document;
    document.setContent(xml);
    return document.documentElement();
}

// "N f@B": kind, distant name, name of the local element of the record.
QString describe(const QList<DOM_DIFF *> &list)
{
    QStringList parts;
    for (const DOM_DIFF *diff : list) {
        const char *kind = diff->type == NEW ? "N" : diff->type == CHANGED ? "C" : "R";
        parts << QStringLiteral("%1 %2@%3")
                     .arg(QLatin1String(kind), diff->distant.attribute("name"),
                          diff->local.attribute("name"));
    }
    return parts.join(QStringLiteral(", "));
}

QString serialized(const QDomElement &e)
{
    QString text;
    QTextStream stream(&text);
    e.save(stream, -1);
    return text;
}

} // namespace

class TestManifestComparison : public QObject
{
    Q_OBJECT
private slots:
    void records_data();
    void records();
    void newTreeIsCopiedIntoLocal();
    void identicalTreesLeaveLocalUnchanged();
    void nullRoots();
    void loadOpensDevices();
};

void TestManifestComparison::records_data()
{
    QTest::addColumn<QString>("distant");
    QTest::addColumn<QString>("local");
    QTest::addColumn<QString>("expected");

    const QString f = QStringLiteral("<file name='f' crc='1' size='100' version='2' url='f' date='%1'/>");
    const QString day = QStringLiteral("2014-03-07T09:00:00");
    QTest::newRow("same day, other time")
        << "<r name='R'>" + f.arg(day) + "</r>" << "<r name='R'>" + f.arg("2014-03-07T23:59:59.999") + "</r>"
        << "";
    QTest::newRow("later date, same content")
        << "<r name='R'>" + f.arg("2014-03-08") + "</r>" << "<r name='R'>" + f.arg(day) + "</r>" << "C f@f";
    QTest::newRow("earlier date, other checksum")
        << "<r name='R'><file name='f' crc='2' date='2001-01-01'/></r>"
        << "<r name='R'><file name='f' crc='1' date='2014-01-01'/></r>" << "C f@f";
    QTest::newRow("size compared as text")
        << "<r name='R'><file name='f' size='0100'/></r>" << "<r name='R'><file name='f' size='100'/></r>"
        << "C f@f";
    QTest::newRow("missing attributes read as defaults")
        << "<r name='R'><file name='f' size='0' version='0' url='.'/></r>"
        << "<r name='R'><file name='f'/></r>" << "";
    QTest::newRow("new file, removed file and directory")
        << "<r name='R'><file name='n'/></r>"
        << "<r name='R'><file name='x'/><directory name='d'><file name='in'/></directory></r>"
        << "N n@R, R x@x, R d@d";
    QTest::newRow("root removals after deeper records")
        << "<r name='R'><directory name='a'><file name='new'/><directory name='b'><file name='g' crc='2'/>"
           "</directory></directory><file name='z'/></r>"
        << "<r name='R'><file name='gone'/><directory name='a'><file name='old'/><directory name='b'>"
           "<file name='g' crc='1'/></directory></directory></r>"
        << "N new@a, C g@g, R old@old, N z@R, R gone@gone";
    QTest::newRow("new directory tree")
        << "<r name='R'><directory name='A'><directory name='B'><file name='f'/></directory>"
           "<file name='e'/></directory></r>"
        << "<r name='R'/>" << "N A@R, N f@B, N e@A";
    QTest::newRow("distant directory over local file")
        << "<r name='R'><directory name='x'><file name='in'/><directory name='sub'/></directory></r>"
        << "<r name='R'><file name='x'/></r>" << "N in@x, N sub@x";
    QTest::newRow("case-sensitive names") << "<r name='R'><file name='A'/></r>"
                                          << "<r name='R'><file name='a'/></r>" << "N A@R, R a@a";
    QTest::newRow("second local duplicate survives")
        << "<r name='R'><file name='d' crc='1'/></r>"
        << "<r name='R'><file name='d' crc='1'/><file name='d' crc='2'/></r>" << "";
    QTest::newRow("nameless entries match each other")
        << "<r name='R'><file crc='1'/></r>" << "<r name='R'><file name='' crc='2'/></r>" << "C @";
}

void TestManifestComparison::records()
{
    QFETCH(QString, distant);
    QFETCH(QString, local);
    QFETCH(QString, expected);
    auto roots = QPair<QDomElement, QDomElement>(parseRoot(distant), parseRoot(local));
    QScopedPointer<QList<DOM_DIFF *>> list(compareManifests(&roots));
    QCOMPARE(describe(*list), expected);
    qDeleteAll(*list);
}

void TestManifestComparison::newTreeIsCopiedIntoLocal()
{
    QDomElement distant = parseRoot("<r><directory name='A' extra='1'><directory name='B'>"
                                    "<file name='f'/></directory></directory></r>");
    QDomElement local = parseRoot("<r/>");
    QList<DOM_DIFF *> list;
    compareDirectories(distant, local, &list);
    QCOMPARE(list.size(), 2);
    QCOMPARE(list[0]->local, local);
    QCOMPARE(list[1]->distant, distant.firstChildElement().firstChildElement().firstChildElement());
    // Copies of A and B, with their attributes but without the file.
    const QDomElement copyA = local.firstChildElement();
    QCOMPARE(copyA.attribute("extra"), QStringLiteral("1"));
    QCOMPARE(copyA.childNodes().count(), 1);
    QCOMPARE(copyA.firstChildElement().attribute("name"), QStringLiteral("B"));
    QVERIFY(!copyA.firstChildElement().hasChildNodes());
    QVERIFY(copyA.nextSibling().isNull());
    QCOMPARE(list[1]->local, local.firstChildElement().firstChildElement());
    QCOMPARE(list[1]->local.ownerDocument(), local.ownerDocument());
    QCOMPARE(findChildByName(local, "A"), local.firstChildElement());
    qDeleteAll(list);
}

void TestManifestComparison::identicalTreesLeaveLocalUnchanged()
{
    const QString xml = "<r><file name='a' crc='1' date='2014-01-01'/><directory name='d'>"
                        "<directory name='e'><file name='b'/></directory></directory></r>";
    QDomElement local = parseRoot(xml);
    const QString before = serialized(local);
    QList<DOM_DIFF *> list;
    compareDirectories(parseRoot(xml), local, &list);
    QVERIFY(list.isEmpty());
    QCOMPARE(serialized(local), before);
    QVERIFY(!needsUpdate(local.firstChildElement(), local.firstChildElement()));
}

void TestManifestComparison::nullRoots()
{
    const QDomElement local = parseRoot("<r><file name='a'/><directory name='d'/></r>");
    // An unreadable distant manifest is not read as "remove everything".
    auto roots = QPair<QDomElement, QDomElement>(QDomElement(), local);
    QScopedPointer<QList<DOM_DIFF *>> guarded(compareManifests(&roots));
    QVERIFY(guarded->isEmpty());
    QScopedPointer<QList<DOM_DIFF *>> none(compareManifests(nullptr));
    QVERIFY(none->isEmpty());

    QList<DOM_DIFF *> list;
    compareDirectories(QDomElement(), local, &list);
    QCOMPARE(describe(list), QStringLiteral("R a@a, R d@d"));
    qDeleteAll(list);
    list.clear();
    compareDirectories(parseRoot("<r name='R'><directory name='d'><file name='f'/></directory></r>"),
                       QDomElement(), &list);
    QCOMPARE(describe(list), QStringLiteral("N d@, N f@d"));
    qDeleteAll(list);
}

void TestManifestComparison::loadOpensDevices()
{
    QByteArray distantXml("<UPDATE_STRUCTURE version='2'><file name='a'/></UPDATE_STRUCTURE>");
    QByteArray brokenXml("<UPDATE_STRUCTURE");
    QBuffer distant(&distantXml);
    QBuffer local(&brokenXml);
    QScopedPointer<QPair<QDomElement, QDomElement>> roots(loadManifestRoots(&distant, &local));
    QCOMPARE(roots->first.attribute("version"), QStringLiteral("2"));
    QVERIFY(roots->second.isNull());
    QVERIFY(distant.isOpen());
    QVERIFY(local.isOpen());
}

QTEST_MAIN(TestManifestComparison)
#include "tst_manifestcomparison.moc"
