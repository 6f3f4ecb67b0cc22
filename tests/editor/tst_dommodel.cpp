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

// All six columns of a row, "|"-separated; edit and display values agree.
QString rowText(const QModelIndex &index)
{
    QStringList values;
    for (int column = 0; column < 6; ++column) {
        const QModelIndex cell = index.sibling(index.row(), column);
        const bool agree = cell.data(Qt::EditRole) == cell.data() && !cell.data(Qt::ToolTipRole).isValid();
        values << (agree ? cell.data().toString() : QStringLiteral("<roles differ>"));
    }
    return values.join('|');
}

} // namespace

class TestDomModel : public QObject
{
    Q_OBJECT

private slots:
    void rowsAndColumns()
    {
        DomModel model(loadManifest());
        // The declaration and the root element; the declaration shows nothing.
        QCOMPARE(names(model, QModelIndex()), (QStringList{"", "ROOT"}));
        QCOMPARE(rowText(model.index(0, 0)), QStringLiteral("||||0|"));
        const QModelIndex rootElement = model.index(1, 0);
        QCOMPARE(names(model, rootElement), (QStringList{"", "bin", "notes.txt"})); // the comment first
        const QModelIndex notes = model.index(2, 0, rootElement);
        QCOMPARE(model.rowCount(notes), 1); // its text node
        QCOMPARE(rowText(model.index(0, 0, notes)), QStringLiteral("||||0|"));

        // Nodes without attributes cannot take a value, and say so.
        const QModelIndex comment = model.index(0, DomModel::NameColumn, rootElement);
        QVERIFY(!(model.flags(comment) & Qt::ItemIsEditable));
        QVERIFY(!model.setData(comment, QStringLiteral("x")));
        QVERIFY(model.flags(notes) & Qt::ItemIsEditable);

        const QModelIndex bin = binIndex(model);
        QCOMPARE(model.columnCount(bin), 6);
        QStringList headers;
        for (int section = 0; section < model.columnCount(); ++section)
            headers << model.headerData(section, Qt::Horizontal).toString();
        QCOMPARE(headers, (QStringList{"Name", "Date", "Version", "Url", "Size", "crc"}));
        QVERIFY(!model.headerData(6, Qt::Horizontal).isValid());

        QCOMPARE(rowText(model.index(0, 0, bin)),
                 QStringLiteral("a.dll|2014-03-07T09:05:31.250|1.2|bin/a.dll|12345|aa"));
        // A size that is no number shows 0; the crc shows on one line.
        QCOMPARE(rowText(model.index(1, 0, bin)), QStringLiteral("b.dll|||bin/b.dll|0|line1line2"));
        QCOMPARE(rowText(model.index(0, 0, model.index(2, 0, bin))),
                 QStringLiteral("p.dll|||bin/plugins/p.dll|3000000000|"));
        QCOMPARE(rowText(bin), QStringLiteral("bin||||0|"));
        const QModelIndex date = model.index(0, DomModel::DateColumn, bin);
        QCOMPARE(date.data(), QVariant(QDateTime(QDate(2014, 3, 7), QTime(9, 5, 31, 250))));
        QCOMPARE(model.index(0, DomModel::SizeColumn, bin).data(), QVariant(qlonglong(12345)));
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
        // Re-checks the model's contract on every change below.
        QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
        const QModelIndex bin = binIndex(model);
        // Let the view-side items exist for all three rows and for the grandchild.
        const QPersistentModelIndex plugins = model.index(2, 0, bin);
        QCOMPARE(model.index(0, 0, plugins).data().toString(), QStringLiteral("p.dll"));
        QSignalSpy removed(&model, &QAbstractItemModel::rowsRemoved);
        // Rows past the end refuse the whole removal.
        QVERIFY(!model.removeRows(0, 5, bin) && !model.removeRows(3, 1, bin));
        QCOMPARE(removed.count(), 0);

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
        QVERIFY(model.removeRows(0, 2, bin) && model.removeRow(1, model.index(1, 0))); // then bin itself
        QCOMPARE(names(model, model.index(1, 0)), (QStringList{"", "notes.txt"}));
    }
};

QTEST_MAIN(TestDomModel)
#include "tst_dommodel.moc"
