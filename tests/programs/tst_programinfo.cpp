// --help and --version of the programs, run as a user would and without a
// display: the windowed ones must answer before they need one.

#include "testfiles.h"
#include "testhttpserver.h"

#include <QtTest>

namespace {

const QString version = QStringLiteral(UPDATER_PROJECT_VERSION);

// The environment of a machine without a display.
QProcessEnvironment withoutDisplay()
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char *variable : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        env.remove(QString::fromLatin1(variable));
    return env;
}

} // namespace

class TestProgramInfo : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

    // The program as copied into the temporary folder: updater writes its
    // log beside itself.
    QString copyOf(const QString &program)
    {
        const QString copy = m_dir.filePath(QFileInfo(program).fileName());
        if (!QFile::exists(copy) && !QFile::copy(program, copy))
            return QString();
        return copy;
    }

private slots:
    void answers_data()
    {
        QTest::addColumn<QString>("program");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("output"); // "usage": the usage text; otherwise the exact stdout

        const QString updater = UPDATER_EXECUTABLE, versionupdater = VERSIONUPDATER_EXECUTABLE, editor = MANIFESTEDITOR_EXECUTABLE;
        for (const QString &program : {updater, versionupdater, editor, QStringLiteral(UPDATESERVER_EXECUTABLE)}) {
            const QString name = QFileInfo(program).fileName();
            QTest::addRow("%s --help", qPrintable(name)) << program << QStringList{"--help"} << 0 << "usage";
            QTest::addRow("%s --version", qPrintable(name))
                << program << QStringList{"--version"} << 0 << name + ' ' + version + '\n';
        }
        // Only an argument in option position counts; a value never does.
        QTest::newRow("updater: after a flag") << updater << QStringList{"--silent", "--help"} << 0 << "usage";
        QTest::newRow("updater: after a value")
            << updater << QStringList{"--dir", "app", "--version"} << 0 << "updater " + version + '\n';
        QTest::newRow("updater: as a value, unattended")
            << updater << QStringList{"--silent", "--url", "--version", "--callback", "--help"} << 2 << QString();
        QTest::newRow("versionupdater: last after entries")
            << versionupdater << QStringList{"--files", "a", "b", "--version"} << 0 << "versionupdater " + version + '\n';
        QTest::newRow("versionupdater: help after a value")
            << versionupdater << QStringList{"--version", "1.2.0.0", "--help"} << 0 << "usage";
        QTest::newRow("manifesteditor: with a file")
            << editor << QStringList{"m.xml", "--version"} << 0 << "manifesteditor " + version + '\n';
    }

    void answers()
    {
        QFETCH(QString, program);
        QFETCH(QStringList, arguments);
        QFETCH(QString, output);
        const QString name = QFileInfo(program).fileName();
        QProcess process;
        process.setProcessEnvironment(withoutDisplay());
        process.setWorkingDirectory(m_dir.path());
        process.start(copyOf(program), arguments);
        QVERIFY(process.waitForFinished(20000));
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QTEST(process.exitCode(), "exitCode");
        const QString out = QString::fromLocal8Bit(process.readAllStandardOutput());
        if (output != QLatin1String("usage")) {
            QCOMPARE(out, output);
            return;
        }
        QVERIFY2(out.startsWith("Usage: " + name + ' '), qPrintable(out));
        // Every option, each with its meaning on the same line.
        QStringList options{"--help", "--version"};
        if (name == "updater")
            options << "--distant_path" << "--local_path" << "--url" << "--dir" << "--callback" << "--silent"
                    << "--timeout" << "--ca_file" << "--public_key" << "--allow_downgrade" << "--manifest_request"
                    << "--files_url" << "--log_size" << "--channel" << "--connections";
        else if (name == "versionupdater")
            options << "--url" << "--dir" << "--path" << "--files" << "--callback" << "--timeout" << "--ca_file"
                    << "--public_key";
        else if (name == "updateserver")
            options << "--root" << "--port" << "--bind";
        for (const QString &option : options) {
            const QRegularExpression line("^  " + QRegularExpression::escape(option) + "( [A-Z.]+)? +\\S",
                                          QRegularExpression::MultilineOption);
            QVERIFY2(line.match(out).hasMatch(), qPrintable(option));
        }
    }

    // "--version A.B.C.D" is still the local version: only the entries
    // listed above 1.2.0.0 are fetched, and no program version is printed.
    void versionupdaterVersionValueIsTheLocalVersion()
    {
        TestServer server;
        server.setFile("/list", "**UPDATE LIST**\n1.1.0.0#" + server.url("/old.bin").toUtf8() + "=old.bin\n1.3.0.0#"
                                    + server.url("/new.bin").toUtf8() + "=new.bin\n");
        server.setFile("/old.bin", "old");
        server.setFile("/new.bin", "new");
        QVERIFY(QDir(m_dir.path()).mkpath("app"));
        QProcess process;
        process.setWorkingDirectory(m_dir.path());
        process.start("env", {"QT_QPA_PLATFORM=offscreen", VERSIONUPDATER_EXECUTABLE, "--url", server.url("/list"), "--dir", "app",
                              "--version", "1.2.0.0"});
        const bool fetched = QTest::qWaitFor([&] { return readFile(m_dir.filePath("app/new.bin")) == "new"; }, 20000);
        // It waits for Restart or Close now.
        QCOMPARE(process.state(), QProcess::Running);
        process.kill();
        process.waitForFinished();
        QVERIFY(fetched);
        QVERIFY(!QFile::exists(m_dir.filePath("app/old.bin")));
        QVERIFY(!process.readAllStandardOutput().contains(version.toUtf8()));
    }
};

QTEST_MAIN(TestProgramInfo)
#include "tst_programinfo.moc"
