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

// "N f@B": kind, distant name, name of the record's local element.
QString describe(QList<DOM_DIFF *> *list)
{
    QStringList parts;
    for (const DOM_DIFF *diff : qAsConst(*list))
        parts << QStringLiteral("%1 %2@%3")
                     .arg(diff->type == NEW ? "N" : diff->type == CHANGED ? "C" : "R",
                          diff->distant.attribute("name"), diff->local.attribute("name"));
    qDeleteAll(*list);
    delete list;
    return parts.join(", ");
}

QString text(const QDomElement &e)
{
    QString out;
    QTextStream stream(&out);
    e.save(stream, -1);
    return out;
}

} // namespace

// Most cases are covered by the randomized comparison against the plain
// algorithm (tst_manifestequivalence); these rows pin the documented records.
class TestManifestComparison : public QObject
{
    Q_OBJECT
private slots:
    void records_data()
    {
        QTest::addColumn<QString>("distant");
        QTest::addColumn<QString>("local");
        QTest::addColumn<QString>("expected");
        const QString f = "<r name='R'><file name='f' crc='1' size='100' version='2' url='f' date='%1'/></r>";
        QTest::newRow("identical") << f.arg("2014-03-07") << f.arg("2014-03-07") << "";
        QTest::newRow("same day, other time") << f.arg("2014-03-07T09:00:00") << f.arg("2014-03-07T23:59:59.999") << "";
        QTest::newRow("earlier date, same content") << f.arg("2014-03-06") << f.arg("2014-03-07") << "";
        QTest::newRow("later date, same content") << f.arg("2014-03-08") << f.arg("2014-03-07T09:00:00") << "C f@f";
        QTest::newRow("new, removed file and directory")
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
        QTest::newRow("distant directory, local file")
            << "<r><directory name='x'><file name='in'/><directory name='sub'/></directory></r>"
            << "<r><file name='x'/></r>" << "N in@x, N sub@x";
        QTest::newRow("second local duplicate survives") << "<r><file name='d'/></r>"
                                                         << "<r><file name='d'/><file name='d' crc='2'/></r>" << "";
    }

    void records()
    {
        QFETCH(QString, distant);
        QFETCH(QString, local);
        QPair<QDomElement, QDomElement> roots(parseRoot(distant), parseRoot(local));
        const QString before = text(roots.second);
        QTEST(describe(compareManifests(&roots)), "expected");
        if (QString(QTest::currentDataTag()) == "identical")
            QCOMPARE(text(roots.second), before);
    }

    void nullRoots()
    {
        const QDomElement local = parseRoot("<r><file name='a'/><directory name='d'/></r>");
        // Read literally: no release lists nothing, so everything goes. The
        // update manager refuses such a manifest before it compares.
        QPair<QDomElement, QDomElement> roots(QDomElement(), local);
        QCOMPARE(describe(compareManifests(&roots)), QStringLiteral("R a@a, R d@d"));
        QCOMPARE(describe(compareManifests(nullptr)), QString());
        auto list = new QList<DOM_DIFF *>;
        compareDirectories(parseRoot("<r><directory name='d'><file name='f'/></directory></r>"), QDomElement(), list);
        QCOMPARE(describe(list), QStringLiteral("N d@, N f@d"));
    }

    void loadOpensDevices()
    {
        QByteArray distantXml("<UPDATE_STRUCTURE version='2'><file name='a'/></UPDATE_STRUCTURE>"), brokenXml("<UPDATE_STRUCTURE");
        QBuffer distant(&distantXml), local(&brokenXml);
        QScopedPointer<QPair<QDomElement, QDomElement>> roots(loadManifestRoots(&distant, &local));
        QCOMPARE(roots->first.attribute("version"), QStringLiteral("2"));
        QVERIFY(roots->second.isNull());
        QVERIFY(distant.isOpen() && local.isOpen());
    }
};

QTEST_MAIN(TestManifestComparison)
#include "tst_manifestcomparison.moc"
