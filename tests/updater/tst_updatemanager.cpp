#include "testfiles.h"
#include "folderscanner.h"
#include "testhttpserver.h"
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

// A manifest entry of a file with this content.
QString entry(const QString &name, const QByteArray &content, const QString &url = QString())
{
    return QStringLiteral("<file name='%1' url='%2' size='%3' crc='%4'/>").arg(name, url.isEmpty() ? name : url).arg(content.size())
        .arg(QString::fromLatin1(QCryptographicHash::hash(content, QCryptographicHash::Sha1).toHex()));
}

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

class TestUpdateManager : public QObject
{
    Q_OBJECT

    QSharedPointer<CaptureDestination> log{new CaptureDestination};
    QScopedPointer<QTemporaryDir> tmp, otherFileSystem;
    QScopedPointer<TestServer> server;
    QString installed, localManifest, distantManifest;
    std::function<bool(const QByteArray &, httplib::Response &)> fault; // true: answered

    // Lays out an installation, a release, both manifests and a server that
    // serves the release folder. With installElsewhere the installation lies
    // on another file system than the temporary files, so downloads are
    // copied, not moved.
    void prepare(const Tree &installedFiles, const Tree &releaseFiles, bool installElsewhere = false)
    {
        tmp.reset(new QTemporaryDir);
        otherFileSystem.reset(installElsewhere ? new QTemporaryDir(QStringLiteral("/dev/shm/tst-XXXXXX")) : nullptr);
        installed = (installElsewhere ? otherFileSystem->path() : tmp->path()) + "/app";
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

    void wholeRun_data()
    {
        QTest::addColumn<bool>("upToDate");
        QTest::addColumn<bool>("elsewhere");
        QTest::addColumn<QString>("faultKind"); // how change.txt is answered before it succeeds
        QTest::addColumn<QList<QByteArray>>("requests");
        const QList<QByteArray> all = releaseRequests, retried = all + QList<QByteArray>{"change.txt"};
        QTest::newRow("new, changed and removed") << false << false << "" << all;
        QTest::newRow("installed on tmpfs") << false << true << "" << all;
        QTest::newRow("nothing to do") << true << false << "" << QList<QByteArray>();
        QTest::newRow("checksum never matches") << false << false << "corrupt" << retried + retried.mid(4);
        QTest::newRow("size attribute wrong, checksum right") << false << false << "size" << retried + retried.mid(4);
        QTest::newRow("500 then success") << false << false << "500 once" << retried;
    }
    void wholeRun()
    {
        QFETCH(bool, upToDate);
        QFETCH(bool, elsewhere);
        QFETCH(QString, faultKind);
        const int errors = faultKind == "corrupt" || faultKind == "size";
        const QByteArray version = errors ? "2.0__1" : "2.0";
        if (elsewhere && !QFileInfo(QStringLiteral("/dev/shm")).isWritable())
            QSKIP("no second file system at /dev/shm");
        prepare(upToDate ? releaseTree : installedTree, releaseTree, elsewhere);
        if (faultKind == "size") { // the release's manifest says one byte more than it has
            const QByteArray distant = readFile(distantManifest); // change.txt is the only file of 11 bytes
            QVERIFY(distant.count("size=\"11\"") == 1 && writeFile(distantManifest, QByteArray(distant).replace("size=\"11\"", "size=\"12\"")));
        }
        auto failures = std::make_shared<std::atomic<int>>(0);
        fault = [=](const QByteArray &name, httplib::Response &res) {
            if (name != "change.txt" || faultKind.isEmpty() || faultKind == "size" || (!errors && (*failures)++ > 0))
                return false;
            if (errors)
                res.set_content("tampered", "text/plain");
            else
                res.status = 500;
            return true;
        };
        UpdateManager manager;
        QCOMPARE(run(manager), QList<int>{errors});

        // What the server saw: the files in comparison order, then one close request.
        QTEST(received(false), "requests");
        QCOMPARE(received(true), QList<QByteArray>{"version=" + version + "&request=CLOSE"});
        QCOMPARE(server->requests().back().request, QByteArray("CLOSE"));

        Tree expected = releaseTree;
        if (errors) { // the bad file keeps its old content and nothing is deleted
            expected.insert(Tree{{"change.txt", "old"}, {"gone.txt", "bye"}, {"olddir/x.txt", "x"}});
            QCOMPARE(log->count(QStringLiteral("ERROR"), QStringLiteral("\"change.txt crc error !")), 3);
        }
        QCOMPARE(readTree(installed), expected);
        // A run that just succeeded leaves nothing to fetch.
        if (!errors) {
            const size_t before = server->requests().size();
            UpdaterSettings::instance().distantManifestPath = distantManifest;
            UpdateManager again;
            QCOMPARE(run(again), QList<int>{0});
            QCOMPARE(int(server->requests().size()), int(before) + 1); // the close request only
        }
        // Downloads come from private temporary files; installed they look
        // like files written in place.
        QFile probe(tmp->filePath(QStringLiteral("probe")));
        QVERIFY(probe.open(QIODevice::WriteOnly));
        if (!upToDate)
            QCOMPARE(QFileInfo(installed + "/newdir/deep/f.txt").permissions(), probe.permissions());

        // The saved manifest: version, global checksum of what is installed, canonical order.
        const QDomDocument savedDoc = readManifestDocument(localManifest);
        const QDomElement saved = savedDoc.documentElement();
        QCOMPARE(saved.attribute(QStringLiteral("version")).toLatin1(), version);
        if (!errors) {
            QDomDocument scanned = FolderScanner().scan(installed);
            QCOMPARE(saved.attribute(QStringLiteral("crc")), Manifest(scanned.documentElement()).globalChecksum());
            QStringList top;
            for (QDomElement e = saved.firstChildElement(); !e.isNull(); e = e.nextSiblingElement())
                top << e.attribute(QStringLiteral("name"));
            QCOMPARE(top, QStringList({"a+b.dll", "change.txt", "keep.txt", "emptydir", "newdir", "sub"}));
        }
        // The one record a support person looks for first.
        if (faultKind.isEmpty() && !upToDate)
            QCOMPARE(log->count(QStringLiteral("INFO"), QStringLiteral("run finished: distant version 2.0, local version "
                                                                       "before 1.0; files fetched 4, failed 0, deleted 2;")),
                     1);
    }

    // An unusable distant manifest (unreadable or without a single entry) stops the run: nothing is fetched, changed or sent. Without a
    // usable local one everything is fetched and nothing deleted.
    void unusableManifest_data()
    {
        QTest::addColumn<bool>("distant");
        QTest::addColumn<QByteArray>("content"); // a missing file reads as one that does not parse (tst_manifest)
        QTest::newRow("distant truncated") << true << QByteArray("<UPDATE_STRUCTURE version=\"2.0\">\n<file name=\"a\" crc=\"");
        QTest::newRow("distant without entry") << true << QByteArray("<UPDATE_STRUCTURE version=\"2.0\"/>");
        QTest::newRow("another document") << true << QByteArray("<FOO version=\"2.0\"><comment/></FOO>");
        QTest::newRow("a note only") << true << QByteArray("<UPDATE_STRUCTURE version=\"2.0\"><note/></UPDATE_STRUCTURE>");
        QTest::newRow("local does not parse") << false << QByteArray("<UPDATE_STRUCTURE><file name=\"keep.txt\"");
        // Refused before the release is read: the summary still says the
        // installed version.
        QTest::newRow("public key unusable") << true << QByteArray("KEY");
    }
    void unusableManifest()
    {
        QFETCH(bool, distant);
        QFETCH(QByteArray, content);
        prepare(installedTree, releaseTree);
        if (content == "KEY")
            UpdaterSettings::instance().publicKeyPaths = QStringList{tmp->filePath(QStringLiteral("none.pub"))};
        else
            QVERIFY(writeFile(distant ? distantManifest : localManifest, content));
        const QByteArray localBefore = readFile(localManifest);
        UpdateManager manager;
        QCOMPARE(run(manager), QList<int>{distant});
        if (distant) {
            manager.downloadsFinished(); // as a cancel would
            QTest::qWait(100);
            QVERIFY(server->requests().empty());
            QCOMPARE(readFile(localManifest), localBefore);
            QCOMPARE(readTree(installed), installedTree);
            QCOMPARE(log->count(QStringLiteral("ERROR"), distantManifest), 1);
            QCOMPARE(log->count(QStringLiteral("INFO"), QStringLiteral("run refused:")), 1);
            QCOMPARE(log->count(QStringLiteral("INFO"), QStringLiteral("local version before 1.0;")), 1);
            return;
        }
        QCOMPARE(received(false).size(), 5);
        Tree expected = installedTree;
        expected.insert(releaseTree);
        QCOMPARE(readTree(installed), expected);
        // The saved manifest lists exactly what was written.
        const QDomDocument saved = readManifestDocument(localManifest);
        QCOMPARE(saved.documentElement().tagName(), QStringLiteral("UPDATE_STRUCTURE"));
        QCOMPARE(saved.elementsByTagName(QStringLiteral("file")).size(), 5);
    }

    void unsafeEntriesAreNeverTouched()
    {
        prepare(installedTree, releaseTree);
        // A release that reaches outside the folder, and an installed entry that would.
        const QString entries = entry("../evil.txt", "pwned", "evil") + entry("C:evil.txt", "pwned", "evil")
            + "<directory name='..'>" + entry("evil.txt", "pwned", "evil") + "</directory>";
        QVERIFY(writeFile(distantManifest, readFile(distantManifest).replace("</UPDATE_STRUCTURE>", entries.toUtf8() + "</UPDATE_STRUCTURE>")));
        QVERIFY(writeFile(localManifest, readFile(localManifest).replace("</UPDATE_STRUCTURE>", "<directory name='...'/></UPDATE_STRUCTURE>")));
        fault = [](const QByteArray &name, httplib::Response &res) {
            if (name == "evil")
                res.set_content("pwned", "text/plain");
            return name == "evil";
        };
        UpdateManager manager;
        QCOMPARE(run(manager), QList<int>{5});
        QVERIFY(!received(false).contains("evil"));
        QVERIFY(!QFile::exists(tmp->path() + "/evil.txt"));
        QCOMPARE(log->count(QStringLiteral("ERROR"), QStringLiteral("unsafe entry path")), 5);
        // Counted as errors: nothing is deleted, and the saved tree holds none of them.
        QVERIFY(QFile::exists(installed + "/gone.txt"));
        const QByteArray saved = readFile(localManifest);
        QVERIFY(!saved.contains("evil") && !saved.contains("\"..") && saved.contains("2.0__5"));
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

    // A folder inside the installation that is a link is never written,
    // replaced, created or deleted through, wherever it leads.
    void linksOutOfTheInstallation()
    {
        prepare({{"keep.txt", "same"}}, {{"x.txt", "new x"}, {"new.txt", "new"}, {"y.txt", "new y"}});
        const QString outside = tmp->path() + "/outside";
        const Tree outsideTree{{"x.txt", "outside x"}, {"old.txt", "outside old"}};
        writeTree(outside, outsideTree);
        writeTree(installed + "/real", {{"y.txt", "old y"}});
        QVERIFY(QFile::link(outside, installed + "/data"));
        QVERIFY(QFile::link(installed + "/real", installed + "/alias"));
        // Installed: data/x.txt, data/old.txt, alias/y.txt. Released: data/x.txt
        // changed, data/new.txt and data/sub/ new, data/old.txt gone, alias/y.txt changed.
        QVERIFY(writeFile(localManifest, ("<UPDATE_STRUCTURE version='1.0'>" + entry("keep.txt", "same")
                                          + "<directory name='data'>" + entry("x.txt", "outside x") + entry("old.txt", "outside old")
                                          + "</directory><directory name='alias'>" + entry("y.txt", "old y")
                                          + "</directory></UPDATE_STRUCTURE>").toUtf8()));
        QVERIFY(writeFile(distantManifest, ("<UPDATE_STRUCTURE version='2.0'>" + entry("keep.txt", "same")
                                            + "<directory name='data'>" + entry("x.txt", "new x") + entry("new.txt", "new")
                                            + "<directory name='sub'/></directory><directory name='alias'>" + entry("y.txt", "new y")
                                            + "</directory></UPDATE_STRUCTURE>").toUtf8()));
        UpdateManager manager;
        const QList<int> counts = run(manager);
        QCOMPARE(readTree(outside), outsideTree);
        QCOMPARE(readFile(installed + "/real/y.txt"), QByteArray("old y"));
        // data/sub, data/x.txt, data/new.txt and alias/y.txt are refused; with errors, nothing is deleted.
        QCOMPARE(counts, QList<int>{4});
        QCOMPARE(log->count(QStringLiteral("ERROR"), QStringLiteral("/data is a link")), 3);
        QCOMPARE(log->count(QStringLiteral("ERROR"), QStringLiteral("/alias is a link")), 1);
    }

    // Hidden files that a killed run left where files are named while
    // written go at the next run, in the folders it writes to, when idle
    // for an hour or when their writer has ended; a file of the same
    // pattern still being written, or a user's own, stays.
    void leftoversOfKilledRunRemoved()
    {
        const QString stale = QStringLiteral(".~staged-0123456789abcdef.part");
        // Named by a writer that is still running (this process), and
        // recent: left alone.
        const QString fresh = QStringLiteral(".~staged-%1fedcba98.part").arg(QCoreApplication::applicationPid(), 8, 16, QLatin1Char('0'));
        const Tree release{{"a.txt", "new a"}, {"sub/b.txt", "b"}, {"other/c.txt", "c"}};
        prepare({{"a.txt", "old a"}, {"sub/", ""}, {"other/c.txt", "c"}}, release);
        const auto leave = [](const QString &path, qint64 age) {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write("partial") == 7 && file.flush());
            QVERIFY(file.setFileTime(QDateTime::currentDateTimeUtc().addSecs(-age), QFileDevice::FileModificationTime));
        };
        for (const QString &dir : {QStringLiteral(""), QStringLiteral("sub/"), QStringLiteral("other/")})
            leave(installed + '/' + dir + stale, 2 * 3600);
        leave(installed + '/' + fresh, 60);
        leave(installed + "/.~staged-notes.part", 2 * 3600);

        UpdateManager manager;
        QCOMPARE(run(manager), QList<int>{0});
        Tree expected = release;
        expected.insert("other/" + stale, "partial"); // nothing is written there
        expected.insert(fresh, "partial");
        expected.insert(".~staged-notes.part", "partial");
        QCOMPARE(readTree(installed), expected);
        QCOMPARE(log->count(QStringLiteral("INFO"), QStringLiteral("2 unfinished file(s) left by an earlier run removed")), 1);
    }

    // A file that is a link is replaced by the new file, never written
    // through: a changed one linked out of the installation, and a new one
    // whose name a dangling link already holds. An executable stays one.
    void fileLinksReplacedNotFollowed()
    {
        const Tree release{{"tool.exe", "new tool"}, {"new.dll", "new dll"}, {"run.sh", "new script"}};
        prepare({{"run.sh", "old script"}}, release);
        const QString outside = tmp->path() + "/outside";
        writeTree(outside, {{"target.txt", "outside"}});
        QVERIFY(QFile::link(outside + "/target.txt", installed + "/tool.exe"));
        QVERIFY(QFile::link(outside + "/created.txt", installed + "/new.dll"));
        QVERIFY(QFile::setPermissions(installed + "/run.sh", QFile::permissions(installed + "/run.sh") | QFile::ExeOwner));
        // The installed manifest lists tool.exe with other bytes: a changed file.
        QVERIFY(writeFile(localManifest, readFile(localManifest).replace("</UPDATE_STRUCTURE>", entry("tool.exe", "old").toUtf8() + "</UPDATE_STRUCTURE>")));

        UpdateManager manager;
        QCOMPARE(run(manager), QList<int>{0});
        QCOMPARE(readTree(outside), (Tree{{"target.txt", "outside"}}));
        QCOMPARE(readTree(installed), release);
        QVERIFY(!QFileInfo(installed + "/tool.exe").isSymLink());
        QVERIFY(!QFileInfo(installed + "/new.dll").isSymLink());
        QVERIFY(QFileInfo(installed + "/run.sh").permissions() & QFile::ExeOwner);
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
