// The versionupdater window: command line, version list (bounded, signed,
// over TLS and proxies), window states, log and the restart button, against
// real HTTP servers on 127.0.0.1.
#include "runhistory.h"
#include "scriptedserver.h"
#include "testfiles.h"
#include "testhttpserver.h"
#include "testlog.h"
#include "updaterui.h"
#include "versionupdatersettings.h"
#include "windowchecks.h"

#include <QtTest>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>

#include <memory>

namespace {
const char kChildVariable[] = "VERSIONUPDATER_RESTART_MARKER";
const QString kUpdateError = QStringLiteral("Update error: unable to update...");
const QString kNetworkError = QStringLiteral("Network error: unable to update...");
const QString kChecking = QStringLiteral("Checking for updates\u2026");

// Answers every modal box with Ok and notes "caption|text" in order.
class BoxAnswerer : public QTimer
{
public:
    BoxAnswerer()
    {
        connect(this, &QTimer::timeout, [this] {
            if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
                seen.append(box->windowTitle() + QLatin1Char('|') + box->text());
                box->button(QMessageBox::Ok)->click();
            }
        });
        start(10);
    }
    QStringList seen;
};
QStringList listArgs(const QString &url, const QString &version = "1.0.0.0")
{
    return {"--url", url, "--dir", "dest", "--version", version};
}
} // namespace

class TestUpdaterUI : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<UpdaterUI> m_window;
    QString m_startDir;
    QTemporaryDir m_keys; // keys, certificates, the log
    TestLog m_log;
    QString m_besideProgram = QCoreApplication::applicationDirPath() + "/update-key.pub";

    void makeWindow(const QStringList &arguments)
    {
        m_window.reset(new UpdaterUI(QStringList{QStringLiteral("versionupdater")} + arguments));
    }
    template <typename T> T *child(const char *name) const { return m_window->findChild<T *>(name); }
    QString label() const { return child<QLabel>("updateLabel")->text(); }
    QPushButton *button() const { return child<QPushButton>("restartButton"); }
    QString historyFile() const { return m_keys.filePath("update-history.log"); }
    // The files below dest, sorted.
    static QStringList filesInDest()
    {
        QStringList files;
        const QDir dest(QDir::current().absoluteFilePath("dest"));
        for (QDirIterator it(dest.path(), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories); it.hasNext();)
            files << dest.relativeFilePath(it.next());
        files.removeOne(QStringLiteral(".versionupdater.lock")); // the run's, not a download
        files.sort();
        return files;
    }
    // Runs the window to its end state against the arguments; whileRunning
    // acts on the window before it gets there. Until the list is read the
    // window says it is checking and shows no download; at the end there is
    // one end state, one end record and one history line, the button to go
    // on is the default, and every widget has a name.
    void runToEnd(const QStringList &arguments, const QString &state, const std::function<void()> &whileRunning = {})
    {
        BoxAnswerer answerer;
        makeWindow(arguments);
        auto *cancel = child<QPushButton>("cancelButton");
        if (!VersionUpdaterSettings::instance().publicKeyUnusable && !arguments.contains("--files")) {
            QCOMPARE(label(), kChecking);
            QVERIFY(button()->isHidden() && child<QLabel>("label")->isHidden() && child<QProgressBar>("progressBar")->isHidden());
            QVERIFY(!cancel->isHidden() && m_window->focusWidget() == cancel);
        }
        m_window->show();
        if (whileRunning)
            whileRunning();
        QTRY_COMPARE_WITH_TIMEOUT(label(), state, 20000);
        QVERIFY(!m_window->isVisible() || button()->isVisible());
        // No label says a download is going on once the run is over.
        QVERIFY(!child<QLabel>("label")->isVisible() && !cancel->isVisible());
        QVERIFY(button()->isDefault());
        QCOMPARE(m_log.matching("INFO", {"end: "}), QStringList(m_log.matching("INFO", {"end: " + state}).value(0)));
        QCOMPARE(readFile(historyFile()).count('\n'), 1);
        QCOMPARE(unnamedWidgets(m_window.get()), QStringList());
    }

private slots:
    void initTestCase()
    {
        Q_INIT_RESOURCE(versionupdater);
        m_log.start(m_keys.filePath("log.txt"));
        // Two Ed25519 key pairs and a private CA with a certificate for
        // 127.0.0.1, all made by the openssl command line.
        const QString script = QStringLiteral(
            "set -e; cd '%1'; for k in publisher stranger; do openssl genpkey -algorithm ed25519 -out $k.key;"
            " openssl pkey -in $k.key -pubout -out $k.pub; done; ec='-newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes';"
            "openssl req -x509 $ec -keyout ca.key -out ca.pem -days 2 -subj /CN=test-ca 2>/dev/null;"
            "openssl req $ec -keyout server.key -out server.csr -subj /CN=server 2>/dev/null;"
            "printf 'subjectAltName=IP:127.0.0.1' > server.ext; openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key"
            " -CAcreateserial -out server.pem -days 2 -extfile server.ext 2>/dev/null; echo ok").arg(m_keys.path());
        QCOMPARE(runShell(script).trimmed(), QByteArray("ok"));
    }

    void init()
    {
        VersionUpdaterSettings::instance().reset();
        // Failed transfers are tried again at once, unless a test wants the waits.
        VersionUpdaterSettings::instance().fetchOptions.retryDelaysMs = {0, 0};
        QFile::remove(m_besideProgram);
        QFile::remove(historyFile());
        Logging::RunHistory::instance().setPath(historyFile());
        m_dir = std::make_unique<QTemporaryDir>();
        // Relative paths of the command line are taken from here.
        m_startDir = QDir::currentPath();
        QVERIFY(m_dir->isValid() && QDir::setCurrent(m_dir->path()));
        m_log.mark();
    }

    void cleanup()
    {
        m_window.reset();
        QFile::remove(m_besideProgram);
        QDir::setCurrent(m_startDir);
    }

    void commandLine_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QStringList>("boxes");
        QTest::addColumn<QString>("settings"); // callback|destination|entries|local version|timeout
        const QString warning = "Launch warning.|", noVersion = "Update critical error.|Cannot read file version";
        const QString v = "1.0.0.0", exe = FIXTURES_DIR "/updater.exe", plain = "Kandemar.exe|||1.0.0.0|30";
        QTest::newRow("defaults, no version file") << QStringList() << QStringList{noVersion} << "Kandemar.exe|||-1.0.0.0|30";
        // No box before the warning: nothing may hold up an unattended update.
        QTest::newRow("callback missing") << QStringList{"--callback", "nothing.exe", "--version", v}
                                          << QStringList{warning + "Cannot find callback executable. Switching to default value."}
                                          << plain;
        QTest::newRow("callback present") << QStringList{"--callback", exe, "--version", v} << QStringList()
                                          << exe + "|||1.0.0.0|30";
        QTest::newRow("version from --path") << QStringList{"--path", exe} << QStringList() << "Kandemar.exe|||1.2.0.0|30";
        QTest::newRow("three-part version")
            << QStringList{"--version", "2.0.1"}
            << QStringList{warning + "Invalid version format. Switching to default value.", noVersion} << "Kandemar.exe|||-1.0.0.0|30";
        QTest::newRow("files, then files with none") << QStringList{"--files", "a", "b", "--files", "--version", v}
                                                     << QStringList() << "Kandemar.exe||a,b|1.0.0.0|30";
        QTest::newRow("dir created, then two levels deep")
            << QStringList{"--dir", "out", "--dir", "x/y", "--version", v}
            << QStringList{warning + "Unable to create destination folder. Switching to default value."} << "Kandemar.exe|out||1.0.0.0|30";
        QTest::newRow("unknown option and its value") << QStringList{"--foo", "bar", "--version", v}
                                                      << QStringList{warning + "Invalid command line.", warning + "Invalid command line."} << plain;
        QTest::newRow("value missing at the end") << QStringList{"--version", v, "--dir"}
                                                  << QStringList{warning + "Missing value for option --dir."} << plain;
        const QString badTimeout = warning + "Invalid timeout. Switching to default value.";
        QTest::newRow("timeout: zero refused, then 5") << QStringList{"--timeout", "0", "--timeout", "5", "--timeout", "x", "--version", v}
                                                       << QStringList{badTimeout, badTimeout} << "Kandemar.exe|||1.0.0.0|5";
        QTest::newRow("CA file missing") << QStringList{"--ca_file", "none.pem", "--version", v}
                                         << QStringList{warning + "Cannot read CA certificates: cannot read none.pem: No such file or "
                                                                  "directory. Switching to default value."} << plain;
        QTest::newRow("public key missing: nothing is updated")
            << QStringList{"--public_key", "none.pub", "--version", v}
            << QStringList{warning + "Cannot use the public key: cannot read 'none.pub': No such file or directory. "
                                     "Nothing will be updated."} << plain;
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
        QCOMPARE(QStringList({s.callbackPath, s.destinationDir, s.downloadEntries.join(','), s.localVersion.toString(),
                              QString::number(s.fetchOptions.stallSeconds)}).join('|'), settings);
        QVERIFY(s.destinationDir.isEmpty() || QFileInfo(s.destinationDir).isDir());
        QVERIFY(!QFileInfo::exists("x"));
        // A key that cannot be used stops the run before anything is asked for.
        if (s.publicKeyUnusable)
            QCOMPARE(label(), kUpdateError);
    }

    void versionList_data()
    {
        QTest::addColumn<QByteArray>("list");       // "PORT" stands for the server's port; see below for the rest
        // Besides --url, --dir and --version. TLS: the server speaks it; BESIDE: the
        // key beside the program; KEYS, SERVER, CA: their paths.
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("state");
        QTest::addColumn<QStringList>("written"); // files in the destination folder
        QTest::addColumn<QString>("logged");      // in an ERROR record, before and after '|'
        const QByteArray example = "**UPDATE LIST** 2026\r\n"
                                   "1.2.0.1#http://127.0.0.1:PORT/u1.bin\r\n"
                                   "1.3.0.0#http://127.0.0.1:PORT/u2.bin=bin/u2.exe#ignored\r\n"
                                   "1.2.0.0#http://127.0.0.1:PORT/u3.bin\r\n"
                                   "1.1.9.9#http://127.0.0.1:PORT/u4.bin\n"
                                   "1.2.0#http://127.0.0.1:PORT/u5.bin\n"
                                   "9.0.0.0\n";
        const QStringList none, u1{"u1.bin"};
        const QString done = "Update finished.", failed = "Update error.", nothing = "No update available.";
        const auto row = [](const char *name, const QByteArray &list, const QStringList &arguments, const QString &state,
                            const QStringList &written = {}, const QString &logged = {}) {
            QTest::newRow(name) << list << arguments << state << written << logged;
        };
        row("newer lines of the example", example, none, done, {"bin/u2.exe", "u1.bin"});
        row("marker alone", "**UPDATE LIST**", none, nothing);
        row("first line empty", "\n**UPDATE LIST**\n2.0.0.0#http://127.0.0.1:PORT/u1.bin\n", none, kUpdateError);
        row("list not found", QByteArray(), none, kNetworkError, none, "version list not fetched|HTTP 404");
        // Entries that must not be followed: the rest of the list still is.
        row("file:, data: and NUL entries",
            QByteArray("**UPDATE LIST**\n2.0.0.0#file:///etc/hostname=stolen.txt\n2.0.0.0#data:text/plain,owned=owned.txt\n"
                       "2.0.0.0#http://127.0.0.1:PORT/u1.bin=u1")
                .append('\0')
                .append(".bin\n2.0.0.0#http://127.0.0.1:PORT/u1.bin\n"),
            none, failed, u1);
        // Special bodies: the server misbehaves so (ScriptedServer::misbehave,
        // "announced" 2 MiB, "gzip" the example compressed); 500 is an HTTP 500.
        row("endless list", "endless", none, kUpdateError);
        row("list announced over 1 MiB", "announced", none, kUpdateError);
        row("list of exactly 1 MiB", QByteArray("**UPDATE LIST**\n").leftJustified(1 << 20, '#'), none, nothing);
        row("list one byte over 1 MiB", QByteArray("**UPDATE LIST**\n").leftJustified((1 << 20) + 1, '#'), none, kUpdateError);
        row("gzip list, never inflated", "gzip", none, kUpdateError);
        row("silent server, --timeout 1", "silent", {"--timeout", "1"}, kNetworkError);
        // Asked for three times.
        row("HTTP 500 three times", "500", none, kNetworkError, none, "version list not fetched|HTTP 500 Internal Server Error");
        // HTTPS with a private CA given with --ca_file; a certificate that
        // does not check out is never accepted.
        const QByteArray tlsList = "**UPDATE LIST**\n2.0.0.0#https://127.0.0.1:PORT/u1.bin\n";
        row("https, private CA given", tlsList, {"TLS", "--ca_file", "CA"}, done, u1);
        row("https, CA unknown", tlsList, {"TLS"}, kNetworkError, none, "version list not fetched|SSL handshake failed");
        // With a key, the list counts only with a valid signature (SIG:, made
        // by the openssl command line), and each entry only with its sha256.
        const QByteArray signedList = "**UPDATE LIST**\n2.0.0.0#http://127.0.0.1:PORT/u1.bin#sha256=RIGHT\n";
        const QStringList pub{"--public_key", "KEYS/publisher.pub"}, key = QStringList(pub) << "SIG:valid";
        const QString invalid = "version list refused: signature invalid", missing = "version list refused: signature missing";
        row("signed, sha256 matches", signedList, key, done, u1);
        row("key beside the program", signedList, {"BESIDE", "SIG:valid"}, done, u1);
        row("list changed after signing", signedList, pub + QStringList{"SIG:tampered"}, kUpdateError, none, invalid);
        row("signed by another key", signedList, pub + QStringList{"SIG:stranger"}, kUpdateError, none, invalid);
        row("signature missing", signedList, pub + QStringList{"SIG:missing"}, kUpdateError, none, missing);
        row("signature empty", signedList, pub + QStringList{"SIG:empty"}, kUpdateError, none, missing);
        row("sha256 does not match", QByteArray(signedList).replace("RIGHT", "WRONG"), key, failed, none, "sha256 mismatch");
        row("entry without sha256", QByteArray(signedList).replace("#sha256=RIGHT", ""), key, failed, none, "no sha256");
        row("--files entry under a key", signedList, key + QStringList{"--files", "SERVER/u1.bin"}, failed, u1, "no sha256");
        row("key file is no key", signedList, {"--public_key", "KEYS/publisher.key", "SIG:valid"}, kUpdateError, none,
            "the public key KEYS/publisher.key cannot be used");
        // Key overlap: a line by any of the keys given.
        row("two keys, signed by the second", signedList,
            {"--public_key", "KEYS/stranger.pub", "--public_key", "KEYS/publisher.pub", "SIG:valid"}, done, u1);
        row("signed by both, one key", signedList, pub + QStringList{"SIG:both"}, done, u1);
        row("one of two keys is no key", signedList,
            {"--public_key", "KEYS/publisher.pub", "--public_key", "KEYS/publisher.key", "SIG:valid"}, kUpdateError, none, "cannot be used");
    }

    void versionList()
    {
        QFETCH(QByteArray, list);
        QFETCH(QStringList, arguments);
        QFETCH(QStringList, written);
        const bool tls = arguments.removeAll("TLS") > 0;
        arguments.replaceInStrings("CA", m_keys.filePath("ca.pem"));
        ScriptedServer server(tls ? m_keys.filePath("server.pem") : "", tls ? m_keys.filePath("server.key") : "");
        const QByteArray port = QByteArray::number(QUrl(server.url("/")).port());
        const QByteArray gzip = runShell("printf '**UPDATE LIST**\\n2.0.0.0#http://127.0.0.1:" + port + "/u1.bin\\n' | gzip");
        QByteArray body = QByteArray(list).replace("PORT", port).replace("RIGHT", sha256Of("/u1.bin").toLatin1());
        body.replace("WRONG", sha256Of("other").toLatin1());
        const QString sig = arguments.filter("SIG:").value(0).mid(4);
        if (!sig.isEmpty()) {
            arguments.removeAll("SIG:" + sig);
            QVERIFY(writeFile("to-sign", body));
            const auto signedBy = [&](const char *key) {
                return runShell(QStringLiteral("openssl pkeyutl -sign -rawin -inkey '%1' -in to-sign | base64 -w0")
                                    .arg(m_keys.filePath(key)));
            };
            QByteArray signature = signedBy(sig == "stranger" ? "stranger.key" : "publisher.key");
            QVERIFY(signature.size() > 80);
            if (sig == "both")
                signature = signedBy("stranger.key") + '\n' + signature;
            if (sig != "missing")
                server.setFile("/list.sig", sig == "empty" ? QByteArray() : signature + '\n');
            if (sig == "tampered")
                body.replace("2.0.0.0", "2.0.0.1");
        }
        if (arguments.removeAll("BESIDE"))
            QVERIFY(QFile::copy(m_keys.filePath("publisher.pub"), m_besideProgram));
        arguments.replaceInStrings("KEYS", m_keys.path()).replaceInStrings("SERVER", server.url(""));
        const ScriptedServer *s = &server;
        server.setHandler([=](const QString &path, httplib::Response &res) {
            if (path != "/list" || list.isNull())
                return false;
            if (list == "500")
                res.status = 500;
            else if (!s->misbehave(QString::fromLatin1(list), res, gzip, size_t(2) << 20))
                res.set_content(body.toStdString(), "text/plain");
            return true;
        });
        for (const char *name : {"/u1.bin", "/u2.bin", "/u3.bin", "/u4.bin", "/u5.bin"})
            server.setFile(name, QByteArray(name));

        QFETCH(QString, state);
        runToEnd(listArgs(server.url("/list"), "1.2.0.0") + arguments, state);
        QCOMPARE(button()->text(), QStringLiteral("Restart"));
        // The bar stays only once something was to be fetched.
        QCOMPARE(child<QProgressBar>("progressBar")->isVisible(), state != "No update available.");
        // A refused "--files" entry ends a first queue early: the list's entry is placed afterwards.
        QTRY_COMPARE(filesInDest(), written);
        for (const QString &file : written)
            QCOMPARE(readFile("dest/" + file), "/" + file.section('/', -1).replace(".exe", ".bin").toUtf8());
        const auto requests = server.received();
        for (const auto &request : requests)
            QCOMPARE(request.acceptEncoding, QByteArray("identity"));
        QVERIFY(!QFile::exists("stolen.txt") && !QFile::exists("dest/stolen.txt"));
        QFETCH(QString, logged);
        if (!logged.isEmpty())
            QVERIFY(!m_log.matching("ERROR", logged.replace("KEYS", m_keys.path()).split('|')).isEmpty());
        if (state == "Update finished.")
            QCOMPARE(m_log.matching("ERROR", {}), QStringList());
        if (!sig.isEmpty() && logged.isEmpty())
            QCOMPARE(m_log.matching("INFO", {"version list: signature valid"}).size(), 1);
        // A list that does not check out is not followed at all, and an
        // unusable key stops the run before anything is asked for.
        if (state == kUpdateError)
            QCOMPARE(server.hits("/u1.bin"), 0);
        if (logged.contains("cannot be used"))
            QCOMPARE(int(requests.size()), 0);
        if (list == "500") // the waits between attempts: tst_updaterhandler misbehavingServer
            QCOMPARE(int(requests.size()), 3);
    }

    // Every way a run ends, as the window shows it: the target version, how
    // many files went in, the bar at that share; refused entries at the head
    // of the list do not end the run early. Cancel (or closing the window)
    // drops the download in flight. Esc closes at the end.
    void endStates_data()
    {
        QTest::addColumn<QByteArray>("list"); // PORT: the server's; SLOW: a download held until Cancel
        QTest::addColumn<QString>("action");
        QTest::addColumn<QString>("state");
        QTest::addColumn<QString>("detail");
        QTest::addColumn<int>("bar"); // -1: hidden
        QTest::addColumn<QString>("history");
        const QByteArray head = "**UPDATE LIST**\n";
        const QString u = "http://127.0.0.1:PORT/";
        QTest::newRow("finished") << head + ("1.3.0.0#" + u + "u1.bin\n1.4.0.0#" + u + "u2.bin=bin/u2.exe\n").toUtf8() << ""
                                  << "Update finished." << "1.2.0.0 \u2192 1.4.0.0, 2 of 2 files installed" << 100
                                  << "versionupdater 1.2.0.0 -> 1.4.0.0 done; fetched 2, failed 0";
        QTest::newRow("error") << head + ("1.3.0.0#ftp://127.0.0.1:1/x.bin\n1.3.0.0#" + u + "u1.bin=../out.bin\n1.4.0.0#" + u
                                          + "u1.bin\n1.4.0.0#" + u + "missing.bin\n").toUtf8()
                               << "" << "Update error." << "1.2.0.0 \u2192 1.4.0.0, 1 of 4 files installed" << 25
                               << "versionupdater 1.2.0.0 -> 1.4.0.0 done with errors; fetched 1, failed 3";
        QTest::newRow("no update") << head << "" << "No update available." << "" << -1
                                   << "versionupdater 1.2.0.0 -> - no update; fetched 0, failed 0";
        QTest::newRow("list not found") << QByteArray() << "" << kNetworkError << "" << 0
                                        << "versionupdater 1.2.0.0 -> - version list not fetched;";
        QTest::newRow("list refused") << QByteArray("<html>\n") << "" << kUpdateError << "" << 0
                                      << "versionupdater 1.2.0.0 -> - version list refused;";
        const QByteArray slow = head + ("1.3.0.0#" + u + "u1.bin\n1.3.0.0#" + u + "slow.bin\n").toUtf8();
        for (const char *action : {"cancel", "close"})
            QTest::newRow(action) << slow << action << "Update cancelled." << "1.2.0.0 \u2192 1.3.0.0, 1 of 2 files installed"
                                  << 50 << "versionupdater 1.2.0.0 -> 1.3.0.0 cancelled; fetched 1, failed 1";
    }
    void endStates()
    {
        QFETCH(QByteArray, list);
        QFETCH(QString, action);
        ScriptedServer server;
        const ScriptedServer *s = &server;
        server.setHandler([s](const QString &path, httplib::Response &res) { return path == "/slow.bin" && s->misbehave("silent", res); });
        if (!list.isNull())
            server.setFile("/list", QByteArray(list).replace("PORT", QByteArray::number(QUrl(server.url("/")).port())));
        server.setFile("/u1.bin", "one");
        server.setFile("/u2.bin", "two");
        QVERIFY(writeFile("dest/slow.bin", "old"));
        QFETCH(QString, state);
        runToEnd(listArgs(server.url("/list"), "1.2.0.0"), state, [&] {
            if (action.isEmpty())
                return;
            QTRY_COMPARE_WITH_TIMEOUT(label(), QStringLiteral("Downloading slow.bin"), 20000);
            QCOMPARE(child<QLabel>("detailLabel")->text(), QStringLiteral("1.2.0.0 \u2192 1.3.0.0, file 2 of 2"));
            QVERIFY(child<QLabel>("label")->isVisible() && child<QProgressBar>("progressBar")->value() == 50);
            QVERIFY(saveScreenshot(m_window.get(), "versionupdater-running"));
            if (action == "cancel")
                child<QPushButton>("cancelButton")->click();
            else
                m_window->close();
        });
        QFETCH(QString, detail);
        QCOMPARE(child<QLabel>("detailLabel")->text(), detail);
        QCOMPARE(child<QLabel>("detailLabel")->isVisible(), !detail.isEmpty() && action != "close");
        auto *progress = child<QProgressBar>("progressBar");
        QTEST(progress->isHidden() ? -1 : progress->value(), "bar");
        QFETCH(QString, history);
        QVERIFY2(readFile(historyFile()).contains(history.toUtf8()), readFile(historyFile()).constData());
        QCOMPARE(readFile("dest/slow.bin"), QByteArray("old"));
        QVERIFY(!QFile::exists("out.bin"));
        QCOMPARE(m_log.matching("INFO", {"downloads done"}).size(), action.isEmpty() && !list.isNull() && list.contains('#') ? 1 : 0);
        QVERIFY(saveScreenshot(m_window.get(), "versionupdater-" + QString(QTest::currentDataTag()).replace(' ', '-')));
        if (action != "close") {
            QCOMPARE(m_window->focusWidget(), button());
            QTest::keyClick(m_window.get(), Qt::Key_Escape);
            QTRY_VERIFY(!m_window->isVisible());
        }
    }

    // http_proxy and no_proxy are honoured; a proxy that wants credentials
    // is named in the log.
    void proxies_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("state");
        QTest::addColumn<int>("throughProxy");
        QTest::newRow("forwarding proxy") << "forward" << "Update finished." << 2;
        QTest::newRow("proxy wants credentials") << "407" << kNetworkError << 3;
        QTest::newRow("no_proxy bypasses it") << "bypass" << "Update finished." << 0;
    }
    void proxies()
    {
        QFETCH(QString, kind);
        QFETCH(QString, state);
        ScriptedServer origin;
        origin.setFile("/list", "**UPDATE LIST**\n2.0.0.0#" + origin.url("/u1.bin").toUtf8() + "\n");
        origin.setFile("/u1.bin", "through the proxy");
        // A forward proxy: requests come with the whole URL as target.
        ScriptedServer proxy;
        const int originPort = QUrl(origin.url("/")).port();
        proxy.setHandler([&](const QString &target, httplib::Response &res) {
            if (kind == "407" || QUrl(target).port() != originPort) {
                res.status = 407;
                res.set_header("Proxy-Authenticate", "Basic realm=\"proxy\"");
                return true;
            }
            const auto answer = httplib::Client("127.0.0.1", originPort).Get(QUrl(target).path().toStdString().c_str());
            res.status = answer ? answer->status : 502;
            if (answer)
                res.set_content(answer->body, "application/octet-stream");
            return true;
        });
        const QByteArray proxyUrl = proxy.url("").toUtf8();
        qputenv("http_proxy", proxyUrl);
        if (kind == "bypass")
            qputenv("no_proxy", "127.0.0.1");
        runToEnd(listArgs(origin.url("/list")), state);
        qunsetenv("http_proxy");
        qunsetenv("no_proxy");
        QTEST(int(proxy.received().size()), "throughProxy");
        QCOMPARE(readFile("dest/u1.bin"), state == kNetworkError ? QByteArray("<missing>") : QByteArray("through the proxy"));
        if (kind == "407")
            QCOMPARE(m_log.matching("ERROR", {"the proxy " + proxyUrl + " asks for credentials"}).size(), 1);
    }

    // One run as a support person reads it in the log. "--files" are fetched
    // at start-up and again with the newer list; a failed download leaves the
    // installed file and ends with "Update error.".
    void logAndFilesAgain()
    {
        TestServer server;
        const QString list = server.url("/list"), fresh = server.url("/new.bin"), gone = server.url("/gone.bin");
        // Two slips of the publisher, each read as ever and logged.
        server.setFile("/list", ("**UPDATE LIST**\n01.0.0.0#" + server.url("/old.bin") + "\n2.0.0.0#" + fresh + "\n3.0.0.0#"
                                 + gone + "=app.dll=old.dll\n").toUtf8());
        server.setFile("/new.bin", "new");
        server.setFile("/direct.bin", "direct");
        QVERIFY(writeFile("dest/app.dll", "the installed copy\n"));
        VersionUpdaterSettings::instance().callbackPath.clear(); // without a callback the button only closes
        runToEnd(listArgs(list, "1.2.0.0") << "--files" << server.url("/direct.bin"), "Update error.");
        QCOMPARE(server.hits("/direct.bin") * 10 + server.hits("/new.bin"), 21);
        QCOMPARE(readFile("dest/app.dll") + readFile("dest/direct.bin") + readFile("dest/new.bin"),
                 QByteArray("the installed copy\ndirectnew"));
        QCOMPARE(button()->text(), QStringLiteral("Close"));
        const QStringList expected{
            "INFO|versionupdater|started with|--url", "WARN|no public key", "INFO|local version 1.2.0.0",
            "INFO|version list fetched from " + list + ": ", "WARN|line 2: version part 1 |01|is padded: it reads as 1",
            "WARN|line 4: the entry has 2 |old.dll|is ignored",
            "INFO|line 2 skipped: 1.0.0.0 is not newer than 1.2.0.0",
            "INFO|line 3 chosen: newer than 1.2.0.0: " + fresh + " -> new.bin (no sha256)", "INFO|line 4 chosen",
            "INFO|" + fresh + " -> new.bin: written, 3 bytes",
            "ERROR|" + gone + " -> app.dll: failed after 3 attempt(s): HTTP 404 Not Found",
            "INFO|downloads done: 3 written, 1 failed", "INFO|end: Update error."};
        QStringList seen;
        for (const QString &pattern : expected) {
            const QStringList parts = pattern.split('|');
            seen << (m_log.matching(parts.first(), parts.mid(1)).size() == 1 ? pattern : "MISSING " + pattern);
        }
        QCOMPARE(seen, expected);
        // Each record is one line: level, timestamp, message.
        const QRegularExpression format("^(TRACE|DEBUG| INFO| WARN|ERROR|FATAL) \\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3} ");
        for (const QString &record : m_log.records())
            QVERIFY2(format.match(record).hasMatch(), qPrintable(record));
    }

    void progress()
    {
        TestServer server;
        server.setFile("/list", "**UPDATE LIST**\n");
        makeWindow({"--url", server.url("/list"), "--version", "1.0.0.0"});
        auto *bar = child<QProgressBar>("progressBar");
        bar->setValue(40);
        QVERIFY(QMetaObject::invokeMethod(m_window.get(), "downloadReady", Q_ARG(QUrl, QUrl("bin/tool.exe")), Q_ARG(int, 2)));
        QCOMPARE(label(), QStringLiteral("Downloading bin/tool.exe"));
        QCOMPARE(bar->value(), 0);
        QVERIFY(bar->isVisibleTo(m_window.get()));
        // Received, total, percentage; an unknown total or one passed leaves the bar at 50.
        for (const auto &c : {QVector<qint64>{1, 3, 33}, {2, 3, 66}, {5, -1, 50}, {7, 3, 50}}) {
            bar->setValue(50);
            QVERIFY(QMetaObject::invokeMethod(m_window.get(), "downloadProgress", Q_ARG(qint64, c[0]), Q_ARG(qint64, c[1])));
            QCOMPARE(bar->value(), int(c[2]));
        }
    }

    // The button ends the process, so it is pressed in a child run of this
    // test program (restartChild); here we watch its exit and its callback.
    void restartStartsCallbackAndExits()
    {
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
        runToEnd({"--url", server.url("/list"), "--version", "1.0.0.0", "--callback", script}, "No update available.");
        QTest::mouseClick(button(), Qt::LeftButton);
        QFAIL("the button should have ended the process");
    }
};

QTEST_MAIN(TestUpdaterUI)
#include "tst_updaterui.moc"
