#include "testfiles.h"
#include "dommodel.h"
#include "manifest.h"
#include "manifesteditor.h"
#include "filechooser.h"

#include <QElapsedTimer>
#include <QFileDialog>
#include <QPointer>
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
    QPointer<QWidget> m_answered; // the last modal window answered, and when
    QElapsedTimer m_answeredAt;

    // Gives the editor the next scripted name instead of opening a dialog.
    class ScriptedChooser : public FileChooser
    {
    public:
        explicit ScriptedChooser(TestManifestEditor *test) : m_test(test) {}
        QString existingFolder(QWidget *, const QString &) override { return m_test->nextName("a folder"); }
        QString openFileName(QWidget *) override { return m_test->nextName("a file to open"); }
        QString saveFileName(QWidget *, const QString &, const QString &) override
        {
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

    // The standard chooser really opens the folder dialog; cancelling it
    // changes nothing.
    void folderDialogAppears()
    {
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
        QCOMPARE(status(), QStringLiteral("Checksum: 1 entry updated, 1 changed. "
                                          "The global checksum no longer matches the tree."));

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

    // Started in another folder, the checksum finds none of the files: the
    // entries keep their checksums and the status bar says so.
    void checksumLeavesUnreadableEntries()
    {
        QVERIFY(openApp());
        const QString before = contentOf(root());
        const QModelIndex bin = model()->index(1, 0, model()->index(0, 0));
        selectRows({model()->index(0, 0, model()->index(0, 0)), model()->index(0, 0, bin), model()->index(1, 0, bin)});
        click("crcButton");
        QCOMPARE(contentOf(root()), before);
        QCOMPARE(status(), QStringLiteral("Checksum: 3 files not readable below %1, left unchanged "
                                          "(readme.txt: No such file or directory); 0 entries updated, 0 changed.")
                               .arg(QDir::toNativeSeparators(m_dir.path())));
    }

    // A manifest named on the command line is shown at start, under its name.
    void commandLineOpensManifest()
    {
        QVERIFY(writeFile(path("start.xml"), "<UPDATE_STRUCTURE name=\"ROOT\"><file name=\"a\"/></UPDATE_STRUCTURE>"));
        QProcess xserver;
        xserver.start(QStringLiteral("Xvfb"), {"-displayfd", "1", "-nolisten", "tcp"});
        QVERIFY(xserver.waitForReadyRead(20000));
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("DISPLAY", ':' + QString::fromLatin1(xserver.readLine().trimmed()));
        env.insert("QT_QPA_PLATFORM", "xcb");
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
        xserver.kill();
        xserver.waitForFinished();
        QVERIFY(found);
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
