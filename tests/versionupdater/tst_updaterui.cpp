// The versionupdater window: command line, version list (bounded, signed,
// over TLS and proxies), window states, log and the restart button, against
// real HTTP servers on 127.0.0.1.
#include "scriptedserver.h"
#include "testfiles.h"
#include "testhttpserver.h"
#include "testlog.h"
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
const QString kUpdateError = QStringLiteral("Update error: unable to update...");
const QString kNetworkError = QStringLiteral("Network error: unable to update...");

QString sha256Of(const QByteArray &data)
{
    return QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex());
}

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
    QTemporaryDir m_keys; // keys, certificates, the log
    TestLog m_log;
    QString m_besideProgram = QCoreApplication::applicationDirPath() + "/update-key.pub";

    // Builds the window with the given arguments after the program path.
    void makeWindow(const QStringList &arguments)
    {
        m_window.reset(new UpdaterUI(QStringList{QStringLiteral("versionupdater")} + arguments));
    }
    template <typename T> T *child(const char *name) const { return m_window->findChild<T *>(name); }
    QString label() const { return child<QLabel>("updateLabel")->text(); }
    QPushButton *button() const { return child<QPushButton>("restartButton"); }
    // The files below dest, sorted.
    static QStringList filesInDest()
    {
        QStringList files;
        const QDir dest(QDir::current().absoluteFilePath("dest"));
        for (QDirIterator it(dest.path(), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories); it.hasNext();)
            files << dest.relativeFilePath(it.next());
        files.sort();
        return files;
    }
    // Runs the window to its end state against the arguments.
    void runToEnd(const QStringList &arguments, const QString &state)
    {
        BoxAnswerer answerer;
        makeWindow(arguments);
        m_window->show();
        QTRY_COMPARE_WITH_TIMEOUT(label(), state, 20000);
        QVERIFY(button()->isVisible());
        // No label says a download is going on once the run is over.
        QVERIFY(!child<QLabel>("label")->isVisible());
    }

    // The signature file of `data` as `openssl pkeyutl -rawin` makes it.
    QByteArray opensslSignature(const QByteArray &data, const QString &key)
    {
        const QString message = m_dir->filePath("to-sign");
        if (!writeFile(message, data))
            return {};
        return runShell(QStringLiteral("openssl pkeyutl -sign -rawin -inkey '%1' -in '%2' | base64 -w0")
                            .arg(m_keys.filePath(key), message)) + '\n';
    }

private slots:
    void initTestCase()
    {
        Q_INIT_RESOURCE(versionupdater);
        m_log.start(m_keys.filePath("log.txt"));
        // Two Ed25519 key pairs and a private CA with a certificate for
        // 127.0.0.1, all made by the openssl command line.
        const QString script = QStringLiteral(
            "set -e; cd '%1';"
            "for k in publisher stranger; do openssl genpkey -algorithm ed25519 -out $k.key;"
            " openssl pkey -in $k.key -pubout -out $k.pub; done;"
            "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout ca.key -out ca.pem"
            " -days 2 -subj /CN=test-ca 2>/dev/null;"
            "openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout server.key -out server.csr"
            " -subj /CN=server 2>/dev/null;"
            "printf 'subjectAltName=IP:127.0.0.1' > server.ext;"
            "openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out server.pem -days 2"
            " -extfile server.ext 2>/dev/null; echo ok").arg(m_keys.path());
        QCOMPARE(runShell(script).trimmed(), QByteArray("ok"));
    }

    void init()
    {
        VersionUpdaterSettings::instance().reset();
        // Failed transfers are tried again at once, unless a test wants the waits.
        VersionUpdaterSettings::instance().fetchOptions.retryDelaysMs = {0, 0};
        QFile::remove(m_besideProgram);
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        // Relative paths of the command line are taken from here.
        m_startDir = QDir::currentPath();
        QDir::setCurrent(m_dir->path());
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

        const QString warning = QStringLiteral("Launch warning.|");
        const QString noVersion = QStringLiteral("Update critical error.|Cannot read file version");
        const QString v = QStringLiteral("1.0.0.0"), exe = QStringLiteral(FIXTURES_DIR "/updater.exe");
        QTest::newRow("defaults, no version file") << QStringList() << QStringList{noVersion}
                                                   << "Kandemar.exe|||-1.0.0.0|30";
        QTest::newRow("callback missing: '...' box first")
            << QStringList{"--callback", "nothing.exe", "--version", v}
            << QStringList{"...|nothing.exe", warning + "Cannot find callback executable. Switching to default value."}
            << "Kandemar.exe|||1.0.0.0|30";
        QTest::newRow("callback present") << QStringList{"--callback", exe, "--version", v}
                                          << QStringList{"...|" + exe} << exe + "|||1.0.0.0|30";
        QTest::newRow("version from --path") << QStringList{"--path", exe} << QStringList()
                                             << "Kandemar.exe|||1.2.0.0|30";
        QTest::newRow("three-part version")
            << QStringList{"--version", "2.0.1"}
            << QStringList{warning + "Invalid version format. Switching to default value.", noVersion}
            << "Kandemar.exe|||-1.0.0.0|30";
        QTest::newRow("files, then files with none") << QStringList{"--files", "a", "b", "--files", "--version", v}
                                                     << QStringList() << "Kandemar.exe||a,b|1.0.0.0|30";
        QTest::newRow("dir created, then two levels deep")
            << QStringList{"--dir", "out", "--dir", "x/y", "--version", v}
            << QStringList{warning + "Unable to create destination folder. Switching to default value."}
            << "Kandemar.exe|out||1.0.0.0|30";
        QTest::newRow("unknown option and its value")
            << QStringList{"--foo", "bar", "--version", v}
            << QStringList{warning + "Invalid command line.", warning + "Invalid command line."}
            << "Kandemar.exe|||1.0.0.0|30";
        QTest::newRow("value missing at the end") << QStringList{"--version", v, "--dir"}
                                                  << QStringList{warning + "Missing value for option --dir."}
                                                  << "Kandemar.exe|||1.0.0.0|30";
        QTest::newRow("timeout: zero refused, then 5")
            << QStringList{"--timeout", "0", "--timeout", "5", "--timeout", "x", "--version", v}
            << QStringList{warning + "Invalid timeout. Switching to default value.",
                           warning + "Invalid timeout. Switching to default value."}
            << "Kandemar.exe|||1.0.0.0|5";
        QTest::newRow("CA file missing")
            << QStringList{"--ca_file", "none.pem", "--version", v}
            << QStringList{warning + "Cannot read CA certificates: cannot read none.pem: No such file or directory. "
                                     "Switching to default value."}
            << "Kandemar.exe|||1.0.0.0|30";
        QTest::newRow("public key missing: nothing is updated")
            << QStringList{"--public_key", "none.pub", "--version", v}
            << QStringList{warning + "Cannot use the public key: cannot read 'none.pub': No such file or directory. "
                                     "Nothing will be updated."}
            << "Kandemar.exe|||1.0.0.0|30";
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
                              QString::number(s.fetchOptions.stallSeconds)})
                     .join('|'),
                 settings);
        QVERIFY(s.destinationDir.isEmpty() || QFileInfo(s.destinationDir).isDir());
        QVERIFY(!QFileInfo::exists("x"));
        // A key that cannot be used stops the run before anything is asked for.
        if (s.publicKeyUnusable)
            QCOMPARE(label(), kUpdateError);
    }

    void versionList_data()
    {
        QTest::addColumn<QByteArray>("list");      // "PORT" stands for the server's port; see below for the rest
        QTest::addColumn<QStringList>("arguments"); // besides --url, --dir and --version
        QTest::addColumn<QString>("state");
        QTest::addColumn<QStringList>("written");  // files in the destination folder
        QTest::addColumn<bool>("barVisible");

        const QByteArray example = "**UPDATE LIST** 2026\r\n"
                                   "1.2.0.1#http://127.0.0.1:PORT/u1.bin\r\n"
                                   "1.3.0.0#http://127.0.0.1:PORT/u2.bin=bin/u2.exe#ignored\r\n"
                                   "1.2.0.0#http://127.0.0.1:PORT/u3.bin\r\n"
                                   "1.1.9.9#http://127.0.0.1:PORT/u4.bin\n"
                                   "1.2.0#http://127.0.0.1:PORT/u5.bin\n"
                                   "9.0.0.0\n";
        const QStringList none;
        QTest::newRow("newer lines of the example") << example << none << "Update finished."
                                                    << QStringList{"bin/u2.exe", "u1.bin"} << true;
        QTest::newRow("marker alone") << QByteArray("**UPDATE LIST**") << none << "No update available." << none
                                      << false;
        QTest::newRow("first line empty") << QByteArray("\n**UPDATE LIST**\n2.0.0.0#http://127.0.0.1:PORT/u1.bin\n")
                                          << none << kUpdateError << none << true;
        QTest::newRow("list not found") << QByteArray() << none << kNetworkError << none << true;
        // Entries that must not be followed: the rest of the list still is.
        QTest::newRow("file:, data: and NUL entries")
            << QByteArray("**UPDATE LIST**\n2.0.0.0#file:///etc/hostname=stolen.txt\n"
                          "2.0.0.0#data:text/plain,owned=owned.txt\n"
                          "2.0.0.0#http://127.0.0.1:PORT/u1.bin=u1")
                   .append('\0')
                   .append(".bin\n2.0.0.0#http://127.0.0.1:PORT/u1.bin\n")
            << none << "Update error." << QStringList{"u1.bin"} << true;
        // Special bodies: ENDLESS never ends, HUGE announces 2 MiB, GZIP is the
        // example compressed, SILENT never answers.
        QTest::newRow("endless list") << QByteArray("ENDLESS") << none << kUpdateError << none << true;
        QTest::newRow("list announced over 1 MiB") << QByteArray("HUGE") << none << kUpdateError << none << true;
        QTest::newRow("list of exactly 1 MiB") << QByteArray("**UPDATE LIST**\n").leftJustified(1 << 20, '#') << none
                                               << "No update available." << none << false;
        QTest::newRow("list one byte over 1 MiB") << QByteArray("**UPDATE LIST**\n").leftJustified((1 << 20) + 1, '#')
                                                  << none << kUpdateError << none << true;
        QTest::newRow("gzip list, never inflated") << QByteArray("GZIP") << none << kUpdateError << none << true;
        QTest::newRow("silent server, --timeout 1") << QByteArray("SILENT") << QStringList{"--timeout", "1"}
                                                    << kNetworkError << none << true;
    }

    void versionList()
    {
        QFETCH(QByteArray, list);
        QFETCH(QStringList, arguments);
        QFETCH(QString, state);
        QFETCH(QStringList, written);
        QFETCH(bool, barVisible);

        ScriptedServer server;
        const QByteArray port = QByteArray::number(QUrl(server.url("/")).port());
        const QByteArray gzip = runShell("printf '**UPDATE LIST**\\n2.0.0.0#http://127.0.0.1:" + port + "/u1.bin\\n' | gzip");
        const ScriptedServer *s = &server;
        server.setHandler([=](const QString &path, httplib::Response &res) {
            if (path != "/list" || list.isNull())
                return false;
            if (list == "ENDLESS") {
                res.set_chunked_content_provider("text/plain", [](size_t, httplib::DataSink &sink) {
                    static const std::string block(65536, '#');
                    return sink.write(block.data(), block.size());
                });
            } else if (list == "HUGE") {
                res.set_content_provider(size_t(2) << 20, "text/plain",
                                         [](size_t, size_t, httplib::DataSink &sink) { return sink.write("####", 4); });
            } else if (list == "GZIP") {
                res.set_header("Content-Encoding", "gzip");
                res.set_content(gzip.toStdString(), "text/plain");
            } else if (list == "SILENT") {
                s->pause(30000);
            } else {
                res.set_content(QByteArray(list).replace("PORT", port).toStdString(), "text/plain");
            }
            return true;
        });
        for (const char *name : {"/u1.bin", "/u2.bin", "/u3.bin", "/u4.bin", "/u5.bin"})
            server.setFile(name, QByteArray(name));

        BoxAnswerer answerer;
        makeWindow(QStringList{"--url", server.url("/list"), "--dir", "dest", "--version", "1.2.0.0"} + arguments);
        QCOMPARE(label(), QStringLiteral("Updating..."));
        QVERIFY(button()->isHidden());
        m_window->show();

        QTRY_COMPARE_WITH_TIMEOUT(label(), state, 20000);
        QCOMPARE(button()->isVisible(), true);
        QCOMPARE(button()->text(), QStringLiteral("Restart"));
        QCOMPARE(child<QProgressBar>("progressBar")->isVisible(), barVisible);
        // Whatever the end, no label says a download is going on.
        QCOMPARE(child<QLabel>("label")->isVisible(), false);

        QCOMPARE(filesInDest(), written);
        for (const QString &file : written)
            QCOMPARE(readFile("dest/" + file), "/" + file.section('/', -1).replace(".exe", ".bin").toUtf8());
        QCOMPARE(server.received().front().acceptEncoding, QByteArray("identity"));
        QVERIFY(!QFile::exists("stolen.txt") && !QFile::exists("dest/stolen.txt"));
    }

    // With a key, the list counts only with a valid signature (made here by
    // the openssl command line), and each entry only with a matching sha256.
    void signedList_data()
    {
        QTest::addColumn<QString>("signature"); // valid, tampered, stranger, missing, empty
        QTest::addColumn<QString>("entryHash"); // right, wrong, none
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("state");
        QTest::addColumn<QString>("logged"); // in ERROR records
        const QStringList key{"--public_key", "KEYS/publisher.pub"};
        QTest::newRow("valid, sha256 matches") << "valid" << "right" << key << "Update finished." << "";
        QTest::newRow("key beside the program") << "valid" << "right" << QStringList() << "Update finished." << "";
        QTest::newRow("list changed after signing") << "tampered" << "right" << key << kUpdateError
                                                    << "version list refused: signature invalid";
        QTest::newRow("signed by another key") << "stranger" << "right" << key << kUpdateError
                                               << "version list refused: signature invalid";
        QTest::newRow("signature missing") << "missing" << "right" << key << kUpdateError
                                           << "version list refused: signature missing";
        QTest::newRow("signature empty") << "empty" << "right" << key << kUpdateError
                                         << "version list refused: signature missing";
        QTest::newRow("sha256 does not match") << "valid" << "wrong" << key << "Update error." << "sha256 mismatch";
        QTest::newRow("entry without sha256") << "valid" << "none" << key << "Update error." << "no sha256";
        QTest::newRow("--files entry under a key") << "valid" << "right" << (key + QStringList{"--files", "SERVER/u1.bin"})
                                                   << "Update error." << "no sha256";
        QTest::newRow("key file is no key") << "valid" << "right" << QStringList{"--public_key", "KEYS/publisher.key"}
                                            << kUpdateError << "the public key KEYS/publisher.key cannot be used";
    }

    void signedList()
    {
        QFETCH(QString, signature);
        QFETCH(QString, entryHash);
        QFETCH(QStringList, arguments);
        QFETCH(QString, state);
        QFETCH(QString, logged);

        ScriptedServer server;
        const QByteArray release("the new release\n");
        server.setFile("/u1.bin", release);
        const QString hash = entryHash == "right" ? sha256Of(release) : entryHash == "wrong" ? sha256Of("other") : "";
        QByteArray list = "**UPDATE LIST**\n2.0.0.0#" + server.url("/u1.bin").toUtf8() + "#"
                          + (hash.isEmpty() ? QByteArray() : "sha256=" + hash.toLatin1()) + "\n";
        const QByteArray sig = opensslSignature(list, signature == "stranger" ? "stranger.key" : "publisher.key");
        QVERIFY(sig.size() > 80);
        if (signature == "tampered")
            list.replace("2.0.0.0", "2.0.0.1");
        server.setFile("/list", list);
        if (signature != "missing")
            server.setFile("/list.sig", signature == "empty" ? QByteArray() : sig);
        if (arguments.isEmpty())
            QVERIFY(QFile::copy(m_keys.filePath("publisher.pub"), m_besideProgram));
        for (QString &argument : arguments)
            argument.replace("KEYS", m_keys.path()).replace("SERVER", server.url(""));
        const QByteArray old("the installed copy\n");
        QVERIFY(writeFile("dest/u1.bin", old));

        runToEnd(QStringList{"--url", server.url("/list"), "--dir", "dest", "--version", "1.0.0.0"} + arguments, state);
        // The refused "--files" entry ends a first queue early: the list's
        // entry is placed afterwards.
        QTRY_COMPARE(readFile("dest/u1.bin"), state == "Update finished." || arguments.contains("--files") ? release : old);
        QCOMPARE(filesInDest(), QStringList{"u1.bin"});
        if (logged.isEmpty()) {
            QCOMPARE(m_log.matching("INFO", {"version list: signature valid"}).size(), 1);
            QCOMPARE(m_log.matching("ERROR", {}), QStringList());
        } else {
            QVERIFY(!m_log.matching("ERROR", {logged.replace("KEYS", m_keys.path())}).isEmpty());
        }
        // A list that does not check out is not followed at all, and an
        // unusable key stops the run before anything is asked for.
        if (state == kUpdateError)
            QCOMPARE(server.hits("/u1.bin"), 0);
        if (logged.contains("cannot be used"))
            QCOMPARE(int(server.received().size()), 0);
    }

    // HTTPS with the system's store and a private CA given with --ca_file;
    // a certificate that does not check out is never accepted.
    void https_data()
    {
        QTest::addColumn<bool>("withCa");
        QTest::addColumn<QString>("state");
        QTest::newRow("private CA given") << true << "Update finished.";
        QTest::newRow("CA unknown") << false << kNetworkError;
    }
    void https()
    {
        QFETCH(bool, withCa);
        QFETCH(QString, state);
        ScriptedServer server(m_keys.filePath("server.pem"), m_keys.filePath("server.key"));
        server.setFile("/list", "**UPDATE LIST**\n2.0.0.0#" + server.url("/u1.bin").toUtf8() + "\n");
        server.setFile("/u1.bin", "over TLS");
        QStringList arguments{"--url", server.url("/list"), "--dir", "dest", "--version", "1.0.0.0"};
        if (withCa)
            arguments << "--ca_file" << m_keys.filePath("ca.pem");
        runToEnd(arguments, state);
        QCOMPARE(readFile("dest/u1.bin"), withCa ? QByteArray("over TLS") : QByteArray("<missing>"));
        if (!withCa)
            QCOMPARE(m_log.matching("ERROR", {"version list not fetched", "SSL handshake failed"}).size(), 1);
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
        httplib::Server proxy;
        std::atomic<int> seen{0};
        const int originPort = QUrl(origin.url("/")).port();
        proxy.Get(".*", [&](const httplib::Request &req, httplib::Response &res) {
            ++seen;
            const QUrl target(QString::fromStdString(req.target));
            if (kind == "407" || target.port() != originPort) {
                res.status = 407;
                res.set_header("Proxy-Authenticate", "Basic realm=\"proxy\"");
                return;
            }
            httplib::Client client("127.0.0.1", originPort);
            const auto answer = client.Get(target.path().toStdString().c_str());
            res.status = answer ? answer->status : 502;
            if (answer)
                res.set_content(answer->body, "application/octet-stream");
        });
        const int port = proxy.bind_to_any_port("127.0.0.1");
        std::thread thread([&proxy] { proxy.listen_after_bind(); });
        const QByteArray proxyUrl = QStringLiteral("http://127.0.0.1:%1").arg(port).toLatin1();
        qputenv("http_proxy", proxyUrl);
        if (kind == "bypass")
            qputenv("no_proxy", "127.0.0.1");
        runToEnd({"--url", origin.url("/list"), "--dir", "dest", "--version", "1.0.0.0"}, state);
        qunsetenv("http_proxy");
        qunsetenv("no_proxy");
        proxy.stop();
        thread.join();
        QTEST(int(seen), "throughProxy");
        QCOMPARE(readFile("dest/u1.bin"), state == kNetworkError ? QByteArray("<missing>") : QByteArray("through the proxy"));
        if (kind == "407")
            QCOMPARE(m_log.matching("ERROR", {"the proxy " + proxyUrl + " asks for credentials"}).size(), 1);
    }

    // The list too is asked for three times, 1 s and then 3 s apart.
    void listRetryWaits()
    {
        VersionUpdaterSettings::instance().fetchOptions.retryDelaysMs = {1000, 3000};
        ScriptedServer server;
        server.setHandler([](const QString &, httplib::Response &res) {
            res.status = 500;
            return true;
        });
        runToEnd({"--url", server.url("/list"), "--version", "1.0.0.0"}, kNetworkError);
        const auto requests = server.received();
        QCOMPARE(int(requests.size()), 3);
        QVERIFY(requests[1].ms - requests[0].ms >= 950);
        QVERIFY(requests[2].ms - requests[1].ms >= 2950);
        QCOMPARE(m_log.matching("ERROR", {"version list not fetched", "HTTP 500 Internal Server Error"}).size(), 1);
    }

    // One run as a support person reads it in the log.
    void logRecords()
    {
        TestServer server;
        server.setFile("/list", "**UPDATE LIST**\n1.0.0.0#" + server.url("/old.bin").toUtf8() + "\n2.0.0.0#"
                                    + server.url("/new.bin").toUtf8() + "\n3.0.0.0#" + server.url("/gone.bin").toUtf8()
                                    + "\n");
        server.setFile("/new.bin", "new");
        runToEnd({"--url", server.url("/list"), "--dir", "dest", "--version", "1.2.0.0"}, "Update error.");
        const QStringList expected{
            "INFO|versionupdater|started with|--url",
            "WARN|no public key",
            "INFO|local version 1.2.0.0",
            "INFO|version list fetched from " + server.url("/list") + ": ",
            "INFO|line 2 skipped: 1.0.0.0 is not newer than 1.2.0.0",
            "INFO|line 3 chosen: newer than 1.2.0.0: " + server.url("/new.bin") + " -> new.bin (no sha256)",
            "INFO|line 4 chosen",
            "INFO|" + server.url("/new.bin") + " -> new.bin: written, 3 bytes",
            "ERROR|" + server.url("/gone.bin") + " -> gone.bin: failed after 3 attempt(s): HTTP 404 Not Found",
            "INFO|downloads done: 1 written, 1 failed",
            "INFO|end: Update error.",
        };
        QStringList seen;
        for (const QString &pattern : expected) {
            const QStringList parts = pattern.split('|');
            seen << (m_log.matching(parts.first(), parts.mid(1)).size() == 1 ? pattern : "MISSING " + pattern);
        }
        QCOMPARE(seen, expected);
        // Each record is one line: level, timestamp, message.
        for (const QString &record : m_log.records())
            QVERIFY2(QRegularExpression("^(TRACE|DEBUG| INFO| WARN|ERROR|FATAL) \\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3} ")
                         .match(record)
                         .hasMatch(),
                     qPrintable(record));
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
