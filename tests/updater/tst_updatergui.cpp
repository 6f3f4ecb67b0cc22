#include "manifest.h"
#include "runhistory.h"
#include "testfiles.h"
#include "testhttpserver.h"
#include "testlog.h"
#include "updatergui.h"
#include "updatersettings.h"
#include "windowchecks.h"

#include <QApplication>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QTextBrowser>
#include <QtTest>

#include <atomic>
#include <chrono>
#include <limits>
#include <thread>

// ErrorPage: the distant manifest lists nothing. Stalled: b.dll is only
// answered once the server stops.
enum Installation { Empty, CorruptB, UpToDate, ErrorPage, Stalled };

// A release 3.1 of two files served over loopback, an installation 3.0 and
// the updater's command line for it. With CorruptB, b.dll is served
// corrupted.
struct Release
{
    QTemporaryDir tmp;
    TestServer server;
    QStringList arguments;

    explicit Release(Installation installation)
    {
        const QMap<QByteArray, QByteArray> files{{"a.dll", QByteArray(1048576, 'a')}, {"b.dll", "bee"}};
        QDir(tmp.path()).mkpath(QStringLiteral("app"));
        QByteArray distant = "<UPDATE_STRUCTURE version='3.1'>";
        for (auto it = files.cbegin(); it != files.cend(); ++it) {
            distant += "<file name='" + it.key() + "' url='" + it.key() + "' size='" + QByteArray::number(it.value().size())
                + "' crc='" + QCryptographicHash::hash(it.value(), QCryptographicHash::Sha1).toHex() + "'/>";
            if (installation == UpToDate)
                QVERIFY(writeFile(tmp.filePath("app/" + it.key()), it.value()));
        }
        QVERIFY(writeFile(tmp.filePath("distant.xml"), installation == ErrorPage ? QByteArray("<html><body>503</body></html>")
                                                                                 : distant + "</UPDATE_STRUCTURE>"));
        QVERIFY(writeFile(tmp.filePath("manifest.xml"), installation == UpToDate ? distant + "</UPDATE_STRUCTURE>"
                                                                                 : "<UPDATE_STRUCTURE version='3.0'/>"));
        const TestServer *s = &server;
        server.setHandler([files, installation, s](const TestServer::Received &r, httplib::Response &res) {
            while (installation == Stalled && r.request == "b.dll" && !s->stopping())
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            const QByteArray body = installation == CorruptB && r.request == "b.dll" ? "bad" : files.value(r.request);
            res.set_content(body.toStdString(), "application/octet-stream");
        });
        // "--dir" is taken relative to the working directory.
        QDir::setCurrent(tmp.path());
        arguments = QStringList{"updater", "--local_path", tmp.filePath("manifest.xml"), "--distant_path",
                                tmp.filePath("distant.xml"), "--url", server.url(), "--dir", "app"};
        UpdaterSettings::instance().reset();
    }
};

template<typename T>
T *widget(QWidget &window, const char *name)
{
    T *w = window.findChild<T *>(QString::fromLatin1(name));
    Q_ASSERT(w);
    return w;
}

class TestUpdaterGUI : public QObject
{
    Q_OBJECT

    QTemporaryDir m_logDir;
    TestLog m_log;

private slots:
    void formatSize_data()
    {
        QTest::addColumn<qint64>("bytes");
        QTest::addColumn<QString>("text");
        QTest::newRow("negative") << qint64(-5) << "-5bytes";
        QTest::newRow("1023") << qint64(1023) << "1023bytes";
        QTest::newRow("1024") << qint64(1024) << "1kB";
        QTest::newRow("1048575") << qint64(1048575) << "1023kB";
        QTest::newRow("1048576") << qint64(1048576) << "1MB";
        QTest::newRow("1 MB + 1000") << qint64(1048576 + 1000) << "1.0MB";
    }

    void formatSize()
    {
        QFETCH(qint64, bytes);
        QTEST(UpdaterGUI::formatSize(bytes), "text");
    }

    void initTestCase() { m_log.start(m_logDir.filePath("log.txt")); }
    void init()
    {
        m_log.mark();
        QFile::remove(m_logDir.filePath("update-history.log"));
        Logging::RunHistory::instance().setPath(m_logDir.filePath("update-history.log"));
    }
    void cleanup() { Logging::RunHistory::instance().setPath(QString()); }

    // Each way a run ends looks different, says so in a plain headline and
    // plain failure lines, leaves the bar at what was really put in place,
    // tells a launching program through the exit status, and is summed up
    // once in the log and in the run history. Closing the window mid-run
    // is Cancel. At the end Enter restarts and Esc closes.
    void endStates_data()
    {
        QTest::addColumn<int>("installation");
        QTest::addColumn<QString>("action"); // while the run is held at b.dll
        QTest::addColumn<QString>("headline");
        QTest::addColumn<int>("errors");
        QTest::addColumn<int>("bar");
        QTest::addColumn<QString>("failure"); // the plain line, if any
        QTest::addColumn<int>("exitStatus");
        QTest::addColumn<QString>("saved"); // the saved version
        QTest::addColumn<QString>("summary");
        const QString cancelled = "Update cancelled: some files may already be new.";
        QTest::newRow("done") << int(Empty) << "" << "Update done: version 3.1 is installed." << 0 << 100 << "" << 0
                              << "3.1" << "run finished: distant version 3.1, local version before 3.0";
        QTest::newRow("done with errors")
            << int(CorruptB) << "" << "Update done with errors: 1 of 2 files could not be installed." << 1 << 99
            << "b.dll could not be verified: the download was damaged" << 1 << "3.1__1" << "run finished";
        QTest::newRow("refused") << int(ErrorPage) << "" << "Update refused: nothing was changed." << 1 << 0
                                 << "The release was refused: its manifest lists no file (an error page?)." << 1 << "3.0"
                                 << "run refused: distant version -, local version before 3.0";
        QTest::newRow("cancelled") << int(Stalled) << "cancel" << cancelled << 1 << 99 << "" << 1 << "3.1__1"
                                   << "run cancelled: distant version 3.1, local version before 3.0";
        QTest::newRow("window closed") << int(Stalled) << "close" << cancelled << 1 << 99 << "" << 1 << "3.1__1"
                                       << "run cancelled";
    }
    void endStates()
    {
        QFETCH(int, installation);
        QFETCH(QString, action);
        QFETCH(int, errors);
        Release release{Installation(installation)};
        UpdaterGUI window(release.arguments);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QCOMPARE(window.windowTitle(), QStringLiteral("Updater"));
        QVERIFY(widget<QPushButton>(window, "pushButton")->isHidden() && widget<QPushButton>(window, "pushButton_2")->isHidden());
        auto *restart = widget<QPushButton>(window, "Restart");
        auto *cancel = widget<QPushButton>(window, "Cancel");
        auto *headline = widget<QLabel>(window, "headline");
        auto *log = widget<QPlainTextEdit>(window, "plainTextEdit");
        QVERIFY(log->isReadOnly());
        if (!action.isEmpty()) {
            // Held at the second file: the headline says what runs.
            QVERIFY(cancel->isEnabled() && window.focusWidget() == cancel);
            QTRY_COMPARE_WITH_TIMEOUT(headline->text(), QStringLiteral("Updating Kandemar 3.0 \u2192 3.1, file 2 of 2"), 20000);
            QVERIFY(saveScreenshot(&window, "updater-running"));
            if (action == "cancel")
                cancel->click();
            else
                window.close();
        }
        QTRY_VERIFY_WITH_TIMEOUT(restart->isEnabled(), 20000);
        QVERIFY(!cancel->isEnabled());
        QTEST(headline->text(), "headline");
        QCOMPARE(widget<QLabel>(window, "updateText")->text(), QStringLiteral("Update completed with %1 error(s).").arg(errors));
        auto *bar = widget<QProgressBar>(window, "progressBar");
        QTEST(bar->value(), "bar");
        QCOMPARE(bar->text(), QStringLiteral("%1%").arg(bar->value()));
        QVERIFY(widget<QLabel>(window, "speed")->text().isEmpty());
        // No digest reaches the window: the log has them.
        const QStringList lines = log->toPlainText().split('\n');
        QFETCH(QString, failure);
        QCOMPARE(lines.last(), QStringLiteral("Update finished."));
        const QString beforeLast = lines.value(lines.size() - 2);
        QCOMPARE(beforeLast.startsWith("Downloading") ? QString() : beforeLast, failure);
        QVERIFY(!log->toPlainText().contains(QRegularExpression("[0-9a-f]{40}")));
        QTEST(window.exitStatus(), "exitStatus");
        QTEST(readManifestDocument(release.tmp.filePath("manifest.xml")).documentElement().attribute("version"), "saved");
        const QFileInfo placed(release.tmp.filePath(QStringLiteral("app/a.dll")));
        QCOMPARE(placed.exists() ? placed.size() : qint64(-1), installation == ErrorPage ? qint64(-1) : qint64(1048576));
        QFETCH(QString, summary);
        QCOMPARE(m_log.matching(" INFO", {"run ", ": distant version "}).size(), 1);
        QCOMPARE(m_log.matching(" INFO", {summary}).size(), 1);
        const QStringList history = QString::fromUtf8(readFile(m_logDir.filePath("update-history.log"))).split('\n', Qt::SkipEmptyParts);
        QCOMPARE(history.size(), 1);
        const QString outcome = QString(QTest::currentDataTag()) == "window closed" ? "cancelled" : QTest::currentDataTag();
        QVERIFY2(history.first().contains(QStringLiteral(" updater 3.0 -> %1 %2; ").arg(installation == ErrorPage ? "-" : "3.1", outcome)),
                 qPrintable(history.first()));
        QCOMPARE(history.first().contains("b.dll"), !failure.isEmpty() && installation != ErrorPage);

        QCOMPARE(unnamedWidgets(&window), QStringList());
        QVERIFY(saveScreenshot(&window, QStringLiteral("updater-") + QString(QTest::currentDataTag()).replace(' ', '-')));
        QVERIFY(restart->isDefault());
        if (action == "close") {
            QVERIFY(!window.isVisible());
        } else {
            QCOMPARE(window.focusWidget(), restart);
            QTest::keyClick(&window, Qt::Key_Escape);
            QTRY_VERIFY(!window.isVisible());
        }
    }

    void progressTexts_data()
    {
        QTest::addColumn<bool>("started");
        QTest::addColumn<double>("timeLeft");
        QTest::addColumn<double>("speed");
        QTest::addColumn<QString>("format");
        QTest::addColumn<QString>("speedText");
        QTest::newRow("65.9 s") << true << 65.9 << 1536.7 << "%p% - 01:05 remaining" << "1kB/s";
        QTest::newRow("an hour") << true << 3600.0 << 512.0 << "%p% -  remaining" << "512bytes/s";
        QTest::newRow("negative") << true << -1.5 << 0.0 << "%p% -  remaining" << "0bytes/s";
        QTest::newRow("not a number") << false << std::numeric_limits<double>::quiet_NaN()
                                      << std::numeric_limits<double>::infinity() << "%p% -  remaining"
                                      << "0bytes/s";
    }

    void progressTexts()
    {
        QFETCH(bool, started);
        QFETCH(double, timeLeft);
        QFETCH(double, speed);
        Release release(UpToDate);
        UpdaterGUI window(release.arguments);
        // Nothing to fetch: the run is over before the window is shown.
        QVERIFY(widget<QPushButton>(window, "Restart")->isEnabled());

        QDomDocument doc;
        doc.setContent(QStringLiteral("<file name='c.dll'/>"));
        if (started)
            window.downloadStart(doc.documentElement(), 0);
        window.downloadProgress(1536, 1572864, speed, timeLeft, 42);
        QCOMPARE(widget<QProgressBar>(window, "progressBar")->value(), 42);
        QTEST(widget<QProgressBar>(window, "progressBar")->format(), "format");
        QTEST(widget<QLabel>(window, "speed")->text(), "speedText");
        // Before any start of its own the status keeps the run's last text.
        QCOMPARE(widget<QLabel>(window, "updateText")->text(),
                 started ? QStringLiteral("c.dll - 1kB/1.5MB") : QStringLiteral("Update completed with 0 error(s)."));
    }

    // A long name is cut in its middle so that the byte counts stay in view;
    // the log view follows new lines unless the user has scrolled up.
    void statusAndLogStayReadable()
    {
        Release release(UpToDate);
        UpdaterGUI window(release.arguments);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QDomDocument doc;
        doc.setContent(QStringLiteral("<file name='translations_portuguese_brazil_community_edition_%1.pak'/>")
                           .arg(QString(40, QLatin1Char('x'))));
        auto *log = widget<QPlainTextEdit>(window, "plainTextEdit");
        for (int i = 0; i < 40; ++i)
            window.downloadStart(doc.documentElement(), 0);
        QScrollBar *scroll = log->verticalScrollBar();
        QVERIFY(scroll->maximum() > 0);
        QCOMPARE(scroll->value(), scroll->maximum());
        window.downloadProgress(2000000, 3460300, 1e6, 2, 50);
        auto *label = widget<QLabel>(window, "updateText");
        QVERIFY2(label->text().endsWith(QStringLiteral(" - 1.9MB/3.2MB")), qPrintable(label->text()));
        QVERIFY(label->text().startsWith(QStringLiteral("transl")) && label->text().contains(QChar(0x2026)));
        QVERIFY(label->fontMetrics().horizontalAdvance(label->text()) <= label->contentsRect().width());
        // Scrolled up to read: new lines do not pull the view down.
        scroll->setValue(0);
        window.downloadStart(doc.documentElement(), 0);
        QCOMPARE(scroll->value(), 0);
    }

    // Restart ends the process, so it runs in a child: this same test program
    // started with "--restart-child" and the updater's command line (see main).
    void restartStartsCallbackAndExits()
    {
        Release release(Empty);
        const QString callback = release.tmp.filePath(QStringLiteral("app.sh"));
        QVERIFY(writeFile(callback, "#!/bin/sh\ntouch \"$(dirname \"$0\")/restarted\"\n"));
        QVERIFY(QFile::setPermissions(callback, QFile::permissions(callback) | QFile::ExeOwner));

        QProcess child;
        child.setProcessChannelMode(QProcess::ForwardedChannels);
        child.setWorkingDirectory(release.tmp.path());
        child.start(QCoreApplication::applicationFilePath(),
                    QStringList{"--restart-child", "--callback", callback} + release.arguments.mid(1));
        QVERIFY(child.waitForFinished(30000));
        QVERIFY(child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0);
        QTRY_VERIFY(QFile::exists(release.tmp.filePath(QStringLiteral("restarted"))));
        QCOMPARE(QFileInfo(release.tmp.filePath(QStringLiteral("app/b.dll"))).size(), qint64(3));
    }
    // A run that ended with errors offers Repair (the hidden button of the
    // form); it fetches again what is damaged and, once the release is in
    // place, "What's new" shows the release notes instead of the account.
    void repairThenWhatsNew()
    {
        Release release(CorruptB);
        QByteArray distant = readFile(release.tmp.filePath("distant.xml"));
        QVERIFY(writeFile(release.tmp.filePath("distant.xml"), distant.replace("version='3.1'", "version='3.1' notes_url='notes.txt'")));
        std::atomic<bool> mended{false};
        release.server.setHandler([&mended](const TestServer::Received &r, httplib::Response &res) {
            const QByteArray body = r.request == "a.dll" ? QByteArray(1048576, 'a')
                                    : r.request == "b.dll" ? QByteArray(mended ? "bee" : "bad")
                                    : r.request == "notes.txt" ? QByteArray("Faster start-up.\n") : QByteArray();
            res.set_content(body.toStdString(), "application/octet-stream");
        });
        UpdaterGUI window(release.arguments);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        auto *restart = widget<QPushButton>(window, "Restart");
        auto *repair = widget<QPushButton>(window, "pushButton");
        auto *notes = widget<QTextBrowser>(window, "whatsNew");
        QTRY_VERIFY_WITH_TIMEOUT(restart->isEnabled(), 20000);
        QVERIFY(repair->isVisible() && !notes->isVisible());
        QCOMPARE(window.exitStatus(), 1);

        mended = true;
        repair->click();
        QVERIFY(!repair->isVisible());
        QTRY_VERIFY_WITH_TIMEOUT(restart->isEnabled(), 20000);
        QCOMPARE(readFile(release.tmp.filePath("app/b.dll")), QByteArray("bee"));
        QCOMPARE(window.exitStatus(), 0);
        QVERIFY(!repair->isVisible());
        QTRY_VERIFY_WITH_TIMEOUT(notes->isVisible(), 20000);
        QCOMPARE(notes->toPlainText(), QStringLiteral("Faster start-up.\n"));
        QVERIFY(!widget<QPlainTextEdit>(window, "plainTextEdit")->isVisible());
        QCOMPARE(m_log.matching(" INFO", {"repair: ", " damaged file(s) found"}).size(), 1);
    }
};

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.value(1) == QLatin1String("--restart-child")) {
        UpdaterGUI window(QStringList{QStringLiteral("updater")} + arguments.mid(2));
        auto *restart = widget<QPushButton>(window, "Restart");
        if (!QTest::qWaitFor([restart] { return restart->isEnabled(); }, 20000))
            return 3;
        restart->click();
        return 4; // Restart did not end the process
    }
    TestUpdaterGUI test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_updatergui.moc"
