#include "scenario.h"
#include "folderscanner.h"
#include "log.h"
#include "manifest.h"
#include "releasecheck.h"
#include "rollout.h"
#include "safepath.h"
#include "updatemanager.h"
#include "updatersettings.h"

#include <QtTest>

#include <cmath>
#include <csignal>
#include <sys/mount.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

struct CaptureDestination : Logging::Destination
{
    QStringList records;
    void write(const QString &record, Logging::LogLevel) override { records << record; }
    bool isValid() const override { return true; }
    int count(const QString &level, const QString &text) const
    {
        return records.filter(QRegularExpression("^ *" + level + " .*" + QRegularExpression::escape(text),
                                                 QRegularExpression::DotMatchesEverythingOption)).size();
    }
};

// Makes every write of this process past `bytes` into a file fail, as a
// full disk would, for as long as it lives.
struct FileSizeLimit
{
    explicit FileSizeLimit(rlim_t bytes)
    {
        getrlimit(RLIMIT_FSIZE, &previous);
        signal(SIGXFSZ, SIG_IGN); // the write fails instead of ending the process
        rlimit limit = previous;
        limit.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() { setrlimit(RLIMIT_FSIZE, &previous); }
    rlimit previous;
};

const Tree installedTree{{"keep.txt", "same"}, {"change.txt", "old"}, {"gone.txt", "bye"},
                         {"olddir/x.txt", "x"}, {"sub/inner.txt", "in1"}};
const Tree releaseTree{{"keep.txt", "same"}, {"change.txt", "new content"}, {"a+b.dll", "plus"},
                       {"sub/inner.txt", "in2"}, {"newdir/deep/f.txt", "deep"}, {"emptydir/", ""}};
// In the order of the comparison, which follows the distant manifest.
const QList<QByteArray> releaseRequests{"newdir/deep/f.txt", "sub/inner.txt", "a+b.dll", "change.txt"};

} // namespace

using Setup = std::function<bool(Scenario &)>;
Q_DECLARE_METATYPE(Setup)

class TestUpdateManager : public QObject
{
    Q_OBJECT

    QSharedPointer<CaptureDestination> log{new CaptureDestination};
    QScopedPointer<QTemporaryDir> tmp;
    QScopedPointer<TestServer> server;
    QString installed, localManifest, distantManifest;
    std::function<bool(const QByteArray &, httplib::Response &)> fault; // true: answered

    // Lays out an installation, a release, both manifests and a server that
    // serves the release folder, for the manager run in this process.
    void prepare(const Tree &installedFiles, const Tree &releaseFiles)
    {
        tmp.reset(new QTemporaryDir);
        installed = tmp->path() + "/app";
        const QString release = tmp->path() + "/release";
        localManifest = tmp->path() + "/manifest.xml";
        distantManifest = tmp->path() + "/distant.xml";
        writeTree(installed, installedFiles);
        writeTree(release, releaseFiles);
        for (const auto &[folder, manifest, version] : {std::make_tuple(release, distantManifest, "2.0"),
                                                        std::make_tuple(installed, localManifest, "1.0")}) {
            QDomDocument doc = FolderScanner().scan(folder);
            doc.documentElement().setAttribute(QStringLiteral("version"), version);
            QVERIFY(saveManifestDocument(manifest, doc));
        }
        fault = nullptr;
        server.reset(new TestServer);
        server->setHandler([this, release](const TestServer::Received &r, httplib::Response &res) {
            QFile f(release + '/' + QString::fromUtf8(r.request));
            if (!(fault && fault(r.request, res)) && r.request != "CLOSE" && f.open(QIODevice::ReadOnly))
                res.set_content(f.readAll().toStdString(), "application/octet-stream");
        });
        UpdaterSettings &s = UpdaterSettings::instance();
        s.reset();
        s.localManifestPath = localManifest;
        s.distantManifestPath = distantManifest;
        s.updateUrl = server->url();
        s.destinationDir = installed;
        log->records.clear();
    }

    // Runs the manager until the run is reported and the close request
    // answered. Retries follow at once unless the test wants the real waits.
    QList<int> run(UpdateManager &manager, int reports = 1)
    {
        QSignalSpy finished(&manager, &UpdateManager::fileDownloadsFinished);
        manager.m_downloader->setRetryDelays({10, 10});
        manager.start();
        // A run that never ends shows as missing counts in the caller's check.
        (void)QTest::qWaitFor([&] { return finished.count() >= reports && !manager.closeRequestPending(); }, 20000);
        QList<int> counts;
        for (const QList<QVariant> &args : finished)
            counts << args.at(0).toInt();
        return counts;
    }

    // The "request" field of every file request, or the whole body of every close request.
    QList<QByteArray> received(bool close) const
    {
        QList<QByteArray> list;
        for (const auto &r : server->requests())
            if ((r.request == "CLOSE") == close)
                list << (close ? r.body : r.request);
        return list;
    }

private slots:
    void initTestCase()
    {
        Logging::Logger::instance().setLevel(Logging::Trace);
        Logging::Logger::instance().addDestination(log);
    }

    void safeEntryNames()
    {
        for (const char *n : {"", ".", "..", "...", ". .", "a/b", "/abs", "a\\b", "\\\\srv", "C:", "C:x", "x:stream"})
            QVERIFY2(!isSafeEntryName(QString::fromUtf8(n)), n);
        QVERIFY(!isSafeEntryName(QStringLiteral("a") + QChar(0)));
        for (const char *n : {"ok.txt", ".hidden", "a..b", "a+b.dll", "é"})
            QVERIFY2(isSafeEntryName(QString::fromUtf8(n)), n);
    }

    // Versions compare part by part as numbers, after the "__N" a failed
    // run saves. With a key, a version either side that cannot be ordered,
    // or an unreadable local manifest, refuses the release like an older
    // one; --allow_downgrade lets them through. Unsigned, none is refused.
    void versionRules_data()
    {
        QTest::addColumn<QString>("distant");
        QTest::addColumn<QString>("local");
        QTest::addColumn<int>("localManifest"); // ReleaseCheck::LocalManifest
        QTest::addColumn<bool>("signedRelease");
        QTest::addColumn<bool>("allowDowngrade");
        QTest::addColumn<QString>("problem"); // its start; empty: may be installed
        const int read = int(ReleaseCheck::LocalManifest::Read), missing = int(ReleaseCheck::LocalManifest::Missing),
                  unreadable = int(ReleaseCheck::LocalManifest::Unreadable);
        const QString older = "older than the installed version", release = "release version",
                      installed = "installed version";
        const auto row = [](const char *name, const QString &distant, const QString &local, int state, bool signedRelease,
                            bool allowDowngrade, const QString &problem) {
            QTest::newRow(name) << distant << local << state << signedRelease << allowDowngrade << problem;
        };
        row("10.0 over 9.0", "10.0", "9.0", read, true, false, "");
        row("9.0 over 10.0", "9.0", "10.0", read, true, false, older + " (9.0 < 10.0)");
        row("2.0 over 2.0.0", "2.0", "2.0.0", read, true, false, "");
        row("2.0.0.0 over 2.0", "2.0.0.0", "2.0", read, true, false, "");
        row("2.0 over 2.0.1", "2.0", "2.0.1", read, true, false, older);
        row("2.0 over 2.0__3", "2.0", "2.0__3", read, true, false, "");
        row("1.9 over 2.0__3", "1.9", "2.0__3", read, true, false, older);
        row("2.9__1 over 2.10", "2.9__1", "2.10", read, true, false, older);
        row("2.1__2 over 2.1", "2.1__2", "2.1", read, true, false, "");
        row("020.1 over 20.1", "020.1", "20.1", read, true, false, "");
        for (const char *bad : {"2.0-beta", "v2", "", "-1", "+1", " 2.0", "2..0", "2.0.", "2.0__x", "2.0__", "2,0",
                                "9999999999999999999"})
            row(qPrintable(QStringLiteral("release '%1'").arg(bad)), bad, "1.0", read, true, false, release);
        row("installed 3.0-rc1", "4.0", "3.0-rc1", read, true, false, installed + " '3.0-rc1' unreadable");
        row("installed version absent", "4.0", "", read, true, false, installed);
        row("nothing installed yet", "1.0", "", missing, true, false, "");
        row("nothing installed yet, release 'v2'", "v2", "", missing, true, false, release);
        row("local manifest unreadable", "4.0", "", unreadable, true, false, "local manifest unreadable");
        row("older, --allow_downgrade", "1.0", "3.0", read, true, true, "");
        row("unreadable, --allow_downgrade", "v2", "3.0-rc1", unreadable, true, true, "");
        row("older, unsigned", "1.0", "3.0", read, false, false, "");
        row("unreadable, unsigned", "2.0-beta", "3.0-rc1", unreadable, false, false, "");
    }
    void versionRules()
    {
        QFETCH(QString, distant);
        QFETCH(QString, local);
        QFETCH(int, localManifest);
        QFETCH(bool, signedRelease);
        QFETCH(bool, allowDowngrade);
        QFETCH(QString, problem);
        const QString said = ReleaseCheck::versionProblem(distant, local, ReleaseCheck::LocalManifest(localManifest),
                                                          {signedRelease, allowDowngrade});
        QVERIFY2(problem.isEmpty() ? said.isEmpty() : said.startsWith(problem), qPrintable(said));
    }

    // Whole runs of the real updater over one installation: each row's
    // installed tree, saved version, requests and log are compared. A run
    // that succeeded saves the canonical manifest of what is installed, with
    // files as if written in place, and leaves nothing for a second run.
    void runs_data()
    {
        QTest::addColumn<Tree>("installed");
        QTest::addColumn<Release>("release");
        QTest::addColumn<Faults>("faults");
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<Setup>("setup"); // after the installation and the release are laid out
        QTest::addColumn<Tree>("outside"); // what setup laid outside the installation, unchanged after
        QTest::addColumn<Outcome>("expected");
        const QStringList all{"a+b.dll", "change.txt", "newdir/deep/f.txt", "sub/inner.txt"};
        const Setup none = [](Scenario &) { return true; };
        const auto row = [&](const char *name, const Tree &installed, const Release &release, const Faults &faults,
                             const Outcome &expected, const Setup &setup = nullptr, const Tree &outside = {},
                             const QStringList &options = {}) {
            QTest::newRow(name) << installed << release << faults << options << (setup ? setup : none) << outside << expected;
        };
        row("new, changed and removed", installedTree, releaseTree, {},
            {releaseTree, "2.0", 0, all + QStringList{"CLOSE 2.0"},
             {"run finished: distant version 2.0, local version before 1.0; files fetched 4, failed 0, deleted 2;"}});
        row("installed on tmpfs", installedTree, releaseTree, {}, {releaseTree, "2.0", 0, all + QStringList{"CLOSE 2.0"}},
            [](Scenario &s) { return s.installElsewhere("/dev/shm") && s.install(installedTree); });
        row("nothing to do", releaseTree, releaseTree, {}, {releaseTree, "2.0", 0, {"CLOSE 2.0"}});
        // The bad file keeps its old content and nothing is deleted.
        const Tree failed = releaseTree + Tree{{"change.txt", "old"}, {"gone.txt", "bye"}, {"olddir/x.txt", "x"}};
        const QStringList thrice{"(change.txt crc error ![\\s\\S]*){3}", "!(change.txt crc error ![\\s\\S]*){4}"};
        const QStringList retried{"a+b.dll", "change.txt", "change.txt", "change.txt", "newdir/deep/f.txt", "sub/inner.txt", "CLOSE 2.0__1"};
        row("checksum never matches, same size", installedTree, releaseTree, {{"change.txt", Fault::WrongBytes, 5}},
            {failed, "2.0__1", 1, retried, thrice});
        Release wrongSize{releaseTree};
        wrongSize.manifest = manifestOfTree(releaseTree, "2.0").replace("size='11'", "size='12'"); // change.txt
        row("size attribute wrong, checksum right", installedTree, wrongSize, {}, {failed, "2.0__1", 1, retried, thrice});
        row("500 then success", installedTree, releaseTree, {{"change.txt", Fault::Status, 500, 1}},
            {releaseTree, "2.0", 0, {"a+b.dll", "change.txt", "change.txt", "newdir/deep/f.txt", "sub/inner.txt", "CLOSE 2.0"}});
        // An unusable distant manifest (unreadable or without a single
        // entry) stops the run: nothing is fetched, changed or sent. Without
        // a usable local one everything is fetched and nothing deleted.
        for (const char *content : {"<UPDATE_STRUCTURE version=\"2.0\">\n<file name=\"a\" crc=\"", "<UPDATE_STRUCTURE version=\"2.0\"/>",
                                    "<FOO version=\"2.0\"><comment/></FOO>", "<UPDATE_STRUCTURE version=\"2.0\"><note/></UPDATE_STRUCTURE>"}) {
            Release unusable;
            unusable.manifest = content;
            row(qPrintable(QStringLiteral("distant manifest %1").arg(content)), installedTree, unusable, {},
                {installedTree, "", 1, {}, {"ERROR.*distant.xml", "run refused:.* local version before 1.0;"}});
        }
        row("local manifest does not parse", installedTree, releaseTree, {},
            {installedTree + releaseTree, "2.0", 0, {"a+b.dll", "change.txt", "keep.txt", "newdir/deep/f.txt", "sub/inner.txt", "CLOSE 2.0"}},
            [](Scenario &s) { return writeFile(s.path("local.xml"), "<UPDATE_STRUCTURE><file name=\"keep.txt\""); });
        // Refused before the release is read: the summary still says the installed version.
        row("public key unusable", installedTree, releaseTree, {}, {installedTree, "", 1, {}, {"run refused:.* local version before 1.0;"}},
            [](Scenario &s) { return writeFile(s.path("none.pub"), "not a key\n"); }, {}, {"--public_key", "%DIR%/none.pub"});
        // A release that reaches outside the folder, and an installed entry
        // that would: counted as errors, so nothing is deleted, and the
        // saved tree holds none of them.
        Release unsafe{releaseTree};
        unsafe.manifest = manifestOfTree(releaseTree, "2.0").replace("</UPDATE_STRUCTURE>",
            "<file name='../evil.txt' url='evil' size='5' crc='x'/><file name='C:evil.txt' url='evil' size='5' crc='x'/>"
            "<directory name='..'><file name='evil.txt' url='evil' size='5' crc='x'/></directory></UPDATE_STRUCTURE>");
        row("unsafe entries are never touched", installedTree, unsafe, {},
            {installedTree + releaseTree, "2.0__5", 1, all + QStringList{"CLOSE 2.0__5"},
             {"(unsafe entry path[\\s\\S]*){5}", "!(unsafe entry path[\\s\\S]*){6}"}},
            [](Scenario &s) {
                return writeFile(s.path("local.xml"), readFile(s.path("local.xml")).replace("</UPDATE_STRUCTURE>", "<directory name='...'/></UPDATE_STRUCTURE>"));
            });
        // A folder inside the installation that is a link is never written,
        // replaced, created or deleted through, wherever it leads: data/x.txt
        // changed, data/new.txt and data/sub/ new, data/old.txt gone,
        // alias/y.txt changed are refused; with errors, nothing is deleted.
        const Tree outside{{"x.txt", "outside x"}, {"old.txt", "outside old"}};
        const Tree linkedFolders{{"keep.txt", "same"}, {"data", "-> %DIR%/outside"}, {"alias", "-> %DIR%/app/real"}, {"real/y.txt", "old y"}};
        row("links to folders out of the installation", {{"keep.txt", "same"}},
            Release{{{"keep.txt", "same"}, {"data/x.txt", "new x"}, {"data/new.txt", "new"}, {"data/sub/", ""}, {"alias/y.txt", "new y"}}},
            {}, {linkedFolders, "2.0__4", 1, {"CLOSE 2.0__4"},
                 {"(/data is a link[\\s\\S]*){3}", "!(/data is a link[\\s\\S]*){4}", "/alias is a link"}},
            [](Scenario &s) {
                const Tree listed{{"keep.txt", "same"}, {"data/x.txt", "outside x"}, {"data/old.txt", "outside old"}, {"alias/y.txt", "old y"}};
                return s.install({{"keep.txt", "same"}, {"real/y.txt", "old y"}}, "1.0", &listed)
                       && writeTree(s.path("outside"), {{"x.txt", "outside x"}, {"old.txt", "outside old"}})
                       && QFile::link(s.path("outside"), s.app() + "/data") && QFile::link(s.app() + "/real", s.app() + "/alias");
            },
            outside);
        // A file that is a link is replaced by the new file, never written
        // through: a changed one linked out of the installation, and a new
        // one whose name a dangling link already holds. An executable stays one.
        const Tree tools{{"tool.exe", "new tool"}, {"new.dll", "new dll"}, {"run.sh", "new script"}};
        row("links to files replaced, not followed", {{"run.sh", "old script"}}, tools, {},
            {tools, "2.0", 0, {"new.dll", "run.sh", "tool.exe", "CLOSE 2.0"}},
            [](Scenario &s) {
                const Tree listed{{"run.sh", "old script"}, {"tool.exe", "old"}};
                return s.install({{"run.sh", "old script"}}, "1.0", &listed) && writeTree(s.path("outside"), {{"target.txt", "outside"}})
                       && QFile::link(s.path("outside/target.txt"), s.app() + "/tool.exe")
                       && QFile::link(s.path("outside/created.txt"), s.app() + "/new.dll")
                       && QFile::setPermissions(s.app() + "/run.sh", QFile::permissions(s.app() + "/run.sh") | QFile::ExeOwner);
            },
            {{"target.txt", "outside"}});
        // Releases that change the shape of the installation converge in one
        // run: a folder that becomes a file (only when the local manifest
        // lists all it holds), a file that becomes a folder, a dropped folder
        // (what is not listed stays). Names Windows cannot hold are installed
        // here with a warning.
        const auto listing = [](const Tree &onDisk, const Tree &listed) -> Setup {
            return [=](Scenario &s) { return s.install(onDisk, "1.0", &listed); };
        };
        const QStringList bigLog{"--log_size", "10000000"};
        const Tree folder{{"keep.txt", "k"}, {"x/a.txt", "a"}, {"x/b/c.txt", "c"}}, intoFile{{"keep.txt", "k"}, {"x", "now a file"}};
        row("a folder becomes a file", folder, intoFile, {}, {intoFile, "2.0", 0, {"x", "CLOSE 2.0"}});
        const Tree file{{"keep.txt", "k"}, {"y", "a file"}}, intoFolder{{"keep.txt", "k"}, {"y/a.txt", "a"}, {"y/sub/b.txt", "b"}};
        row("a file becomes a folder", file, intoFolder, {}, {intoFolder, "2.0", 0, {"y/a.txt", "y/sub/b.txt", "CLOSE 2.0"}});
        const Tree intoEmpty{{"keep.txt", "k"}, {"y/", ""}};
        row("a file becomes an empty folder", file, intoEmpty, {}, {intoEmpty, "2.0", 0, {"CLOSE 2.0"}});
        const Tree withMine = folder + Tree{{"x/mine.txt", "the user's"}};
        row("a folder holding an unlisted file stays", withMine, intoFile, {},
            {withMine, "2.0__1", 1, {"x", "CLOSE 2.0__1"}, {"the folder x holds entries no manifest lists: mine.txt"}},
            listing(withMine, folder), {}, bigLog);
        const Tree dropped{{"keep.txt", "k"}, {"d/a.txt", "a"}, {"d/sub/b.txt", "b"}, {"d/e/", ""}}, keep{{"keep.txt", "k"}};
        const Tree withUnlisted = dropped + Tree{{"d/sub/mine.txt", "m"}};
        row("a dropped folder keeps what is not listed", withUnlisted, keep, {},
            {keep + Tree{{"d/sub/mine.txt", "m"}}, "2.0", 0, {"CLOSE 2.0"}, {"d/sub/mine.txt: not listed in the local manifest, left in place"}},
            listing(withUnlisted, dropped), {}, bigLog);
        row("a dropped folder of listed entries goes", dropped, keep, {}, {keep, "2.0", 0, {"CLOSE 2.0"}, {"deleted 1"}});
        const Tree names{{"keep.txt", "k"}, {"aux.txt", "1"}, {"CON", "2"}, {"name.", "3"}, {"Readme.txt", "4"}, {"README.TXT", "5"},
                         {"com1/x.txt", "6"}};
        row("names Windows cannot hold, installed here", keep, names, {},
            {names, "2.0", 0, {"CON", "README.TXT", "Readme.txt", "aux.txt", "name.", "com1/x.txt", "CLOSE 2.0"},
             {"a name Windows cannot hold: aux.txt \\(a reserved device name\\)", "a name Windows cannot hold: name. \\(a trailing dot\\)",
              "a name Windows cannot hold: Readme.txt \\(it differs from 'README.TXT' only in case\\)",
              "a name Windows cannot hold: com1 \\(a reserved device name\\)"}},
            nullptr, {}, bigLog);
        // Every wait ends. A stalled server fails the run within --timeout:
        // two files, three attempts each; an unanswered close request is given up.
        const Tree two{{"a.txt", "first file of the release\n"}, {"sub/b.bin", QByteArray(70000, 'b')}};
        row("--timeout 1, stalled server", {}, two, {{"*", Fault::Stall}},
            {{{"sub/", ""}}, "2.0__2", 1, {"a.txt", "a.txt", "a.txt", "sub/b.bin", "sub/b.bin", "sub/b.bin", "CLOSE 2.0__2"}}, nullptr, {},
            {"--timeout", "1"});
        row("close request unanswered", {}, two, {{"CLOSE", Fault::Stall}}, {two, "2.0", 0, {"a.txt", "sub/b.bin", "CLOSE 2.0"}});
        // Hidden files that a killed run left where files are named while
        // written go at the next run, in the folders it writes to, when idle
        // for an hour or when their writer has ended; a file of the same
        // pattern still being written (named by this running process, and
        // recent), or a user's own, stays.
        const QString stale = ".~staged-0123456789abcdef.part";
        const QString fresh = QStringLiteral(".~staged-%1fedcba98.part").arg(QCoreApplication::applicationPid(), 8, 16, QLatin1Char('0'));
        const Tree leftRelease{{"a.txt", "new a"}, {"sub/b.txt", "b"}, {"other/c.txt", "c"}};
        row("leftovers of a killed run removed", {{"a.txt", "old a"}, {"sub/", ""}, {"other/c.txt", "c"}}, leftRelease, {},
            {leftRelease + Tree{{"other/" + stale, "partial"}, {fresh, "partial"}, {".~staged-notes.part", "partial"}}, "2.0", 0,
             {"a.txt", "sub/b.txt", "CLOSE 2.0"}, {"2 unfinished file\\(s\\) left by an earlier run removed"}},
            [=](Scenario &s) {
                bool ok = true;
                for (const auto &[name, age] : {std::make_pair(stale, 7200), {"sub/" + stale, 7200}, {"other/" + stale, 7200},
                                                {fresh, 60}, {QStringLiteral(".~staged-notes.part"), 7200}}) {
                    QFile file(s.app() + '/' + name);
                    ok = ok && file.open(QIODevice::WriteOnly) && file.write("partial") == 7 && file.flush()
                         && file.setFileTime(QDateTime::currentDateTimeUtc().addSecs(-age), QFileDevice::FileModificationTime);
                }
                return ok;
            });
    }
    void runs()
    {
        QFETCH(Tree, installed);
        QFETCH(Release, release);
        QFETCH(Setup, setup);
        QFETCH(Outcome, expected);
        QFETCH(Tree, outside);
        if (QByteArray(QTest::currentDataTag()).contains("tmpfs") && !QFileInfo(QStringLiteral("/dev/shm")).isWritable())
            QSKIP("no second file system at /dev/shm");
        Scenario s;
        QVERIFY(s.ok() && s.install(installed) && s.publish(release) && setup(s));
        QStringList executables;
        for (const QString &name : readTree(s.app()).keys())
            if (QFileInfo(s.app() + '/' + name).permissions() & QFile::ExeOwner)
                executables << name;
        QFETCH(Faults, faults);
        QFETCH(QStringList, options);
        const Outcome seen = s.run(faults, Run{options});
        QString why = seen.mismatch(expected);
        QVERIFY2(why.isEmpty(), qPrintable(why));
        QCOMPARE(readTree(s.path("outside")), outside);
        for (const QString &name : executables)
            QVERIFY2(!QFile::exists(s.app() + '/' + name) || (QFile::permissions(s.app() + '/' + name) & QFile::ExeOwner), qPrintable(name));
        if (expected.exitStatus != 0)
            return;
        // Downloads come from private temporary files; installed they look
        // like files written in place.
        QFile probe(s.path("probe"));
        QVERIFY(probe.open(QIODevice::WriteOnly));
        const QString first = expected.requests.first();
        if (expected.requests.size() > 1)
            QCOMPARE(QFileInfo(s.app() + '/' + first).permissions(),
                     probe.permissions() | (executables.contains(first) ? QFile::ExeOwner : QFile::Permissions()));
        // The saved manifest lists exactly the release's files, in canonical
        // order (files, then folders, each by name), with the global
        // checksum of what is installed when that is all there is.
        const QDomElement saved = readManifestDocument(s.path("local.xml")).documentElement();
        QStringList listed;
        const std::function<void(const QDomElement &, const QString &)> walk = [&](const QDomElement &parent, const QString &prefix) {
            QStringList files, folders, order;
            for (QDomElement e = parent.firstChildElement(); !e.isNull(); e = e.nextSiblingElement()) {
                order << e.attribute(QStringLiteral("name"));
                (e.tagName() == "file" ? files : folders) << order.last();
                if (e.tagName() == "file")
                    listed << prefix + order.last();
                else
                    walk(e, prefix + order.last() + '/');
            }
            files.sort();
            folders.sort();
            QCOMPARE(order, files + folders);
        };
        walk(saved, QString());
        listed.sort();
        QStringList releaseFiles = release.files.keys();
        releaseFiles.erase(std::remove_if(releaseFiles.begin(), releaseFiles.end(), [](const QString &k) { return k.endsWith('/'); }),
                           releaseFiles.end());
        QCOMPARE(listed, releaseFiles);
        if (expected.installed == release.files)
            QCOMPARE(saved.attribute(QStringLiteral("crc")), Manifest(FolderScanner().scan(s.app()).documentElement()).globalChecksum());
        // A run that just succeeded leaves nothing to fetch.
        why = s.run().mismatch(Outcome{expected.installed, "", 0, {"CLOSE 2.0"}});
        QVERIFY2(why.isEmpty(), qPrintable(why));
    }

    // A refused release ends the run at once; a cancel after it (the
    // window's) sends nothing, as nothing was begun.
    void cancelAfterRefusalSendsNothing()
    {
        prepare(installedTree, releaseTree);
        QVERIFY(writeFile(distantManifest, "<UPDATE_STRUCTURE version=\"2.0\"/>"));
        UpdateManager manager;
        QCOMPARE(run(manager), QList<int>{1});
        manager.downloadsFinished();
        QTest::qWait(100);
        QVERIFY(server->requests().empty());
        QCOMPARE(readTree(installed), installedTree);
    }

    // Cancel aborts the files in flight: none is placed, nothing else is
    // asked for, and the run ends once, with one close request.
    void cancelDuringRun_data()
    {
        QTest::addColumn<int>("connections");
        QTest::newRow("one file in flight") << 1;
        QTest::newRow("4 files in flight") << 4;
    }
    void cancelDuringRun()
    {
        QFETCH(int, connections);
        prepare(installedTree, releaseTree);
        UpdaterSettings::instance().connections = connections;
        fault = [connections](const QByteArray &name, httplib::Response &res) {
            if (name == "CLOSE" || (connections == 1 && name != releaseRequests.first()))
                return false;
            const std::string body = releaseTree.value(QString::fromUtf8(name)).toStdString();
            res.set_content_provider(body.size(), "application/octet-stream", [body](size_t offset, size_t, httplib::DataSink &sink) {
                if (offset > 0) { // half sent: hold the rest back for a while
                    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
                    return false;
                }
                return sink.write(body.data(), body.size() / 2);
            });
            return true;
        };
        UpdateManager manager;
        QSet<QString> started;
        connect(manager.m_downloader, &UpdateDownloader::fileDownloadStarting, &manager,
                [&started](QDomElement e) { started << e.attribute(QStringLiteral("name")); });
        // What the window's Cancel does, once the first bytes of every
        // file have arrived.
        auto *s = server.data();
        connect(manager.m_downloader, &UpdateDownloader::fileDownloadProgress, &manager, [&manager, s, connections] {
            if (manager.isFinished() || int(s->requests().size()) < connections)
                return;
            manager.m_downloader->cancelDownloads();
            manager.m_errorCount += 1;
            manager.downloadsFinished();
        });
        QCOMPARE(run(manager), QList<int>{1});
        QTest::qWait(2000); // anything still to come would come now
        QList<QByteArray> asked = received(false), expected = releaseRequests.mid(0, connections);
        std::sort(asked.begin(), asked.end());
        std::sort(expected.begin(), expected.end());
        QCOMPARE(asked, expected);
        QCOMPARE(received(true), QList<QByteArray>{"version=2.0__1&request=CLOSE"});
        // Each file cut off is on record, named once.
        QCOMPARE(log->count(QStringLiteral("ERROR"), QStringLiteral("network error: 5 - cancelled")), connections);
        QCOMPARE(started.size(), connections);
        for (auto it = releaseTree.cbegin(); it != releaseTree.cend(); ++it) {
            if (!it.key().endsWith('/'))
                QCOMPARE(readFile(installed + '/' + it.key()), installedTree.value(it.key(), "<missing>"));
        }
        QVERIFY(QDir(installed + "/newdir/deep").entryList(QDir::Files | QDir::Hidden).isEmpty());
        QVERIFY(QFile::exists(installed + "/gone.txt"));
        QCOMPARE(log->count(QStringLiteral("INFO"), QStringLiteral("run cancelled:")), 1);
    }

    // The percentage counts the whole run: it never falls back when the
    // next file starts.
    void progressOverSeveralFiles()
    {
        Tree release;
        for (int i = 0; i < 4; ++i)
            release.insert(QStringLiteral("f%1.bin").arg(i), QByteArray(200000 + i, char('a' + i)));
        prepare({}, release);
        UpdateManager manager;
        QList<int> percentages;
        connect(manager.m_downloader, &UpdateDownloader::fileDownloadProgress, &manager,
                [&percentages](qint64 received, qint64 total, double speed, double timeLeft, int percentage) {
                    // The first report may come at 0 ms: nothing infinite or undefined follows.
                    QVERIFY(std::isfinite(speed) && std::isfinite(timeLeft) && received <= total);
                    percentages << percentage;
                });
        QCOMPARE(run(manager), QList<int>{0});
        QVERIFY(percentages.size() >= 4);
        for (int i = 1; i < percentages.size(); ++i)
            QVERIFY2(percentages[i] >= percentages[i - 1], qPrintable(QString::number(i)));
        QCOMPARE(percentages.last(), 100);
        QVERIFY(percentages.first() <= 26);
    }

    // A write that fails (a full disk) never leaves a partial file in place:
    // the old file stays, and the reason is in the log. The manifest save
    // goes through a new file, so a failed save keeps the old one readable.
    void failingWrites_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("file size limit") << "limit";
        QTest::newRow("full tmpfs") << "tmpfs";
        QTest::newRow("manifest save cut short") << "save";
    }
    void failingWrites()
    {
        QFETCH(QString, kind);
        const Tree before{{"big.bin", QByteArray(100000, 'o')}, {"keep.txt", "same"}};
        // For the save, files small enough to go in, under the manifest's size.
        const Tree after{{"big.bin", QByteArray(kind == "save" ? 100 : 300000, 'n')}, {"keep.txt", "same"}};
        prepare(before, after);
        QScopedPointer<QTemporaryDir> mountPoint;
        if (kind == "tmpfs") {
            if (geteuid() != 0)
                QSKIP("mounting a small tmpfs needs root");
            mountPoint.reset(new QTemporaryDir);
            QVERIFY(mount("tmpfs", mountPoint->path().toLocal8Bit().constData(), "tmpfs", 0, "size=256k") == 0);
            installed = mountPoint->path() + "/app";
            writeTree(installed, before);
            UpdaterSettings::instance().destinationDir = installed;
        }
        const QByteArray manifestBefore = readFile(localManifest);
        QList<int> counts;
        {
            // The new manifest is over 200 bytes.
            QScopedPointer<FileSizeLimit> limit(kind == "tmpfs" ? nullptr : new FileSizeLimit(kind == "save" ? 150 : 150000));
            UpdateManager manager;
            counts = run(manager);
        }
        const Tree onDisk = readTree(installed);
        if (mountPoint)
            umount(mountPoint->path().toLocal8Bit().constData());
        QCOMPARE(counts, QList<int>{1});
        if (kind == "save") {
            QCOMPARE(onDisk, after); // the files went in; only the record failed
            QCOMPARE(log->count(QStringLiteral("ERROR"), QStringLiteral("cannot write local manifest")), 1);
        } else {
            QCOMPARE(onDisk, before);
            const QString reason = kind == "tmpfs" ? QStringLiteral("No space left on device") : QStringLiteral("File too large");
            QCOMPARE(log->count(QStringLiteral("ERROR"), QStringLiteral("big.bin file writing error. ") + reason), 3);
        }
        // The old manifest, or the new one complete: never a mixture.
        QCOMPARE(readFile(localManifest), kind == "save" ? manifestBefore : readFile(localManifest));
        QVERIFY(!readManifestDocument(localManifest).isNull());
    }

    // A staged rollout offers a release to P % of 10,000 random
    // installations, within 2 points; an installation offered at P stays
    // offered at every larger P, and each release draws its own share.
    void rolloutShares_data()
    {
        QTest::addColumn<int>("percent");
        for (const int percent : {0, 1, 5, 10, 25, 50, 75, 99, 100})
            QTest::newRow(qPrintable(QStringLiteral("%1 %").arg(percent))) << percent;
    }
    void rolloutShares()
    {
        QFETCH(int, percent);
        QRandomGenerator random(20261208u + quint32(percent));
        int offered = 0, offeredNext = 0, both = 0, stayed = 0;
        for (int i = 0; i < 10000; ++i) {
            const quint64 id = random.generate64();
            const bool now = Rollout::offered(id, "2.0", percent);
            offered += now;
            stayed += !now || Rollout::offered(id, "2.0", qMin(100, percent + 1));
            const bool next = Rollout::offered(id, "2.1", percent);
            offeredNext += next;
            both += now && next;
            // The same answer every time it is asked.
            QCOMPARE(Rollout::bucket(id, "2.0"), Rollout::bucket(id, "2.0"));
        }
        QVERIFY2(qAbs(offered / 100.0 - percent) <= 2.0, qPrintable(QString::number(offered)));
        QVERIFY2(qAbs(offeredNext / 100.0 - percent) <= 2.0, qPrintable(QString::number(offeredNext)));
        QCOMPARE(stayed, 10000);
        // Drawn apart, two releases share about P % of P %.
        QVERIFY2(qAbs(both / 100.0 - percent * percent / 100.0) <= 2.0, qPrintable(QString::number(both)));
    }

    // The attribute is a whole percent and nothing else; the bucket of an
    // id and a version never changes, or published rollouts would move.
    void rolloutReadsOnlyWholePercents_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("percent"); // -1: refused
        QTest::newRow("0") << "0" << 0;
        QTest::newRow("100") << "100" << 100;
        QTest::newRow("007") << "007" << 7;
        for (const char *text : {"101", "-1", "+5", " 5", "5.5", "50%", "", "1000", "half"})
            QTest::newRow(text) << text << -1;
    }
    void rolloutReadsOnlyWholePercents()
    {
        QFETCH(QString, text);
        int percent = -1;
        const bool read = Rollout::parsePercent(text, &percent);
        QTEST(read ? percent : -1, "percent");
        // The first 8 bytes of SHA-256("0123456789abcdef:2.0"), big-endian, modulo 10,000.
        QCOMPARE(Rollout::bucket(0x0123456789abcdefULL, "2.0"), 3615);
    }
};

QTEST_MAIN(TestUpdateManager)
#include "tst_updatemanager.moc"
