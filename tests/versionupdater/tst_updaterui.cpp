// The versionupdater window: command line, version list, window states and
// the restart button, against a real HTTP server on 127.0.0.1.
#include "testfiles.h"
#include "testhttpserver.h"
#include "updaterui.h"
#include "versionupdatersettings.h"

#include <QtTest>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>

#include <memory>

namespace {
const char kChildVariable[] = "VERSIONUPDATER_RESTART_MARKER";

// Answers every modal box with Ok and notes "caption|text" in order.
class BoxAnswerer : public QObject
{
public:
    BoxAnswerer()
    {
        connect(&m_timer, &QTimer::timeout, this, [this] {
            if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
                seen.append(box->windowTitle() + QLatin1Char('|') + box->text());
                box->button(QMessageBox::Ok)->click();
            }
        });
        m_timer.start(10);
    }
    QStringList seen;

private:
    QTimer m_timer;
};
} // namespace

class TestUpdaterUI : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<UpdaterUI> m_window;
    QString m_startDir;

    // Builds the window with the given arguments after the program path.
    void makeWindow(const QStringList &arguments)
    {
        m_window.reset(new UpdaterUI(QStringList{QStringLiteral("versionupdater")} + arguments));
    }
    template <typename T> T *child(const char *name) const { return m_window->findChild<T *>(name); }
    QString label() const { return child<QLabel>("updateLabel")->text(); }
    QPushButton *button() const { return child<QPushButton>("restartButton"); }

private slots:
    void initTestCase() { Q_INIT_RESOURCE(versionupdater); }

    void init()
    {
        VersionUpdaterSettings::instance().reset();
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        // Relative paths of the command line are taken from here.
        m_startDir = QDir::currentPath();
        QDir::setCurrent(m_dir->path());
    }

    void cleanup()
    {
        m_window.reset();
        QDir::setCurrent(m_startDir);
    }

    void commandLine_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QStringList>("boxes");
        QTest::addColumn<QString>("settings"); // callback|destination|entries|local version

        const QString warning = QStringLiteral("Launch warning.|");
        const QString noVersion = QStringLiteral("Update critical error.|Cannot read file version");
        const QString v = QStringLiteral("1.0.0.0"), exe = QStringLiteral(FIXTURES_DIR "/updater.exe");
        QTest::newRow("defaults, no version file") << QStringList() << QStringList{noVersion}
                                                   << "Kandemar.exe|||-1.0.0.0";
        QTest::newRow("callback missing: '...' box first")
            << QStringList{"--callback", "nothing.exe", "--version", v}
            << QStringList{"...|nothing.exe", warning + "Cannot find callback executable. Switching to default value."}
            << "Kandemar.exe|||1.0.0.0";
        QTest::newRow("callback present") << QStringList{"--callback", exe, "--version", v}
                                          << QStringList{"...|" + exe} << exe + "|||1.0.0.0";
        QTest::newRow("version from --path") << QStringList{"--path", exe} << QStringList() << "Kandemar.exe|||1.2.0.0";
        QTest::newRow("three-part version")
            << QStringList{"--version", "2.0.1"}
            << QStringList{warning + "Invalid version format. Switching to default value.", noVersion}
            << "Kandemar.exe|||-1.0.0.0";
        QTest::newRow("files, then files with none") << QStringList{"--files", "a", "b", "--files", "--version", v}
                                                     << QStringList() << "Kandemar.exe||a,b|1.0.0.0";
        QTest::newRow("dir created, then two levels deep")
            << QStringList{"--dir", "out", "--dir", "x/y", "--version", v}
            << QStringList{warning + "Unable to create destination folder. Switching to default value."}
            << "Kandemar.exe|out||1.0.0.0";
        QTest::newRow("unknown option and its value")
            << QStringList{"--foo", "bar", "--version", v}
            << QStringList{warning + "Invalid command line.", warning + "Invalid command line."}
            << "Kandemar.exe|||1.0.0.0";
        QTest::newRow("value missing at the end") << QStringList{"--version", v, "--dir"}
                                                  << QStringList{warning + "Missing value for option --dir."}
                                                  << "Kandemar.exe|||1.0.0.0";
    }

    void commandLine()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QStringList, boxes);
        QFETCH(QString, settings);

        BoxAnswerer answerer;
        makeWindow(arguments);
        const VersionUpdaterSettings &s = VersionUpdaterSettings::instance();
        QCOMPARE(answerer.seen, boxes);
        QCOMPARE(QStringList({s.callbackPath, s.destinationDir, s.downloadEntries.join(','), s.localVersion.toString()})
                     .join('|'),
                 settings);
        QVERIFY(s.destinationDir.isEmpty() || QFileInfo(s.destinationDir).isDir());
        QVERIFY(!QFileInfo::exists("x"));
    }

    void versionList_data()
    {
        QTest::addColumn<QByteArray>("list");     // "PORT" stands for the server's port
        QTest::addColumn<QString>("state");
        QTest::addColumn<QStringList>("written"); // files in the destination folder
        QTest::addColumn<bool>("barVisible");

        const QByteArray example = "**UPDATE LIST** 2026\r\n"
                                   "1.2.0.1#http://127.0.0.1:PORT/u1.bin\r\n"
                                   "1.3.0.0#http://127.0.0.1:PORT/u2.bin=bin/u2.exe#ignored\r\n"
                                   "1.2.0.0#http://127.0.0.1:PORT/u3.bin\r\n"
                                   "1.1.9.9#http://127.0.0.1:PORT/u4.bin\n"
                                   "1.2.0#http://127.0.0.1:PORT/u5.bin\n"
                                   "9.0.0.0\n";
        QTest::newRow("newer lines of the example") << example << "Update finished." << QStringList{"bin/u2.exe", "u1.bin"} << true;
        QTest::newRow("marker alone") << QByteArray("**UPDATE LIST**") << "No update available." << QStringList() << false;
        QTest::newRow("first line empty") << QByteArray("\n**UPDATE LIST**\n2.0.0.0#http://127.0.0.1:PORT/u1.bin\n")
                                          << "Update error: unable to update..." << QStringList() << true;
        QTest::newRow("list not found") << QByteArray() << "Network error: unable to update..." << QStringList() << true;
    }

    void versionList()
    {
        QFETCH(QByteArray, list);
        QFETCH(QString, state);
        QFETCH(QStringList, written);
        QFETCH(bool, barVisible);

        TestServer server;
        if (!list.isNull())
            server.setFile("/list", list.replace("PORT", QByteArray::number(QUrl(server.url("/")).port())));
        for (const char *name : {"/u1.bin", "/u2.bin", "/u3.bin", "/u4.bin", "/u5.bin"})
            server.setFile(name, QByteArray(name));

        BoxAnswerer answerer;
        makeWindow({"--url", server.url("/list"), "--dir", "dest", "--version", "1.2.0.0"});
        QCOMPARE(label(), QStringLiteral("Updating..."));
        QVERIFY(button()->isHidden());
        m_window->show();

        QTRY_COMPARE(label(), state);
        QCOMPARE(button()->isVisible(), true);
        QCOMPARE(button()->text(), QStringLiteral("Restart"));
        QCOMPARE(child<QProgressBar>("progressBar")->isVisible(), barVisible);
        QCOMPARE(child<QLabel>("label")->isVisible(), barVisible);

        QStringList files;
        const QDir dest(QDir::current().absoluteFilePath("dest"));
        for (QDirIterator it(dest.path(), QDir::Files, QDirIterator::Subdirectories); it.hasNext();)
            files << dest.relativeFilePath(it.next());
        files.sort();
        QCOMPARE(files, written);
        for (const QString &file : written)
            QCOMPARE(readFile("dest/" + file), "/" + file.section('/', -1).replace(".exe", ".bin").toUtf8());
    }

    // "--files" are fetched at start-up and again with the newer list; a failed
    // download leaves the installed file and ends with "Update error.".
    void filesAgainThenFailedDownload()
    {
        TestServer server;
        server.setFile("/list", "**UPDATE LIST**\n2.0.0.0#" + server.url("/missing").toUtf8() + "=app.dll\n"
                                "3.0.0.0#" + server.url("/new.bin").toUtf8() + "\n");
        server.setFile("/direct.bin", "direct");
        server.setFile("/new.bin", "new");
        const QByteArray old("the installed copy\n");
        QVERIFY(writeFile("dest/app.dll", old));
        // Without a callback the button only closes.
        VersionUpdaterSettings::instance().callbackPath.clear();
        makeWindow({"--url", server.url("/list"), "--dir", "dest", "--version", "1.0.0.0", "--files",
                    server.url("/direct.bin")});
        QTRY_COMPARE(label(), QStringLiteral("Update error."));
        QCOMPARE(server.hits("/direct.bin"), 2);
        QCOMPARE(server.hits("/new.bin"), 1);
        QCOMPARE(readFile("dest/app.dll"), old);
        QCOMPARE(readFile("dest/direct.bin"), QByteArray("direct"));
        QCOMPARE(readFile("dest/new.bin"), QByteArray("new"));
        QCOMPARE(button()->text(), QStringLiteral("Close"));
    }

    void progress()
    {
        TestServer server;
        server.setFile("/list", "**UPDATE LIST**\n");
        makeWindow({"--url", server.url("/list"), "--version", "1.0.0.0"});
        auto *bar = child<QProgressBar>("progressBar");
        bar->setValue(40);
        QVERIFY(QMetaObject::invokeMethod(m_window.get(), "downloadReady", Q_ARG(QUrl, QUrl("bin/tool.exe")),
                                          Q_ARG(int, 2)));
        QCOMPARE(label(), QStringLiteral("Downloading bin/tool.exe"));
        QCOMPARE(bar->value(), 0);
        // Received, total, percentage; an unknown total or one passed leaves the bar at 50.
        const qint64 cases[][3] = {{1, 3, 33}, {2, 3, 66}, {5, -1, 50}, {7, 3, 50}};
        for (const auto &c : cases) {
            bar->setValue(50);
            QVERIFY(QMetaObject::invokeMethod(m_window.get(), "downloadProgress", Q_ARG(qint64, c[0]),
                                              Q_ARG(qint64, c[1])));
            QCOMPARE(bar->value(), int(c[2]));
        }
    }

    void restartStartsCallbackAndExits()
    {
        // The button ends the process, so it is pressed in a child run of this
        // test program (restartChild); here we watch its exit and its callback.
        const QString marker = m_dir->path() + "/started";
        QProcess child;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(kChildVariable, marker);
        environment.insert("QT_QPA_PLATFORM", "offscreen");
        child.setProcessEnvironment(environment);
        child.start(QCoreApplication::applicationFilePath(), {"restartChild"});
        QVERIFY(child.waitForFinished(30000));
        QCOMPARE(child.exitStatus(), QProcess::NormalExit);
        QCOMPARE(child.exitCode(), 0);
        QTRY_COMPARE(readFile(marker), QByteArray("restarted with no arguments\n"));
    }

    void restartChild()
    {
        const QString marker = qEnvironmentVariable(kChildVariable);
        if (marker.isEmpty())
            QSKIP("runs only as the child of restartStartsCallbackAndExits");
        const QString script = m_dir->path() + "/callback.sh";
        QVERIFY(writeFile(script, "#!/bin/sh\n[ $# -eq 0 ] && echo 'restarted with no arguments' > \"" + marker.toUtf8() + "\"\n"));
        QVERIFY(QFile::setPermissions(script, QFile::permissions(script) | QFileDevice::ExeOwner));
        TestServer server;
        server.setFile("/list", "**UPDATE LIST**\n");
        BoxAnswerer answerer;
        makeWindow({"--url", server.url("/list"), "--version", "1.0.0.0", "--callback", script});
        QTRY_COMPARE(label(), QStringLiteral("No update available."));
        QTest::mouseClick(button(), Qt::LeftButton);
        QFAIL("the button should have ended the process");
    }
};

QTEST_MAIN(TestUpdaterUI)
#include "tst_updaterui.moc"
