#include "startupcheck.h"
#include "updatersettings.h"
#include "xvfbdisplay.h"

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QtTest>

namespace {

// Runs a start-up step on a window of its own, answering each of its modal
// boxes with OK; returns the boxes as "caption|text".
QStringList answeringBoxes(const std::function<void(QWidget *window)> &step)
{
    QStringList boxes;
    QWidget window;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&boxes] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (box && box->button(QMessageBox::Ok)) {
            boxes << box->windowTitle() + '|' + box->text();
            box->button(QMessageBox::Ok)->click();
        }
    });
    timer.start(10);
    step(&window);
    return boxes;
}

} // namespace

class TestUpdaterStartup : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_cwd;
    const QString m_startDir = QDir::currentPath();
    XvfbDisplay m_display;
    QFile m_callback{QCoreApplication::applicationDirPath() + "/tst_updaterstartup.cb"}; // found beside the updater
    QProcessEnvironment m_xenv;

    QString expand(QString text) const
    {
        return text.replace("%CWD%", m_cwd->path()).replace("%APP%", QCoreApplication::applicationDirPath());
    }
    QString xdotool(const QStringList &arguments)
    {
        QProcess tool;
        tool.setProcessEnvironment(m_xenv);
        tool.start(QStringLiteral("xdotool"), arguments);
        if (!tool.waitForFinished(20000))
            tool.kill();
        return QString::fromLatin1(tool.readAllStandardOutput()).section('\n', 0, 0);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_display.start());
        m_xenv = m_display.environment();
        QVERIFY(m_callback.open(QIODevice::WriteOnly));
    }
    void cleanupTestCase()
    {
        QFile::remove(m_callback.fileName());
    }
    void init()
    {
        UpdaterSettings::instance().reset();
        m_cwd.reset(new QTemporaryDir);
        QDir::setCurrent(m_cwd->path());
    }
    void cleanup() { QDir::setCurrent(m_startDir); }

    void parseCommandLine_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QStringList>("warnings");
        QTest::addColumn<QStringList>("changed"); // settings that differ from the defaults
        const QString noCallback = QStringLiteral("Cannot find callback executable. Switching to default value.");
        const QString cb = QStringLiteral("tst_updaterstartup.cb"); // beside the test program
        QTest::newRow("nothing") << QStringList() << QStringList() << QStringList();
        QTest::newRow("callback found, then not") << QStringList{"--callback", cb, "--callback", "nope"}
            << QStringList{noCallback} << QStringList{"callback=%APP%/" + cb};
        QTest::newRow("local manifest nowhere") << QStringList{"--local_path", "nope"}
            << QStringList{"Cannot find local manifest. Switching to default value."} << QStringList{"local=%APP%/manifest.xml"};
        QTest::newRow("empty url") << QStringList{"--url", ""}
            << QStringList{"Invalid update url. Switching to default value."} << QStringList();
        QTest::newRow("url takes --dir as its value") << QStringList{"--url", "--dir", "stray"}
            << QStringList{"Invalid command line: stray"} << QStringList{"url=--dir"};
        QTest::newRow("dir created, kept relative") << QStringList{"--dir", "fresh"} << QStringList() << QStringList{"dir=fresh"};
        QTest::newRow("dir one level only") << QStringList{"--dir", "a/b"}
            << QStringList{"Unable to create destination folder. Switching to default value."} << QStringList();
        QTest::newRow("dir absolute") << QStringList{"--dir", "%CWD%/abs"} << QStringList() << QStringList{"dir=%CWD%/abs"};
        QTest::newRow("option without value") << QStringList{"--url", "http://h/u", "--distant_path"}
            << QStringList{"Invalid command line: --distant_path"} << QStringList{"url=http://h/u"};
    }
    void parseCommandLine()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QStringList, warnings);
        QFETCH(QStringList, changed);
        bool parsed = false;
        const QStringList boxes = answeringBoxes([&](QWidget *window) {
            parsed = StartupCheck(window, QStringList{"updater"} + arguments.replaceInStrings("%CWD%", m_cwd->path()))
                         .parseCommandLine();
        });
        QVERIFY(parsed);
        QCOMPARE(boxes, warnings.replaceInStrings(QRegularExpression("^"), "Launch warning.|"));
        const UpdaterSettings &s = UpdaterSettings::instance();
        QStringList expected{"callback=Kandemar.exe", "local=manifest.xml", "distant=",
                             "url=" + UpdaterSettings::defaultUpdateUrl(), "dir=%CWD%"};
        for (const QString &setting : changed)
            expected.replaceInStrings(QRegularExpression('^' + setting.section('=', 0, 0) + "=.*"), setting);
        QCOMPARE(QStringList({"callback=" + s.callbackPath, "local=" + s.localManifestPath, "distant=" + s.distantManifestPath,
                              "url=" + s.updateUrl, "dir=" + s.destinationDir}), expand(expected.join('\n')).split('\n'));
        QVERIFY(QFileInfo(s.destinationDir).isDir());
    }

    // The real program on a virtual display: its boxes are found by caption
    // and answered from the keyboard; it must end with status 2, as an
    // unattended run does (nothing ran), and leave in log.txt beside itself
    // the record that names it and its arguments, then both error records.
    // The texts of the fatal errors are checked in tst_unattendedrun.
    void executableEndsOnFatalError_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QStringList>("boxes"); // captions, in order
        QTest::newRow("no arguments") << QStringList() << QStringList{"Critical error"};
        // Parsing stops at the missing manifest: the stray argument is never looked at.
        QTest::newRow("distant missing") << QStringList{"--distant_path", "gone.xml", "stray"}
            << QStringList{"Launch warning.", "Critical error"};
    }
    void executableEndsOnFatalError()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QStringList, boxes);
        const QString program = m_cwd->filePath(QStringLiteral("updater"));
        QVERIFY(QFile::copy(QStringLiteral(UPDATER_EXECUTABLE), program));
        QProcess updater;
        updater.setProcessEnvironment(m_xenv);
        updater.start(program, arguments);
        for (const QString &caption : boxes) {
            const QString window = xdotool({"search", "--sync", "--onlyvisible", "--name", "^" + QRegularExpression::escape(caption) + "$"});
            QVERIFY2(!window.isEmpty(), qPrintable(caption));
            xdotool({"windowfocus", "--sync", window, "key", "Return"});
        }
        QVERIFY(updater.waitForFinished(20000));
        QVERIFY(updater.exitStatus() == QProcess::NormalExit);
        QCOMPARE(updater.exitCode(), 2);

        QFile log(m_cwd->filePath(QStringLiteral("log.txt")));
        QVERIFY(log.open(QIODevice::ReadOnly));
        const QString text = QString::fromUtf8(log.readAll());
        const QString stamp = QStringLiteral("\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}");
        const QString quotedArguments = arguments.isEmpty() ? "()" : "(\"" + arguments.join("\", \"") + "\")";
        const QString expected = "^ INFO " + stamp + " \"updater " UPDATER_PROJECT_VERSION " started with\" "
            + QRegularExpression::escape(quotedArguments) + " \n\nERROR " + stamp + " \"Configure execution failed\\.\" \n\nERROR " + stamp + " "
            + QRegularExpression::escape("(\"" + (QStringList{program} + arguments).join("\", \"") + "\") ") + "\n\n$";
        QVERIFY2(QRegularExpression(expected).match(text).hasMatch(), qPrintable(text));
        // The debugger-output stand-in received the same records.
        QVERIFY(QString::fromUtf8(updater.readAllStandardError()).contains(text.section('\n', 2, 3)));
    }
};

QTEST_MAIN(TestUpdaterStartup)
#include "tst_updaterstartup.moc"
