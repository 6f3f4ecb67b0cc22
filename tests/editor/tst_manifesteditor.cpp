#include "testfiles.h"
#include "dommodel.h"
#include "manifest.h"
#include "manifesteditor.h"

#include <QFileDialog>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTreeView>
#include <QtTest>

#include <functional>

namespace {

QStringList debugLines;
void collectDebug(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type == QtDebugMsg)
        debugLines << message;
}

// The saved tree with each element's attributes in name order, leaving
// out the creation stamp: the writer's attribute order carries no meaning.
QString contentOf(const QDomElement &element, int depth = 0)
{
    QStringList attributes;
    const QDomNamedNodeMap map = element.attributes();
    for (int i = 0; i < map.count(); ++i) {
        if (map.item(i).nodeName() != "date")
            attributes << map.item(i).nodeName() + "=" + map.item(i).nodeValue();
    }
    attributes.sort();
    QString result = QString(depth, ' ') + element.tagName() + " " + attributes.join(' ') + "\n";
    for (QDomElement child = element.firstChildElement(); !child.isNull(); child = child.nextSiblingElement())
        result += contentOf(child, depth + 1);
    return result;
}

} // namespace

class TestManifestEditor : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    std::unique_ptr<ManifestEditor> m_editor;
    int m_modals = 0;

    QString path(const QString &relative) const { return m_dir.filePath(relative); }
    QTreeView *view() const { return m_editor->findChild<QTreeView *>("treeView"); }
    DomModel *model() const { return qobject_cast<DomModel *>(view()->model()); }
    QDomElement root() const { return model()->document().documentElement(); }

    // Answers the next modal window from a timer, once the slot has opened it.
    void whenModal(std::function<void(QWidget *)> answer)
    {
        auto *timer = new QTimer(this);
        connect(timer, &QTimer::timeout, this, [this, timer, answer] {
            if (QWidget *modal = QApplication::activeModalWidget()) {
                timer->deleteLater();
                timer->stop();
                ++m_modals;
                answer(modal);
            }
        });
        timer->start(5);
    }

    // Clicks a button; a file dialog it opens is answered with the given file.
    void click(const char *button, const QString &answer = QString(), std::function<void()> then = {})
    {
        if (!answer.isNull()) {
            whenModal([answer, then](QWidget *modal) {
                auto *dialog = qobject_cast<QFileDialog *>(modal);
                QVERIFY(dialog);
                dialog->selectFile(answer);
                static_cast<QDialog *>(dialog)->accept();
                if (then)
                    then();
            });
        }
        m_editor->findChild<QPushButton *>(button)->click();
    }

    bool openApp()
    {
        click("openFolderButton", path("app"));
        return QTest::qWaitFor([this] { return model() != nullptr; });
    }

    void selectRows(const QList<QModelIndex> &rows)
    {
        for (const QModelIndex &row : rows)
            view()->selectionModel()->select(row, QItemSelectionModel::Select | QItemSelectionModel::Rows);
    }

private slots:
    void init()
    {
        QVERIFY(QDir(m_dir.path()).removeRecursively() && QDir().mkpath(m_dir.path()));
        QVERIFY(QDir::setCurrent(m_dir.path()));
        QVERIFY(writeFile(path("app/readme.txt"), "hello"));
        QVERIFY(writeFile(path("app/bin/a.dll"), "abc"));
        QVERIFY(writeFile(path("app/bin/b.dll"), "bbb"));
        QVERIFY(writeFile(path("app/bin/plugins/p.so"), "ppp"));
        QVERIFY(writeFile(path("tools.extra/x.txt"), "x"));
        m_editor = std::make_unique<ManifestEditor>();
        m_modals = 0;
    }

    void openFolderSavesWhatTheToolWritesThenAddFolder()
    {
        QVERIFY(openApp());
        QPointer<QAbstractItemModel> first = model();
        QVERIFY(view()->isExpanded(model()->index(1, 0, model()->index(0, 0))));
        click("openFolderButton", path("app"));
        QTRY_VERIFY(model() != first);
        QVERIFY(first.isNull()); // the replaced model is released

        click("saveButton", path("editor.xml"));
        QTRY_VERIFY(QFile::exists(path("editor.xml")));
        QCOMPARE(QProcess::execute(MANIFESTTOOL_PATH, {"create", path("app"), "-o", path("tool.xml")}), 0);
        const QDomDocument saved = readManifestDocument(path("editor.xml"));
        const QDomDocument tool = readManifestDocument(path("tool.xml"));
        QCOMPARE(contentOf(saved.documentElement()), contentOf(tool.documentElement()));

        // An added folder becomes a directory at the end, and the global crc follows.
        const QString crc = root().attribute("crc");
        click("addFolderButton", path("tools.extra"));
        QTRY_VERIFY(root().lastChildElement().attribute("name") == "tools.extra");
        const QDomElement added = root().lastChildElement();
        QCOMPARE(added.tagName(), QStringLiteral("directory"));
        QCOMPARE(added.firstChildElement().attribute("url"), QStringLiteral("tools.extra/x.txt"));
        QCOMPARE(root().attribute("name"), QStringLiteral("ROOT"));
        QVERIFY(root().attribute("crc") != crc);
        QCOMPARE(Manifest(root()).globalChecksum(), root().attribute("crc"));
    }

    void crcThenDeleteSeveralRowsThenGlobalCrc()
    {
        QVERIFY(openApp());
        // readme.txt, then bin holding a.dll, b.dll and plugins/p.so.
        const QModelIndex top = model()->index(0, 0);
        const QModelIndex bin = model()->index(1, 0, top);
        // The crc reads the url below the current folder, not the scanned one.
        QVERIFY(writeFile(path("bin/a.dll"), "abcd"));
        selectRows({model()->index(0, 0, bin), bin});
        click("crcButton");
        const QDomElement a = root().firstChildElement("directory").firstChildElement();
        QCOMPARE(a.attribute("crc"), QStringLiteral("81fe8bfe87576c3ecb22426f8e57847382917acf"));
        QCOMPARE(a.attribute("size"), QStringLiteral("4"));
        QVERIFY(!root().firstChildElement("directory").hasAttribute("crc"));

        const QString crc = root().attribute("crc");
        view()->selectionModel()->clearSelection();
        selectRows({model()->index(0, 0, bin), model()->index(1, 0, bin), model()->index(2, 0, bin),
                    model()->index(0, 0, model()->index(2, 0, bin)), model()->index(0, 0, top)});
        click("deleteButton");
        QCOMPARE(model()->rowCount(top), 1);
        QCOMPARE(model()->rowCount(bin), 0);
        QCOMPARE(root().firstChildElement().attribute("name"), QStringLiteral("bin"));
        QVERIFY(!root().firstChildElement().hasChildNodes());
        QCOMPARE(root().attribute("crc"), crc); // nothing is recomputed on delete

        click("globalCrcButton");
        QCOMPARE(root().attribute("crc"), hashHex("bin", QCryptographicHash::Sha1));
    }

    void openManifestReportsWhatItCannotShow_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<bool>("vanish");
        QTest::addColumn<QString>("message");
        QTest::newRow("good") << QByteArray("<?xml version=\"1.0\"?>\n<UPDATE_STRUCTURE name=\"ROOT\"/>\n") << false
                              << QString();
        QTest::newRow("unreadable") << QByteArray("<a/>") << true << "Couldn't open %1";
        QTest::newRow("malformed") << QByteArray("<a>\n<b>\n</a>\n") << false << "Couldn't parse %1: ";
    }

    void openManifestReportsWhatItCannotShow()
    {
        QFETCH(QByteArray, content);
        QFETCH(bool, vanish);
        QFETCH(QString, message);
        const QString file = path("m.xml");
        QVERIFY(writeFile(file, content));
        QVERIFY(openApp());
        QPointer<DomModel> shown = model();

        QString caption, text;
        click("openManifestButton", file, [&] {
            if (vanish)
                QFile::remove(file);
            if (!message.isEmpty()) {
                whenModal([&](QWidget *box) {
                    caption = box->windowTitle();
                    text = qobject_cast<QMessageBox *>(box)->text();
                    qobject_cast<QMessageBox *>(box)->button(QMessageBox::Ok)->click();
                });
            }
        });
        if (message.isEmpty()) {
            QCOMPARE(model()->rowCount(), 2); // the declaration makes a row
            QCOMPARE(model()->index(1, 0).data().toString(), QStringLiteral("ROOT"));
        } else {
            QCOMPARE(caption, QStringLiteral("XMLError::parseXML"));
            QVERIFY2(text.startsWith(message.arg(file)), qPrintable(text));
            QCOMPARE(model(), shown.data());
        }
    }

    void compareListsDistantAgainstLocal_data()
    {
        const QByteArray distant("<r><file name=\"new.txt\" crc=\"1\"/><file name=\"a.dll\" crc=\"2\"/>"
                                 "<directory name=\"d\"><file name=\"f\"/></directory></r>");
        const QByteArray local("<r><file name=\"a.dll\" crc=\"1\"/><directory name=\"gone\">"
                               "<file name=\"g\"/></directory><file name=\"gone.txt\"/></r>");
        QTest::addColumn<QByteArray>("distant"); // null: no such file
        QTest::addColumn<QByteArray>("local");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("both") << distant << local
                              << QStringList{"new.txt is NEW.", "a.dll is NEW.", "d is NEW.", "f is NEW.",
                                             "gone to DELETE", "gone.txt to DELETE"};
        QTest::newRow("no Distant") << QByteArray() << local
                                    << QStringList{"a.dll to DELETE", "gone to DELETE", "gone.txt to DELETE"};
        QTest::newRow("no Local") << distant << QByteArray()
                                  << QStringList{"new.txt is NEW.", "a.dll is NEW.", "d is NEW.", "f is NEW."};
    }

    void compareListsDistantAgainstLocal()
    {
        QFETCH(QByteArray, distant);
        QFETCH(QByteArray, local);
        for (const auto &file : {qMakePair(QStringLiteral("Distant"), distant), qMakePair(QStringLiteral("Local"), local)})
            QVERIFY(file.second.isNull() || writeFile(path(file.first), file.second));
        debugLines.clear();
        const QtMessageHandler previous = qInstallMessageHandler(collectDebug);
        click("pushButton");
        qInstallMessageHandler(previous);
        QTEST(debugLines, "expected");
    }

    void nothingToDoWithoutAManifest()
    {
        for (const char *button : {"addFolderButton", "saveButton", "deleteButton", "crcButton", "globalCrcButton"})
            m_editor->findChild<QPushButton *>(button)->click();
        QCoreApplication::processEvents();
        QCOMPARE(m_modals, 0);
        QVERIFY(!view()->model());
    }
};

QTEST_MAIN(TestManifestEditor)
#include "tst_manifesteditor.moc"
