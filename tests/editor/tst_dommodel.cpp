#include "dommodel.h"

#include <QAbstractItemModelTester>
#include <QDateTime>
#include <QSignalSpy>
#include <QtTest>

namespace {

// A directory "bin" with three entries; the last one is a directory holding a file.
const char *const manifestXml =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<UPDATE_STRUCTURE name=\"ROOT\" crc=\"0123\" date=\"2014-03-07T09:05:31.250\">\n"
    "<!-- built by hand -->\n"
    "<directory name=\"bin\">\n"
    "<file name=\"a.dll\" crc=\"aa\" size=\"12345\" url=\"bin/a.dll\" date=\"2014-03-07T09:05:31.250\" version=\"1.2\"/>\n"
    "<file name=\"b.dll\" crc=\"line1&#10;line2\" size=\"abc\" url=\"bin/b.dll\"/>\n"
    "<directory name=\"plugins\"><file name=\"p.dll\" size=\"3000000000\" url=\"bin/plugins/p.dll\"/></directory>\n"
    "</directory>\n"
    "<file name=\"notes.txt\">some text</file>\n"
    "</UPDATE_STRUCTURE>\n";

QDomDocument loadManifest()
{
    QDomDocument document;
    if (!document.setContent(QByteArray(manifestXml)))
        qFatal("test manifest does not parse");
    return document;
}

// The "bin" directory: row 1 under the root element, which is row 1 at top level.
QModelIndex binIndex(const DomModel &model)
{
    return model.index(1, 0, model.index(1, 0));
}

QStringList names(const DomModel &model, const QModelIndex &parent)
{
    QStringList result;
    for (int i = 0; i < model.rowCount(parent); ++i)
        result << model.index(i, 0, parent).data().toString();
    return result;
}

} // namespace

class TestDomModel : public QObject
{
    Q_OBJECT

private slots:
    void passesContractChecker()
    {
        DomModel model(loadManifest());
        QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
        // The tester re-checks the model on every change; walk into the tree and remove rows.
        const QModelIndex bin = binIndex(model);
        QCOMPARE(model.rowCount(bin), 3);
        QVERIFY(model.removeRow(0, bin));
        QVERIFY(model.setData(model.index(0, DomModel::NameColumn, bin), QStringLiteral("c.dll")));
        QVERIFY(model.removeRow(1, model.index(1, 0)));
    }

    void nonElementNodesAndColumns()
    {
        DomModel model(loadManifest());
        // The declaration and the root element; the declaration shows nothing.
        QCOMPARE(names(model, QModelIndex()), (QStringList{"", "ROOT"}));
        for (int column : {DomModel::VersionColumn, DomModel::UrlColumn, DomModel::CrcColumn})
            QCOMPARE(model.index(0, column).data().toString(), QString());
        QVERIFY(!model.index(0, DomModel::DateColumn).data().toDateTime().isValid());
        QCOMPARE(model.index(0, DomModel::SizeColumn).data().toLongLong(), 0);

        const QModelIndex rootElement = model.index(1, 0);
        QCOMPARE(names(model, rootElement), (QStringList{"", "bin", "notes.txt"})); // the comment first
        const QModelIndex notes = model.index(2, 0, rootElement);
        QCOMPARE(model.rowCount(notes), 1); // its text node
        const QModelIndex text = model.index(0, DomModel::SizeColumn, notes);
        QCOMPARE(text.parent(), notes);
        QCOMPARE(text.data().toLongLong(), 0);

        // Nodes without attributes cannot take a value, and say so.
        const QModelIndex comment = model.index(0, DomModel::NameColumn, rootElement);
        QVERIFY(!(model.flags(comment) & Qt::ItemIsEditable));
        QVERIFY(!model.setData(comment, QStringLiteral("x")));
        QVERIFY(model.flags(notes) & Qt::ItemIsEditable);

        QCOMPARE(model.columnCount(binIndex(model)), 6);
        QStringList headers;
        for (int section = 0; section < model.columnCount(); ++section)
            headers << model.headerData(section, Qt::Horizontal).toString();
        QCOMPARE(headers, (QStringList{"Name", "Date", "Version", "Url", "Size", "crc"}));
        QVERIFY(!model.headerData(0, Qt::Vertical).isValid());
        QVERIFY(!model.headerData(6, Qt::Horizontal).isValid());
    }

    void columnValues_data()
    {
        QTest::addColumn<QList<int>>("path");
        QTest::addColumn<int>("column");
        QTest::addColumn<QVariant>("value");
        const QList<int> a{1, 1, 0}, b{1, 1, 1}, p{1, 1, 2, 0};
        QTest::newRow("name") << a << int(DomModel::NameColumn) << QVariant(QStringLiteral("a.dll"));
        QTest::newRow("date") << a << int(DomModel::DateColumn)
                              << QVariant(QDateTime(QDate(2014, 3, 7), QTime(9, 5, 31, 250)));
        QTest::newRow("version") << a << int(DomModel::VersionColumn) << QVariant(QStringLiteral("1.2"));
        QTest::newRow("url") << a << int(DomModel::UrlColumn) << QVariant(QStringLiteral("bin/a.dll"));
        QTest::newRow("size") << a << int(DomModel::SizeColumn) << QVariant(qlonglong(12345));
        QTest::newRow("size not a number") << b << int(DomModel::SizeColumn) << QVariant(qlonglong(0));
        QTest::newRow("size past 2 GiB") << p << int(DomModel::SizeColumn) << QVariant(qlonglong(3000000000LL));
        QTest::newRow("size absent") << QList<int>{1, 1} << int(DomModel::SizeColumn) << QVariant(qlonglong(0));
        QTest::newRow("crc on one line") << b << int(DomModel::CrcColumn) << QVariant(QStringLiteral("line1line2"));
        QTest::newRow("version absent") << b << int(DomModel::VersionColumn) << QVariant(QString());
    }

    void columnValues()
    {
        QFETCH(QList<int>, path);
        QFETCH(int, column);
        QFETCH(QVariant, value);
        DomModel model(loadManifest());
        QModelIndex index;
        for (int row : path)
            index = model.index(row, 0, index);
        index = index.sibling(index.row(), column);
        QCOMPARE(index.data(Qt::DisplayRole), value);
        QCOMPARE(index.data(Qt::EditRole), value);
        QVERIFY(!index.data(Qt::ToolTipRole).isValid());
    }

    void editsReachTheDocument()
    {
        QDomDocument document = loadManifest();
        DomModel model(document);
        const QModelIndex bin = binIndex(model);
        QDomElement a = document.documentElement().firstChildElement().firstChildElement();
        QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);

        // The date goes back without its milliseconds.
        const QModelIndex date = model.index(0, DomModel::DateColumn, bin);
        QVERIFY(model.setData(date, date.data(Qt::EditRole)));
        QCOMPARE(a.attribute("date"), QStringLiteral("2014-03-07T09:05:31"));

        const QModelIndex size = model.index(0, DomModel::SizeColumn, bin);
        QVERIFY(model.setData(size, QStringLiteral("12a")));
        QCOMPARE(a.attribute("size"), QStringLiteral("12a"));
        QCOMPARE(size.data().toLongLong(), 0);
        QCOMPARE(changed.count(), 2);
        QCOMPARE(changed.last().at(0).toModelIndex(), size);

        // The crc column shows one line, but the stored value is left as it was.
        QCOMPARE(a.nextSiblingElement().attribute("crc"), QStringLiteral("line1\nline2"));

        QVERIFY(!model.setData(QModelIndex(), QStringLiteral("x")));
        QVERIFY(!model.setData(size, QStringLiteral("1"), Qt::DecorationRole));
        QCOMPARE(a.attribute("size"), QStringLiteral("12a"));
    }

    void removingARowRekeysLaterItems()
    {
        QDomDocument document = loadManifest();
        DomModel model(document);
        const QModelIndex bin = binIndex(model);
        // Let the view-side items exist for all three rows and for the grandchild.
        const QPersistentModelIndex plugins = model.index(2, 0, bin);
        QCOMPARE(model.index(0, 0, plugins).data().toString(), QStringLiteral("p.dll"));
        QSignalSpy removed(&model, &QAbstractItemModel::rowsRemoved);

        QVERIFY(model.removeRow(1, bin));
        QCOMPARE(removed.count(), 1);
        QCOMPARE(names(model, bin), (QStringList{"a.dll", "plugins"}));
        QCOMPARE(plugins.row(), 1);
        const QModelIndex p = model.index(0, 0, model.index(1, 0, bin));
        QCOMPARE(p.data().toString(), QStringLiteral("p.dll"));
        QCOMPARE(p.parent().row(), 1);
        QCOMPARE(p.parent().data().toString(), QStringLiteral("plugins"));
        // The node left the document too.
        QDomElement binElement = document.documentElement().firstChildElement();
        QCOMPARE(binElement.childNodes().count(), 2);
        QCOMPARE(binElement.lastChild().toElement().attribute("name"), QStringLiteral("plugins"));

        // Removing the last child leaves no stale item for a node added later.
        QVERIFY(model.removeRow(1, bin));
        QVERIFY(!model.index(1, 0, bin).isValid());
        QDomElement fresh = document.createElement("file");
        fresh.setAttribute("name", "fresh.dll");
        binElement.appendChild(fresh);
        QCOMPARE(model.index(1, 0, bin).data().toString(), QStringLiteral("fresh.dll"));
        QCOMPARE(model.rowCount(model.index(1, 0, bin)), 0);
    }

    void removeRowsHonoursTheCount_data()
    {
        QTest::addColumn<int>("row");
        QTest::addColumn<int>("count");
        QTest::addColumn<QStringList>("left"); // unchanged: refused
        QTest::newRow("one") << 0 << 1 << QStringList{"b.dll", "plugins"};
        QTest::newRow("two") << 0 << 2 << QStringList{"plugins"};
        QTest::newRow("past the end") << 0 << 5 << QStringList{"a.dll", "b.dll", "plugins"};
        QTest::newRow("no such row") << 3 << 1 << QStringList{"a.dll", "b.dll", "plugins"};
    }

    void removeRowsHonoursTheCount()
    {
        QFETCH(int, row);
        QFETCH(int, count);
        QFETCH(QStringList, left);
        DomModel model(loadManifest());
        const QModelIndex bin = binIndex(model);
        QCOMPARE(model.removeRows(row, count, bin), left.size() < 3);
        QCOMPARE(names(model, bin), left);
    }
};

QTEST_MAIN(TestDomModel)
#include "tst_dommodel.moc"
