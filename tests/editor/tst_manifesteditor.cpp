#include "testfiles.h"
#include "comparedialog.h"
#include "dommodel.h"
#include "manifest.h"
#include "manifesteditor.h"
#include "filechooser.h"
#include "windowchecks.h"
#include "xvfbdisplay.h"

#include <QElapsedTimer>
#include <QFileDialog>
#include <QHeaderView>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPointer>
#include <QScreen>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QStatusBar>
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

    // One expected step of an action: a file or folder name the editor asks
    // for (answered by the chooser below, no dialog), or a modal window
    // answered once it is up.
    struct Answer
    {
        std::function<void(QWidget *)> modal; // null for a name
        QString name;
        std::function<void()> then; // runs once the name is given
    };
    QList<Answer> m_script;
    QStringList m_scriptProblems;
    QTimer m_modalWatch;
    QString m_proposed; // what the editor proposed last when asking for a file
    QPointer<QWidget> m_answered; // the last modal window answered, and when
    QElapsedTimer m_answeredAt;

    // Gives the editor the next scripted name instead of opening a dialog.
    class ScriptedChooser : public FileChooser
    {
    public:
        explicit ScriptedChooser(TestManifestEditor *test) : m_test(test) {}
        QString existingFolder(QWidget *, const QString &) override { return m_test->nextName("a folder"); }
        QString openFileName(QWidget *, const QString &, const QString &proposed) override
        {
            m_test->m_proposed = proposed;
            return m_test->nextName("a file to open");
        }
        QString saveFileName(QWidget *, const QString &proposed, const QString &) override
        {
            m_test->m_proposed = proposed;
            return m_test->nextName("a file to save");
        }

    private:
        TestManifestEditor *m_test;
    };

    QString nextName(const char *what)
    {
        if (m_script.isEmpty() || m_script.first().modal) {
            m_scriptProblems << QStringLiteral("the editor asked for %1 out of turn").arg(QLatin1String(what));
            return QString();
        }
        const Answer step = m_script.takeFirst();
        ++m_modals;
        if (step.then)
            step.then();
        return step.name;
    }

    // Answers modal windows in script order. A modal window nobody expects,
    // or one still up 10 s after its answer, fails the test with its title
    // and is closed, so that the event loop is never blocked for good.
    void watchModals()
    {
        QWidget *modal = QApplication::activeModalWidget();
        if (!modal)
            return;
        if (modal == m_answered) {
            if (m_answeredAt.elapsed() < 10000)
                return;
            m_scriptProblems << QStringLiteral("modal window \"%1\" still open 10 s after its answer")
                                    .arg(modal->windowTitle());
        } else if (!m_script.isEmpty() && m_script.first().modal) {
            const Answer step = m_script.takeFirst();
            ++m_modals;
            m_answered = modal;
            m_answeredAt.start();
            step.modal(modal);
            return;
        } else {
            m_scriptProblems << QStringLiteral("unexpected modal window \"%1\"").arg(modal->windowTitle());
        }
        m_answered = nullptr;
        if (auto *dialog = qobject_cast<QDialog *>(modal))
            dialog->reject();
        else
            modal->close();
    }

    // A file or folder name the editor asks for; `then` runs once it is
    // given, before the slot that asked goes on.
    static Answer file(const QString &path, std::function<void()> then = {}) { return {{}, path, then}; }

    // A message box answered with button; its caption and text are kept.
    static Answer box(QMessageBox::StandardButton button, QString *caption = nullptr, QString *text = nullptr)
    {
        return {[button, caption, text](QWidget *modal) {
                    auto *messageBox = qobject_cast<QMessageBox *>(modal);
                    QVERIFY2(messageBox, qPrintable(modal->windowTitle()));
                    if (caption)
                        *caption = messageBox->windowTitle();
                    if (text)
                        *text = messageBox->text();
                    QVERIFY(messageBox->button(button));
                    messageBox->button(button)->click();
                },
                QString(),
                {}};
    }

    void whenModals(const QList<Answer> &answers) { m_script = answers; }

    // Clicks a button, answering what it asks in turn.
    void click(const char *button, QList<Answer> answers = {})
    {
        whenModals(answers);
        m_editor->findChild<QPushButton *>(button)->click();
    }
    void click(const char *button, const QString &answer) { click(button, {file(answer)}); }

    QString status() const { return m_editor->findChild<QStatusBar *>("statusBar")->currentMessage(); }

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
        m_editor->setFileChooser(std::make_unique<ScriptedChooser>(this));
        m_modals = 0;
        m_script.clear();
        m_scriptProblems.clear();
        m_answered = nullptr;
        connect(&m_modalWatch, &QTimer::timeout, this, &TestManifestEditor::watchModals, Qt::UniqueConnection);
        m_modalWatch.start(5);
    }

    void cleanup()
    {
        m_modalWatch.stop();
        QVERIFY2(m_scriptProblems.isEmpty(), qPrintable(m_scriptProblems.join("; ")));
    }

    // Without a manifest the buttons do nothing. The standard chooser really
    // opens the folder dialog; cancelling it changes nothing.
    void folderDialogAppears()
    {
        for (const char *button : {"addFolderButton", "saveButton", "deleteButton", "crcButton", "globalCrcButton"})
            m_editor->findChild<QPushButton *>(button)->click();
        QCoreApplication::processEvents();
        QCOMPARE(m_modals, 0);
        m_editor->setFileChooser(std::make_unique<FileChooser>());
        QString title;
        click("openFolderButton", {{[&title](QWidget *modal) {
                                        QVERIFY2(qobject_cast<QFileDialog *>(modal), qPrintable(modal->windowTitle()));
                                        title = modal->windowTitle();
                                        static_cast<QDialog *>(modal)->reject();
                                    },
                                    QString(),
                                    {}}});
        QCOMPARE(title, QStringLiteral("..."));
        QCOMPARE(m_modals, 1);
        QVERIFY(!view()->model());
    }

    void openFolderSavesWhatTheToolWritesThenAddFolder()
    {
        QVERIFY(openApp());
        QPointer<QAbstractItemModel> first = model();
        QVERIFY(view()->isExpanded(model()->index(1, 0, model()->index(0, 0))));
        QCOMPARE(m_editor->windowTitle(), QStringLiteral("Untitled[*] - Manifest editor"));
        QVERIFY(m_editor->isWindowModified()); // on disk nowhere yet
        click("openFolderButton", {box(QMessageBox::Discard), file(path("app"))});
        QTRY_VERIFY(model() != first);
        QVERIFY(first.isNull()); // the replaced model is released

        click("saveButton", path("editor.xml"));
        QTRY_VERIFY(QFile::exists(path("editor.xml")));
        // Beside the folder, named after it; then the file saved.
        QCOMPARE(m_proposed, path("app.xml"));
        QCOMPARE(m_editor->windowTitle(), QStringLiteral("editor.xml[*] - Manifest editor"));
        QVERIFY(!m_editor->isWindowModified());
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
        QVERIFY(m_editor->isWindowModified());
        click("saveButton", path("editor.xml"));
        QCOMPARE(m_proposed, path("editor.xml"));
    }

    void deleteSeveralRowsThenGlobalCrc()
    {
        QVERIFY(openApp());
        // readme.txt, then bin holding a.dll, b.dll and plugins/p.so.
        const QModelIndex top = model()->index(0, 0);
        const QModelIndex bin = model()->index(1, 0, top);
        // The root stays: a manifest without it is not one.
        const QString crc = root().attribute("crc"), before = model()->document().toString();
        const int steps = m_editor->undoStack()->count();
        selectRows({top, bin});
        click("deleteButton");
        QCOMPARE(model()->document().toString(), before);
        QCOMPARE(status(), QStringLiteral("The root entry ROOT cannot be deleted; delete the entries below it instead."));
        QCOMPARE(m_editor->undoStack()->count(), steps);

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
        QTest::newRow("nested too deep") << QByteArray("<d>").repeated(300) + QByteArray("</d>").repeated(300) << false
                                         << "Couldn't parse %1: ";
    }

    void openManifestReportsWhatItCannotShow()
    {
        QFETCH(QByteArray, content);
        QFETCH(bool, vanish);
        QFETCH(QString, message);
        const QString manifest = path("m.xml");
        QVERIFY(writeFile(manifest, content));
        QVERIFY(openApp());
        QPointer<DomModel> shown = model();

        QString caption, text;
        QList<Answer> answers{box(QMessageBox::Discard), file(manifest, [&] {
                                  if (vanish)
                                      QFile::remove(manifest);
                              })};
        if (!message.isEmpty())
            answers << box(QMessageBox::Ok, &caption, &text);
        click("openManifestButton", answers);
        if (message.isEmpty()) {
            QCOMPARE(model()->rowCount(), 2); // the declaration makes a row
            QCOMPARE(model()->index(1, 0).data().toString(), QStringLiteral("ROOT"));
            QCOMPARE(m_editor->windowTitle(), QStringLiteral("m.xml[*] - Manifest editor"));
            QVERIFY(!m_editor->isWindowModified());
        } else {
            QCOMPARE(caption, QStringLiteral("XMLError::parseXML"));
            QVERIFY2(text.startsWith(message.arg(manifest)), qPrintable(text));
            QCOMPARE(model(), shown.data());
            QCOMPARE(m_editor->windowTitle(), QStringLiteral("Untitled[*] - Manifest editor"));
        }
    }

    // Closing, or showing another manifest, over unsaved changes asks first.
    void unsavedChangesAreNotLostSilently_data()
    {
        QTest::addColumn<QString>("action"); // a button, or "close"
        QTest::addColumn<int>("answer");
        QTest::addColumn<bool>("goesOn");
        for (const char *action : {"close", "openManifestButton", "openFolderButton"}) {
            QTest::addRow("%s, cancel", action) << action << int(QMessageBox::Cancel) << false;
            QTest::addRow("%s, discard", action) << action << int(QMessageBox::Discard) << true;
            QTest::addRow("%s, save", action) << action << int(QMessageBox::Save) << true;
        }
    }

    void unsavedChangesAreNotLostSilently()
    {
        QFETCH(QString, action);
        QFETCH(int, answer);
        QFETCH(bool, goesOn);
        QVERIFY(openApp());
        click("saveButton", path("first.xml"));
        QVERIFY(!m_editor->isWindowModified());
        m_editor->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_editor.get()));
        QVERIFY(model()->setData(model()->index(0, DomModel::VersionColumn, model()->index(0, 0)), "7"));
        QVERIFY(m_editor->isWindowModified());
        QPointer<DomModel> shown = model();

        QList<Answer> answers{box(QMessageBox::StandardButton(answer))};
        if (answer == QMessageBox::Save)
            answers << file(path("second.xml"));
        if (goesOn && action != "close")
            answers << file(action == "openFolderButton" ? path("app") : path("first.xml"));
        bool closed = false;
        m_modals = 0;
        if (action == "close") {
            whenModals(answers);
            closed = m_editor->close();
        } else {
            click(qPrintable(action), answers);
        }
        QCOMPARE(m_modals, answers.size());
        QCOMPARE(closed || model() != shown.data(), goesOn);
        QCOMPARE(m_editor->isVisible(), !closed);
        QCOMPARE(QFile::exists(path("second.xml")), answer == QMessageBox::Save);
        if (answer == QMessageBox::Save)
            QVERIFY(readFile(path("second.xml")).contains("version=\"7\""));
        if (goesOn && action == "openManifestButton")
            QVERIFY(!m_editor->isWindowModified());
    }

    // Saving over a stale global checksum asks whether to update it first.
    void staleGlobalChecksumOnSave_data()
    {
        QTest::addColumn<int>("answer");
        QTest::newRow("update") << int(QMessageBox::Yes);
        QTest::newRow("keep") << int(QMessageBox::No);
        QTest::newRow("cancel") << int(QMessageBox::Cancel);
    }

    void staleGlobalChecksumOnSave()
    {
        QFETCH(int, answer);
        QVERIFY(openApp());
        const QString before = root().attribute("crc");
        selectRows({model()->index(0, 0, model()->index(0, 0))}); // readme.txt
        click("deleteButton");

        QString text;
        QList<Answer> answers{box(QMessageBox::StandardButton(answer), nullptr, &text)};
        if (answer != QMessageBox::Cancel)
            answers << file(path("saved.xml"));
        m_modals = 0;
        click("saveButton", answers);
        QCOMPARE(text, QStringLiteral("The global checksum no longer matches the tree."));
        QCOMPARE(m_modals, answers.size());
        const QDomDocument saved = readManifestDocument(path("saved.xml"));
        QCOMPARE(saved.isNull(), answer == QMessageBox::Cancel);
        if (answer == QMessageBox::Yes)
            QCOMPARE(saved.documentElement().attribute("crc"), Manifest(root()).globalChecksum());
        if (answer == QMessageBox::No)
            QCOMPARE(saved.documentElement().attribute("crc"), before);
    }

    // Checksums are read below the folder the manifest came from: the
    // scanned folder, the opened manifest's folder, or for an added folder
    // where that folder is. Files that cannot be read, or urls that would
    // leave the folder, keep their entries as they were and are reported.
    void checksumReadsBelowTheManifestsFolder_data()
    {
        QTest::addColumn<QString>("source"); // how the manifest came
        QTest::addColumn<QString>("url");    // of the entry checked, set first when not empty
        QTest::addColumn<QString>("status");
        const QString one = "Checksum: 1 entry updated, 1 changed. The global checksum no longer matches the tree.";
        QTest::newRow("scanned folder") << "folder" << "" << one;
        QTest::newRow("opened manifest") << "manifest" << "" << one;
        QTest::newRow("added folder") << "added" << "" << one;
        QTest::newRow("file gone") << "folder" << "gone.txt"
                                   << "Checksum: 1 file not readable below %1, left unchanged (gone.txt: No such file or "
                                      "directory); 0 entries updated, 0 changed.";
        QTest::newRow("url leaves the folder") << "folder" << "../tools.extra/x.txt"
                                               << "Checksum: 1 file not readable below %1, left unchanged "
                                                  "(../tools.extra/x.txt: not below the folder); 0 entries updated, 0 changed.";
    }
    void checksumReadsBelowTheManifestsFolder()
    {
        QFETCH(QString, source);
        QFETCH(QString, url);
        QVERIFY(openApp());
        QModelIndex entry = model()->index(0, 0, model()->index(0, 0)); // readme.txt
        QString changed = path("app/readme.txt");
        if (source == "manifest") {
            click("saveButton", path("app/m.xml"));
            click("openManifestButton", path("app/m.xml"));
            QTRY_COMPARE(m_editor->windowTitle(), QStringLiteral("m.xml[*] - Manifest editor"));
            entry = model()->index(0, 0, model()->index(1, 0)); // after the declaration
        } else if (source == "added") {
            click("addFolderButton", path("tools.extra"));
            QTRY_VERIFY(root().lastChildElement().attribute("name") == "tools.extra");
            const QModelIndex added = model()->index(model()->rowCount(model()->index(0, 0)) - 1, 0, model()->index(0, 0));
            entry = model()->index(0, 0, added);
            changed = path("tools.extra/x.txt");
        }
        if (!url.isEmpty())
            QVERIFY(model()->setData(entry.sibling(entry.row(), DomModel::UrlColumn), url));
        QVERIFY(writeFile(changed, "changed"));
        QVERIFY(QDir::setCurrent(path("tools.extra"))); // started anywhere
        const QString before = contentOf(root());
        const QModelIndex folder = entry.sibling(entry.row() + 1, 0); // bin, if any: a folder takes no checksum
        selectRows({entry, folder});
        click("crcButton");
        const QDomElement element = model()->node(entry).toElement();
        if (url.isEmpty())
            QCOMPARE(element.attribute("crc") + ' ' + element.attribute("size"), hashHex("changed", QCryptographicHash::Sha1) + " 7");
        else
            QCOMPARE(contentOf(root()), before);
        QVERIFY(!folder.isValid() || !model()->node(folder).toElement().hasAttribute("crc"));
        QFETCH(QString, status);
        QCOMPARE(this->status(), status.arg(QDir::toNativeSeparators(path("app"))));
    }

    // Every change can be undone and redone, exactly, from the keyboard;
    // undoing back to what was saved leaves nothing unsaved.
    void undoAndRedo_data()
    {
        QTest::addColumn<QString>("action");
        QTest::newRow("edit") << "edit";
        QTest::newRow("delete") << "delete";
        QTest::newRow("checksum") << "checksum";
        QTest::newRow("global checksum") << "global checksum";
        QTest::newRow("add folder") << "add folder";
    }
    void undoAndRedo()
    {
        QFETCH(QString, action);
        QVERIFY(openApp());
        // Out of canonical order, with a date in milliseconds: the global
        // checksum sorts, and an edit must not lose what it does not show.
        QDomElement readme = root().firstChildElement();
        readme.setAttribute("date", "2014-03-07T09:05:31.250");
        root().insertAfter(readme, root().lastChild());
        click("saveButton", path("app/saved.xml"));
        click("openManifestButton", path("app/saved.xml"));
        QTRY_COMPARE(m_editor->windowTitle(), QStringLiteral("saved.xml[*] - Manifest editor"));
        m_editor->show();
        QVERIFY(QTest::qWaitForWindowActive(m_editor.get()));
        QVERIFY(!m_editor->isWindowModified());
        const QString before = model()->document().toString();
        const QModelIndex top = model()->index(1, 0); // after the declaration
        if (action == "edit") {
            QVERIFY(model()->setData(model()->index(1, DomModel::DateColumn, top), QDateTime(QDate(2020, 1, 2), QTime(3, 4, 5))));
        } else if (action == "delete") {
            selectRows({model()->index(0, 0, model()->index(0, 0, top)), model()->index(0, 0, top)}); // bin/a.dll and bin
            click("deleteButton");
        } else if (action == "checksum") {
            QVERIFY(writeFile(path("app/readme.txt"), "new text") && writeFile(path("app/bin/b.dll"), "new b"));
            selectRows({model()->index(1, 0, top), model()->index(1, 0, model()->index(0, 0, top))});
            click("crcButton");
        } else if (action == "global checksum") {
            click("globalCrcButton");
        } else {
            click("addFolderButton", path("tools.extra"));
        }
        const QString after = model()->document().toString();
        QVERIFY(after != before);
        QVERIFY(m_editor->isWindowModified());
        // A button's shortcut clicks it a moment later.
        QTest::keyClick(m_editor.get(), Qt::Key_Z, Qt::ControlModifier);
        QTRY_COMPARE(model()->document().toString(), before);
        QVERIFY(!m_editor->isWindowModified());
        QTest::keyClick(m_editor.get(), Qt::Key_Z, Qt::ControlModifier | Qt::ShiftModifier);
        QTRY_COMPARE(model()->document().toString(), after);
        QVERIFY(m_editor->isWindowModified());
        m_editor->undoStack()->undo();
        QCOMPARE(model()->document().toString(), before);
    }

    // At any scale the window starts within the screen, every button and
    // column is in view however long a name, every widget has a name.
    void windowFitsTheScreen()
    {
        QVERIFY(writeFile(path("app/") + QString(200, 'n') + ".dat", "long"));
        const QRect screen = m_editor->screen()->availableGeometry();
        QVERIFY2(m_editor->width() <= screen.width() && m_editor->height() <= screen.height(),
                 qPrintable(QStringLiteral("%1x%2 on %3x%4").arg(m_editor->width()).arg(m_editor->height())
                                .arg(screen.width()).arg(screen.height())));
        QVERIFY(openApp());
        m_editor->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_editor.get()));
        QVERIFY(m_editor->frameGeometry().width() <= screen.width() && m_editor->frameGeometry().height() <= screen.height());
        const QRect inside = m_editor->rect();
        QList<QWidget *> shown{view(), m_editor->findChild<QStatusBar *>()};
        for (QPushButton *button : m_editor->findChildren<QPushButton *>())
            shown << button;
        for (QWidget *widget : qAsConst(shown)) {
            const QRect where(widget->mapTo(m_editor.get(), QPoint(0, 0)), widget->size());
            QVERIFY2(inside.contains(where), qPrintable(widget->objectName()));
        }
        const int width = view()->viewport()->width();
        for (int column = 0; column < DomModel::ColumnCount; ++column) {
            const int left = view()->header()->sectionViewportPosition(column);
            QVERIFY2(left >= 0 && left + qMin(view()->header()->sectionSize(column), 40) <= width,
                     qPrintable(QStringLiteral("column %1 at %2 of %3").arg(column).arg(left).arg(width)));
        }
        QVERIFY(view()->header()->sectionSize(DomModel::NameColumn) < width / 2);
        QCOMPARE(unnamedWidgets(m_editor.get()), QStringList());
        QVERIFY(saveScreenshot(m_editor.get(), "manifesteditor"));
    }

    // A manifest named on the command line is shown at start, under its name.
    void commandLineOpensManifest()
    {
        QVERIFY(writeFile(path("start.xml"), "<UPDATE_STRUCTURE name=\"ROOT\"><file name=\"a\"/></UPDATE_STRUCTURE>"));
        XvfbDisplay display;
        QVERIFY(display.start());
        const QProcessEnvironment env = display.environment();
        QProcess editor;
        editor.setProcessEnvironment(env);
        editor.start(MANIFESTEDITOR_PATH, {path("start.xml")});
        QProcess search;
        search.setProcessEnvironment(env);
        search.start("xdotool", {"search", "--sync", "--onlyvisible", "--name", "^start\\.xml - Manifest editor$"});
        const bool found = search.waitForFinished(20000) && search.exitCode() == 0;
        search.kill();
        editor.kill();
        editor.waitForFinished();
        QVERIFY(found);
    }

    // The comparison is shown in a dialog, between "Distant" and "Local" of
    // the current folder or the files the user chooses; a file that cannot
    // be read is said to count as empty.
    void compareListsDistantAgainstLocal_data()
    {
        const QByteArray distant("<r><file name=\"new.txt\" crc=\"1\"/><file name=\"a.dll\" crc=\"2\"/>"
                                 "<directory name=\"d\"><file name=\"f\"/></directory></r>");
        const QByteArray local("<r><file name=\"a.dll\" crc=\"1\"/><directory name=\"gone\">"
                               "<file name=\"g\"/></directory><file name=\"gone.txt\"/></r>");
        QTest::addColumn<QByteArray>("distant"); // null: no such file
        QTest::addColumn<QByteArray>("local");
        QTest::addColumn<QString>("chosen"); // a distant manifest chosen instead of "Distant"
        QTest::addColumn<QStringList>("expected");
        QTest::addColumn<QString>("summary");
        QTest::newRow("both") << distant << local << ""
                              << QStringList{"new.txt is NEW.", "a.dll is NEW.", "d is NEW.", "f is NEW.",
                                             "gone to DELETE", "gone.txt to DELETE"}
                              << "4 new or changed, 2 to delete.";
        QTest::newRow("no Distant") << QByteArray() << local << ""
                                    << QStringList{"a.dll to DELETE", "gone to DELETE", "gone.txt to DELETE"}
                                    << "Distant %1 cannot be read (";
        QTest::newRow("chosen instead") << QByteArray() << local << "chosen.xml" << QStringList() << "No difference.";
    }

    void compareListsDistantAgainstLocal()
    {
        QFETCH(QByteArray, distant);
        QFETCH(QByteArray, local);
        QFETCH(QString, chosen);
        for (const auto &file : {qMakePair(QStringLiteral("Distant"), distant), qMakePair(QStringLiteral("Local"), local)})
            QVERIFY(file.second.isNull() || writeFile(path(file.first), file.second));
        QVERIFY(writeFile(path("chosen.xml"), local));
        debugLines.clear();
        const QtMessageHandler previous = qInstallMessageHandler(collectDebug);
        click("pushButton");
        auto *dialog = m_editor->findChild<CompareDialog *>();
        QVERIFY(dialog && dialog->isVisible());
        QCOMPARE(dialog->distantPath(), path("Distant"));
        QCOMPARE(dialog->localPath(), path("Local"));
        if (!chosen.isEmpty()) {
            whenModals({file(path(chosen))});
            dialog->findChild<QPushButton *>("distantBrowse")->click();
            QCOMPARE(m_proposed, path("Distant"));
            QCOMPARE(dialog->distantPath(), path(chosen));
            debugLines.clear();
        }
        qInstallMessageHandler(previous);
        QFETCH(QStringList, expected);
        QCOMPARE(dialog->differences(), expected);
        QCOMPARE(debugLines, expected);
        QCOMPARE(dialog->findChild<QPlainTextEdit *>("resultView")->toPlainText(), expected.join('\n'));
        QFETCH(QString, summary);
        const QString shown = dialog->findChild<QLabel *>("summaryLabel")->text();
        QVERIFY2(shown.startsWith(QString(summary).replace("%1", QDir::toNativeSeparators(path("Distant")))), qPrintable(shown));
        QCOMPARE(unnamedWidgets(dialog), QStringList());
    }
};

QTEST_MAIN(TestManifestEditor)
#include "tst_manifesteditor.moc"
