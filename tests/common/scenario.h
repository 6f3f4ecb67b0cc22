#ifndef SCENARIO_H
#define SCENARIO_H

// One run of the real updater, described as data: an installed tree, a
// release (its files, how its manifest is made and signed), a server with
// faults, and the options of the run. The result is the whole state after
// it, so that a table row compares everything that can change.
//
//     Scenario s;                       // a folder with a copy of updater
//     s.install(tree);                  // app/ and local.xml at 1.0
//     s.publish(Release{files});        // release/, distant.xml (+ .sig)
//     const Outcome seen = s.run({{"b.dll", Fault::Stall}}, Run{});
//     QVERIFY2(seen.matches(expected).isEmpty(), ...);
//
// Keys are made by makeKeys(), with openssl, so that signatures interoperate
// with the standard tools. Needs UPDATER_EXECUTABLE; updateserver and
// manifesttool only where UPDATESERVER_PATH / MANIFESTTOOL_PATH are defined.

#include "testfiles.h"
#include "testhttpserver.h"
#include "updaterprocess.h"
#ifdef UPDATESERVER_PATH
#include "updateserverprocess.h"
#endif
#include "nginxserver.h"

#include <QMetaType>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QUrlQuery>
#include <QXmlStreamReader>

#include <chrono>
#include <memory>
#include <thread>

inline Tree operator+(Tree tree, const Tree &more)
{
    for (auto it = more.cbegin(); it != more.cend(); ++it)
        tree.insert(it.key(), it.value());
    return tree;
}

// `sh -c command` in `folder`; true when it ended with 0.
inline bool shell(const QString &folder, const QString &command)
{
    QProcess sh;
    sh.setWorkingDirectory(folder);
    sh.start(QStringLiteral("sh"), {"-c", command});
    return sh.waitForFinished(60000) && sh.exitStatus() == QProcess::NormalExit && sh.exitCode() == 0;
}

// NAME.key and NAME.pub (Ed25519) in `folder` for each name.
inline bool makeKeys(const QString &folder, const QStringList &names)
{
    for (const QString &name : names)
        if (!shell(folder, QStringLiteral("openssl genpkey -algorithm ed25519 -out %1.key && openssl pkey -in %1.key -pubout -out %1.pub").arg(name)))
            return false;
    return true;
}

// Appends one line to FILE.sig: FILE signed by KEY.key, base64.
inline bool signFile(const QString &folder, const QString &key, const QString &file)
{
    return shell(folder, QStringLiteral("openssl pkeyutl -sign -rawin -inkey %1.key -in '%2' | base64 -w0 >> '%2.sig' && echo >> '%2.sig'").arg(key, file));
}

struct Release
{
    Release(const Tree &files = {}, const QString &version = QStringLiteral("2.0"), const QStringList &signers = {}, bool sha256 = false)
        : files(files), version(version), signers(signers), sha256(sha256)
    {
    }
    Tree files;
    QString version = QStringLiteral("2.0");
    QStringList signers;        // keys in the scenario folder, one .sig line each
    bool sha256 = false;        // sha256 on every entry
    bool tool = false;          // made by manifesttool create, as a publisher would
    bool chunks = false;        // made by manifesttool create --chunks
    QString rootAttributes;     // more on the root, " expires='...'"
    QByteArray manifest;        // when set, published as is instead
};

struct Fault
{
    QString match; // glob over request names; "*" spares the close request, "CLOSE" names it
    enum Kind {
        Status,     // answered with status `value`
        Stall,      // never answered while the server runs
        Drip,       // about 1 MB/s
        Truncate,   // half of the body, then the connection drops
        WrongBytes, // same length, every `value`-th byte changed
        WrongRange, // the same, only in answers to a range
        NoRanges,   // a range asked for is answered whole
    };
    Fault(const QString &match = QString(), Kind kind = Status, int value = 0, int times = 0)
        : match(match), kind(kind), value(value), times(times)
    {
    }
    Kind kind;
    int value;
    int times; // the first so many matching requests; 0: all
};
using Faults = QList<Fault>;

struct Run
{
    enum Server { InProcess, UpdateServer, Nginx };
    enum Mode { Silent, Check, Bare };
    Run(const QStringList &options = {}, Server server = InProcess, Mode mode = Silent, int timeoutMs = 60000)
        : options(options), server(server), mode(mode), timeoutMs(timeoutMs)
    {
    }
    QStringList options; // after --silent --local_path --distant_path --url --dir (--distant_path
                         // left out when the options name the release)
    Server server;
    // Silent and Check come with the paths above; Bare is the options alone.
    // "%DIR%" in an option is the scenario's folder, "%URL%" the server's.
    Mode mode;
    int timeoutMs;
};

struct Outcome
{
    Outcome(const Tree &installed = {}, const QString &savedVersion = QString(), int exitStatus = 0,
            const QStringList &requests = {}, const QStringList &logMatches = {})
        : installed(installed), savedVersion(savedVersion), exitStatus(exitStatus), requests(requests), logMatches(logMatches)
    {
    }
    Tree installed;             // compared exactly, user files included
    QString savedVersion;       // "" when the local manifest must be unchanged (but for attribute order)
    int exitStatus;
    QStringList requests;       // in-process server only: names in order, "CLOSE <version>"
    QStringList logMatches;     // regexes that must each match the log; "!re": must not
    bool unorderedRequests = false; // several connections: compared as a set

    QByteArray log, output;     // what a run wrote (log.txt with its rotations, stdout)

    // What differs from `expected`, or an empty text.
    QString mismatch(const Outcome &expected) const
    {
        QString why;
        if (exitStatus != expected.exitStatus)
            why += QStringLiteral("exit status %1, not %2\n").arg(exitStatus).arg(expected.exitStatus);
        if (savedVersion != expected.savedVersion)
            why += QStringLiteral("saved version '%1', not '%2'\n").arg(savedVersion, expected.savedVersion);
        if (installed != expected.installed) {
            const QStringList have = installed.keys(), want = expected.installed.keys();
            why += "installed " + have.join(' ') + (have == want ? " (bytes differ)" : ", not " + want.join(' ')) + '\n';
            for (const QString &key : have)
                if (expected.installed.contains(key) && installed.value(key) != expected.installed.value(key))
                    why += "  " + key + " differs\n";
        }
        QStringList seen = requests, wanted = expected.requests;
        if (expected.unorderedRequests) {
            seen.sort();
            wanted.sort();
        }
        if (seen != wanted)
            why += "requests " + requests.join(", ") + ", not " + expected.requests.join(", ") + '\n';
        const QString text = QString::fromUtf8(log);
        for (const QString &pattern : expected.logMatches) {
            const bool negated = pattern.startsWith('!');
            if (QRegularExpression(negated ? pattern.mid(1) : pattern).match(text).hasMatch() == negated)
                why += (negated ? "log matches " : "log lacks ") + pattern + '\n';
        }
        return why.isEmpty() ? why : why + "log:\n" + text.right(3000);
    }
};
Q_DECLARE_METATYPE(Release)
Q_DECLARE_METATYPE(Faults)
Q_DECLARE_METATYPE(Run)
Q_DECLARE_METATYPE(Outcome)

class Scenario
{
public:
    Scenario()
    {
        m_ok = QFile::copy(QStringLiteral(UPDATER_EXECUTABLE), path("updater")) && QDir().mkpath(path("app"))
               && install({});
    }
    bool ok() const { return m_ok; }
    // The installation goes to a folder below `base` instead (another file
    // system, say), removed with the scenario.
    bool installElsewhere(const QString &base)
    {
        m_elsewhere.reset(new QTemporaryDir(base + QStringLiteral("/tst-XXXXXX")));
        m_app = m_elsewhere->filePath(QStringLiteral("app"));
        return m_elsewhere->isValid() && QDir().mkpath(m_app);
    }
    QString app() const { return m_app; }
    QString path(const QString &name = QString()) const { return name.isEmpty() ? m_dir.path() : m_dir.filePath(name); }

    // app/ holds `files`; local.xml lists `listed` (by default the same) at `version`.
    bool install(const Tree &files, const QString &version = QStringLiteral("1.0"), const Tree *listed = nullptr)
    {
        return QDir(m_app).removeRecursively() && writeTree(m_app, files)
               && writeFile(path("local.xml"), manifestOfTree(listed ? *listed : files, version));
    }

    // release/ holds the files, distant.xml their manifest, distant.xml.sig
    // one line per signer.
    bool publish(const Release &release)
    {
        QFile::remove(path("distant.xml.sig"));
        if (!QDir(path("release")).removeRecursively() || !writeTree(path("release"), release.files))
            return false;
        bool ok = true;
        if (!release.manifest.isEmpty()) {
            ok = writeFile(path("distant.xml"), release.manifest);
        } else if (release.chunks || release.tool) {
#ifdef MANIFESTTOOL_PATH
            const QStringList chunks = release.chunks ? QStringList{"--chunks"} : QStringList();
            ok = QProcess::execute(QStringLiteral(MANIFESTTOOL_PATH),
                                   QStringList{"create", path("release"), "-o", path("distant.xml"), "--version", release.version} + chunks) == 0;
#else
            ok = false;
#endif
        } else {
            ok = writeFile(path("distant.xml"), manifestOfTree(release.files, release.version, release.sha256, release.rootAttributes));
        }
        for (const QString &key : release.signers)
            ok = ok && signFile(path(), key, QStringLiteral("distant.xml"));
        return ok;
    }

    // Files the in-process server answers beside the release's, by request name.
    QMap<QByteArray, QByteArray> extraFiles;

    // Runs the updater against a server of the kind asked for, with the
    // faults (in-process server only), and reads back the whole state.
    Outcome run(const Faults &faults = {}, const Run &run = Run())
    {
        Outcome seen;
        m_serverLog.clear();
        const QByteArray localBefore = readFile(path("local.xml"));
        QString url;
        std::unique_ptr<TestServer> inProcess;
        std::unique_ptr<NginxServer> nginx;
#ifdef UPDATESERVER_PATH
        std::unique_ptr<UpdateServerProcess> updateserver;
        if (run.server == Run::UpdateServer) {
            updateserver = std::make_unique<UpdateServerProcess>(path("release"));
            url = updateserver->isRunning() ? updateserver->url() : QString();
            m_serverError = updateserver->errorString();
        }
#endif
        if (run.server == Run::Nginx) {
            nginx = std::make_unique<NginxServer>(path("release"));
            url = nginx->isRunning() ? nginx->url() : QString();
            m_serverError = nginx->errorString();
            if (!url.isEmpty())
                m_staticUrl = nginx->staticUrl();
        }
        if (run.server == Run::InProcess) {
            inProcess = startServer(faults);
            url = inProcess->url();
        }
        if (url.isEmpty()) {
            seen.exitStatus = -3;
            seen.log = "server did not start: " + m_serverError.toUtf8();
            return seen;
        }
        const QStringList arguments = this->arguments(run, url);
        seen.exitStatus = runWithoutDisplay(path("updater"), arguments, path(), &m_errors, run.timeoutMs, &seen.output);
        seen.installed = readTree(m_app);
        for (QByteArray &content : seen.installed) // links as rows can name them
            if (content.startsWith("-> "))
                content.replace(path().toUtf8(), "%DIR%");
        const QByteArray local = readFile(path("local.xml"));
        if (canonical(local) != canonical(localBefore))
            seen.savedVersion = QRegularExpression("<UPDATE_STRUCTURE[^>]* version=\"([^\"]*)\"").match(QString::fromUtf8(local)).captured(1);
        seen.log = readFile(path("log.txt.2")).replace("<missing>", "") + readFile(path("log.txt.1")).replace("<missing>", "")
                   + readFile(path("log.txt"));
        if (inProcess) {
            for (const TestServer::Received &r : inProcess->requests()) {
                if (r.request == "CLOSE")
                    seen.requests << "CLOSE " + QUrlQuery(QString::fromUtf8(r.body)).queryItemValue("version");
                else
                    seen.requests << QString::fromUtf8(r.request);
            }
        }
        // nginx logs a request once it is answered: read until the log stays the same.
        for (QByteArray last = "-"; nginx && last != m_serverLog;) {
            last = m_serverLog;
            QThread::msleep(200);
            m_serverLog = nginx->accessLog();
        }
#ifdef UPDATESERVER_PATH
        if (updateserver)
            m_serverLog = updateserver->log();
#endif
        return seen;
    }
    // The updater's arguments for `run` against the server at `url`.
    QStringList arguments(const Run &run, const QString &url) const
    {
        QStringList arguments;
        if (run.mode != Run::Bare) {
            arguments << (run.mode == Run::Silent ? "--silent" : "--check") << "--local_path" << path("local.xml");
            if (!run.options.contains("--manifest_request") && !run.options.contains("--distant_path"))
                arguments << "--distant_path" << path("distant.xml");
            arguments << "--url" << url << "--dir" << m_app;
        }
        return arguments + QStringList(run.options).replaceInStrings("%STATIC%", m_staticUrl).replaceInStrings("%DIR%", path())
                               .replaceInStrings("%URL%", url);
    }
    // An in-process server answering from release/ and extraFiles, with the faults.
    std::unique_ptr<TestServer> startServer(const Faults &faults = {})
    {
        auto server = std::make_unique<TestServer>();
        serve(server.get(), faults);
        return server;
    }

    // Standard error of the last run; the log of the last run's updateserver, or nginx's access log.
    QString errors() const { return m_errors; }
    QByteArray serverLog() const { return m_serverLog; }

private:
    // A manifest's elements with their attributes sorted: a save that
    // changed nothing but the order of attributes (which follows a hash
    // seeded anew in each process) is no change.
    static QString canonical(const QByteArray &xml)
    {
        QXmlStreamReader reader(xml);
        QString text;
        while (!reader.atEnd()) {
            if (reader.readNext() != QXmlStreamReader::StartElement)
                continue;
            QStringList attributes;
            for (const QXmlStreamAttribute &a : reader.attributes())
                attributes << a.qualifiedName() + '=' + a.value();
            attributes.sort();
            text += '<' + reader.name() + ' ' + attributes.join(' ') + '>';
        }
        return reader.hasError() ? QString::fromUtf8(xml) : text;
    }

    static bool hits(const Fault &fault, const QByteArray &name)
    {
        if (fault.match == "CLOSE" || name == "CLOSE")
            return fault.match == name;
        // "*" crosses folders here, as the names are the release's relative paths.
        const QString pattern = QRegularExpression::escape(fault.match).replace("\\*", ".*").replace("\\?", ".");
        return QRegularExpression("^" + pattern + "$").match(QString::fromUtf8(name)).hasMatch();
    }

    // Answers each request with the release folder's file of that name (or
    // an extra file), ranges included, through the faults.
    void serve(TestServer *server, const Faults &faults)
    {
        auto counts = std::make_shared<std::vector<std::atomic<int>>>(faults.size());
        const QString release = path("release");
        const QMap<QByteArray, QByteArray> extra = extraFiles;
        server->setHandler([=](const TestServer::Received &r, httplib::Response &res) {
            QList<Fault::Kind> kinds;
            QList<int> values;
            for (int i = 0; i < faults.size(); ++i)
                if (hits(faults[i], r.request) && (faults[i].times == 0 || (*counts)[size_t(i)]++ < faults[i].times))
                    kinds << faults[i].kind, values << faults[i].value;
            if (kinds.contains(Fault::Stall)) {
                while (!server->stopping())
                    std::this_thread::sleep_for(std::chrono::milliseconds(20));
                return;
            }
            if (kinds.contains(Fault::Status)) {
                res.status = values[kinds.indexOf(Fault::Status)];
                return;
            }
            QFile file(release + '/' + QString::fromUtf8(r.request));
            const bool found = r.request == "CLOSE" || extra.contains(r.request) || (!r.request.contains("..") && file.open(QIODevice::ReadOnly));
            if (!found) {
                res.status = 404;
                return;
            }
            QByteArray body = r.request == "CLOSE" ? QByteArray("OK") : extra.contains(r.request) ? extra.value(r.request) : file.readAll();
            if (!r.range.isEmpty() && !kinds.contains(Fault::NoRanges)) {
                const QList<QByteArray> bounds = r.range.mid(6).split('-'); // "bytes=FROM-TO"
                const qint64 from = bounds.value(0).toLongLong();
                const qint64 to = bounds.value(1).isEmpty() ? body.size() - 1 : bounds.value(1).toLongLong();
                res.status = 206;
                res.set_header("Content-Range", QStringLiteral("bytes %1-%2/%3").arg(from).arg(to).arg(body.size()).toStdString());
                body = body.mid(int(from), int(to - from + 1));
            }
            for (const Fault::Kind kind : {Fault::WrongBytes, Fault::WrongRange})
                if (kinds.contains(kind) && (kind == Fault::WrongBytes || res.status == 206))
                    for (int step = qMax(1, values[kinds.indexOf(kind)]), i = step - 1; i < body.size(); i += step)
                        body[i] = char(body[i] ^ 0x55);
            if (kinds.contains(Fault::Truncate)) {
                TestServer::closeMidway(res, body);
            } else if (kinds.contains(Fault::Drip)) {
                res.set_content_provider(body.size(), "application/octet-stream", [server, body](size_t at, size_t length, httplib::DataSink &sink) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(16));
                    return !server->stopping() && sink.write(body.constData() + at, std::min<size_t>(length, 16384));
                });
            } else {
                res.set_content(body.toStdString(), "application/octet-stream");
            }
        });
    }

    QTemporaryDir m_dir;
    std::unique_ptr<QTemporaryDir> m_elsewhere;
    QString m_app = m_dir.filePath(QStringLiteral("app"));
    bool m_ok = false;
    QString m_errors, m_serverError, m_staticUrl;
    QByteArray m_serverLog;
};

#endif // SCENARIO_H
