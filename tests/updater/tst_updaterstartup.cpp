#include "log.h"
#include "startupcheck.h"
#include "updatersettings.h"

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <memory>

namespace {

class RecordingDestination : public Logging::Destination
{
public:
    void write(const QString &record, Logging::LogLevel) override { records << record; }
    bool isValid() const override { return true; }
    QStringList records;
};

// Answers every modal box with OK, noting "caption|text".
class BoxAnswerer : public QObject
{
public:
    BoxAnswerer()
    {
        connect(&m_timer, &QTimer::timeout, this, [this] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (!box || !box->button(QMessageBox::Ok))
                return;
            boxes << box->windowTitle() + QLatin1Char('|') + box->text();
            box->button(QMessageBox::Ok)->click();
        });
        m_timer.start(10);
    }
    QStringList boxes;

private:
    QTimer m_timer;
};

QString expand(QString text, const QString &cwd)
{
    return text.replace(QStringLiteral("%CWD%"), cwd).replace(QStringLiteral("%APP%"), QCoreApplication::applicationDirPath());
}

// Runs a program to its end, giving up after a timeout; returns its stdout.
QByteArray runTool(const QString &program, const QStringList &arguments, const QProcessEnvironment &env)
{
    QProcess tool;
    tool.setProcessEnvironment(env);
    tool.start(program, arguments);
    if (!tool.waitForFinished(20000))
        tool.kill();
    return tool.readAllStandardOutput().trimmed();
}

const QString DefaultsRow = QStringLiteral("Kandemar.exe|manifest.xml||") + UpdaterSettings::defaultUpdateUrl();

} // namespace

class TestUpdaterStartup : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_cwd;
    QString m_startDir = QDir::currentPath();
    QSharedPointer<RecordingDestination> m_recorder{new RecordingDestination};
    QProcess m_xserver;
    QProcessEnvironment m_xenv = QProcessEnvironment::systemEnvironment();

private slots:
    void initTestCase()
    {
        Logging::Logger::instance().addDestination(m_recorder);
        m_xserver.start(QStringLiteral("Xvfb"), {QStringLiteral("-displayfd"), QStringLiteral("1"),
                                                  QStringLiteral("-nolisten"), QStringLiteral("tcp")});
        QVERIFY(m_xserver.waitForReadyRead(20000));
        m_xenv.insert(QStringLiteral("DISPLAY"), QLatin1Char(':') + QString::fromLatin1(m_xserver.readLine().trimmed()));
        m_xenv.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    }
    void cleanupTestCase() { m_xserver.kill(); m_xserver.waitForFinished(); }
    void init()
    {
        UpdaterSettings::instance().reset();
        m_recorder->records.clear();
        m_cwd.reset(new QTemporaryDir);
        QDir::setCurrent(m_cwd->path());
    }
    void cleanup() { QDir::setCurrent(m_startDir); }

    void parseCommandLine_data()
    {
        QTest::addColumn<QStringList>("files"); // cwd:name or app:name; a trailing "/" makes a folder
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<bool>("parsed");
        QTest::addColumn<QStringList>("warnings");
        QTest::addColumn<QString>("settings"); // callback|local|distant|url|dir
        const QString bad = QStringLiteral("Cannot find callback executable. Switching to default value.");
        QTest::newRow("nothing") << QStringList() << QStringList() << true << QStringList() << DefaultsRow + "|%CWD%";
        QTest::newRow("distant missing stops at once") << QStringList() << QStringList{"--distant_path", "gone.xml", "stray"}
            << false << QStringList{"Cannot find distant manifest.gone.xml"} << DefaultsRow + "|";
        QTest::newRow("distant found") << QStringList{"cwd:d.xml"} << QStringList{"--distant_path", "d.xml"} << true
            << QStringList() << "Kandemar.exe|manifest.xml|d.xml|" + UpdaterSettings::defaultUpdateUrl() + "|%CWD%";
        QTest::newRow("callback beside the updater") << QStringList{"app:tst_startup_cb.exe"}
            << QStringList{"--callback", "tst_startup_cb.exe"} << true << QStringList()
            << "%APP%/tst_startup_cb.exe|manifest.xml||" + UpdaterSettings::defaultUpdateUrl() + "|%CWD%";
        QTest::newRow("callback nowhere") << QStringList() << QStringList{"--callback", "nope.exe"} << true
            << QStringList{bad} << "%CWD%/Kandemar.exe|manifest.xml||" + UpdaterSettings::defaultUpdateUrl() + "|%CWD%";
        QTest::newRow("callback found, then not") << QStringList{"app:tst_startup_cb.exe"}
            << QStringList{"--callback", "tst_startup_cb.exe", "--callback", "nope.exe"} << true << QStringList{bad}
            << "%APP%/tst_startup_cb.exe|manifest.xml||" + UpdaterSettings::defaultUpdateUrl() + "|%CWD%";
        QTest::newRow("callback missing twice") << QStringList() << QStringList{"--callback", "a", "--callback", "b"} << true
            << QStringList{bad, bad} << "%CWD%/Kandemar.exe|manifest.xml||" + UpdaterSettings::defaultUpdateUrl() + "|%CWD%";
        QTest::newRow("local manifest nowhere") << QStringList() << QStringList{"--local_path", "nope.xml"} << true
            << QStringList{"Cannot find local manifest. Switching to default value."}
            << "Kandemar.exe|%APP%/manifest.xml||" + UpdaterSettings::defaultUpdateUrl() + "|%CWD%";
        QTest::newRow("local manifest in cwd") << QStringList{"cwd:local.xml"} << QStringList{"--local_path", "local.xml"}
            << true << QStringList() << "Kandemar.exe|local.xml||" + UpdaterSettings::defaultUpdateUrl() + "|%CWD%";
        QTest::newRow("empty url") << QStringList() << QStringList{"--url", ""} << true
            << QStringList{"Invalid update url. Switching to default value."} << DefaultsRow + "|%CWD%";
        QTest::newRow("url takes --dir as its value") << QStringList() << QStringList{"--url", "--dir"} << true
            << QStringList() << "Kandemar.exe|manifest.xml||--dir|%CWD%";
        QTest::newRow("dir exists") << QStringList{"cwd:dest/"} << QStringList{"--dir", "dest"} << true << QStringList()
            << DefaultsRow + "|dest";
        QTest::newRow("dir created") << QStringList() << QStringList{"--dir", "fresh"} << true << QStringList()
            << DefaultsRow + "|fresh";
        QTest::newRow("dir two levels") << QStringList() << QStringList{"--dir", "a/b"} << true
            << QStringList{"Unable to create destination folder. Switching to default value."} << DefaultsRow + "|%CWD%";
        QTest::newRow("dir absolute") << QStringList() << QStringList{"--dir", "%CWD%/abs"} << true << QStringList()
            << DefaultsRow + "|%CWD%/abs";
        QTest::newRow("stray, then options") << QStringList() << QStringList{"stray", "--url", "http://h/u"} << true
            << QStringList{"Invalid command line: stray"} << "Kandemar.exe|manifest.xml||http://h/u|%CWD%";
        QTest::newRow("option without value") << QStringList() << QStringList{"--url", "http://h/u", "--callback"} << true
            << QStringList{"Invalid command line: --callback"} << "Kandemar.exe|manifest.xml||http://h/u|%CWD%";
        QTest::newRow("distant without value") << QStringList() << QStringList{"--distant_path"} << true
            << QStringList{"Invalid command line: --distant_path"} << DefaultsRow + "|%CWD%";
    }
    void parseCommandLine()
    {
        QFETCH(QStringList, files);
        QFETCH(QStringList, arguments);
        QFETCH(bool, parsed);
        QFETCH(QStringList, warnings);
        QFETCH(QString, settings);
        QStringList created;
        for (const QString &file : files) {
            const QString path = (file.startsWith("app:") ? QCoreApplication::applicationDirPath() + "/" : QString()) + file.mid(4);
            created << path;
            QVERIFY(path.endsWith(QLatin1Char('/')) ? QDir().mkdir(path) : QFile(path).open(QIODevice::WriteOnly));
        }
        for (QString &argument : arguments)
            argument = expand(argument, m_cwd->path());

        QWidget window;
        BoxAnswerer answerer;
        const bool result = StartupCheck(&window, QStringList{"updater"} + arguments).parseCommandLine();
        for (const QString &path : created)
            QFile::remove(path);

        QCOMPARE(result, parsed);
        for (QString &warning : warnings)
            warning.prepend(QStringLiteral("Launch warning.|"));
        QCOMPARE(answerer.boxes, warnings);
        const UpdaterSettings &s = UpdaterSettings::instance();
        QCOMPARE(QStringList({s.callbackPath, s.localManifestPath, s.distantManifestPath, s.updateUrl, s.destinationDir}),
                 expand(settings, m_cwd->path()).split(QLatin1Char('|')));
        if (!s.destinationDir.isEmpty())
            QVERIFY(QFileInfo(s.destinationDir).isDir());
    }

    void fatalErrors_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QStringList>("boxes");
        QTest::newRow("no arguments") << QStringList{"updater"}
            << QStringList{"Critical error|AutoInstall feature not implemented."};
        QTest::newRow("distant missing") << QStringList{"updater", "--distant_path", "gone.xml", "stray"}
            << QStringList{"Launch warning.|Cannot find distant manifest.gone.xml", "Critical error|Unable to update."};
    }
    void fatalErrors()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QStringList, boxes);
        QWidget window;
        BoxAnswerer answerer;
        QCOMPARE(StartupCheck(&window, arguments).run(), boxes.last().section(QLatin1Char('|'), 1));
        QCOMPARE(answerer.boxes, boxes);
        QCOMPARE(m_recorder->records.size(), 2);
        QVERIFY(m_recorder->records[0].startsWith(QLatin1String("ERROR ")));
        QCOMPARE(m_recorder->records[0].mid(30), QStringLiteral("\"Configure execution failed.\" \n"));
        QCOMPARE(m_recorder->records[1].mid(30), "(\"" + arguments.join("\", \"") + "\") \n");
    }

    void updateCanRun()
    {
        QVERIFY(QFile(QStringLiteral("d.xml")).open(QIODevice::WriteOnly));
        QWidget window;
        BoxAnswerer answerer;
        QCOMPARE(StartupCheck(&window, {"updater", "--distant_path", "d.xml"}).run(), QString());
        QVERIFY(answerer.boxes.isEmpty());
        QVERIFY(m_recorder->records.isEmpty());
    }

    // The real program, shown on a virtual display: its boxes are found by
    // caption and answered with the keyboard, then it must end with status 0
    // and leave both records in log.txt beside itself.
    void executableEndsOnFatalError_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QStringList>("captions");
        QTest::newRow("no arguments") << QStringList() << QStringList{"Critical error"};
        QTest::newRow("distant missing") << QStringList{"--distant_path", "gone.xml", "stray"}
                                         << QStringList{"Launch warning.", "Critical error"};
    }
    void executableEndsOnFatalError()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QStringList, captions);
        const QString program = m_cwd->filePath(QStringLiteral("updater"));
        QVERIFY(QFile::copy(QStringLiteral(UPDATER_EXECUTABLE), program));
        QProcess updater;
        updater.setProcessEnvironment(m_xenv);
        updater.start(program, arguments);
        QVERIFY(updater.waitForStarted());
        for (const QString &caption : captions) {
            const QString window = QString::fromLatin1(runTool(QStringLiteral("xdotool"),
                {"search", "--sync", "--onlyvisible", "--name", "^" + QRegularExpression::escape(caption) + "$"}, m_xenv));
            QVERIFY2(!window.isEmpty(), qPrintable(caption));
            runTool(QStringLiteral("xdotool"), {"windowfocus", "--sync", window.section('\n', 0, 0), "key", "Return"}, m_xenv);
        }
        QVERIFY(updater.waitForFinished(20000));
        QCOMPARE(updater.exitStatus(), QProcess::NormalExit);
        QCOMPARE(updater.exitCode(), 0);

        QFile log(m_cwd->filePath(QStringLiteral("log.txt")));
        QVERIFY(log.open(QIODevice::ReadOnly));
        const QStringList lines = QString::fromUtf8(log.readAll()).split(QLatin1Char('\n'));
        QCOMPARE(lines.size(), 5);
        const QRegularExpression stamp(QStringLiteral("^ERROR \\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3} "));
        QVERIFY(stamp.match(lines[0]).hasMatch() && stamp.match(lines[2]).hasMatch());
        QCOMPARE(lines[0].mid(30), QStringLiteral("\"Configure execution failed.\" "));
        QCOMPARE(lines[2].mid(30), "(\"" + (QStringList{program} + arguments).join("\", \"") + "\") ");
        QCOMPARE(lines[1] + lines[3] + lines[4], QString());
        // The debugger-output stand-in got the same records first.
        QVERIFY(QString::fromUtf8(updater.readAllStandardError()).contains(lines[0] + "\n\n"));
    }
};

QTEST_MAIN(TestUpdaterStartup)
#include "tst_updaterstartup.moc"
