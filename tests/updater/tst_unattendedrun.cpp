// The unattended mode ("--silent") through the real executable, with no
// display at all: a window or a box would make it fail to start. Each case
// is a scenario (tests/common/scenario.h): the whole state after the run is
// compared.

#include "scenario.h"
#include "manifest.h"
#include "startupcheck.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

namespace {

const QByteArray payloadA("first file of the release\n");
const QByteArray payloadB(70000, 'b');
const Tree release2{{"a.txt", payloadA}, {"sub/b.bin", payloadB}};

// The paths a --check report lists under `key`, with the reasons when it has them.
QStringList listed(const QJsonObject &report, const QString &key)
{
    QStringList paths;
    for (const QJsonValue &value : report.value(key).toArray())
        paths << (value.isObject() ? value["path"].toString() + ' ' + value["reason"].toString() : value.toString());
    return paths;
}

} // namespace

#define COMPARE_OUTCOME(seen, expected) \
    do { const QString why = (seen).mismatch(expected); QVERIFY2(why.isEmpty(), qPrintable(why)); } while (0)

class TestUnattendedRun : public QObject
{
    Q_OBJECT

    QScopedPointer<Scenario> m_s;
    QString path(const QString &name) const { return m_s->path(name); }

private slots:
    // The copied program, an empty installation at 1.0 and a release 2.0 of two files.
    void init()
    {
        m_s.reset(new Scenario);
        QVERIFY(m_s->ok() && m_s->publish(Release{release2}));
    }

    // A release that is not a usable manifest, or is refused for what its
    // root says, changes nothing and asks for nothing. A refused root is
    // never read past: a 600,000-file manifest costs no more memory than a
    // small one. The versions known are said even so.
    void refused_data()
    {
        QTest::addColumn<QByteArray>("root"); // followed by 600,000 entries when it is an open root
        QTest::addColumn<QStringList>("logged");
        QTest::newRow("expired") << QByteArray("<UPDATE_STRUCTURE version='2.0' expires='2001-01-01T00:00:00Z'>")
                                 << QStringList{"distant manifest refused, nothing updated", "expired", "peak memory ([0-9]|[1-5][0-9]|6[0-3]) MiB"};
        QTest::newRow("expiry unreadable") << QByteArray("<?xml version='1.0'?><!-- made elsewhere -->\n"
                                                         "<UPDATE_STRUCTURE version='2.0' expires='soon'>")
                                           << QStringList{"distant manifest refused, nothing updated", "expiry date unreadable",
                                                          "run refused: .*; peak memory ([0-9]|[1-5][0-9]|6[0-3]) MiB"};
        QTest::newRow("an error page") << QByteArray("<?xml version=\"1.0\"?>\n<html><head><title>503</title></head>"
                                                     "<body><h1>Service Unavailable</h1></body></html>\n")
                                       << QStringList{"lists no file or directory", "run refused: distant version -, local version before 1.0"};
    }
    void refused()
    {
        QFETCH(QByteArray, root);
        const Tree installed{{"app.exe", "app"}, {"data/levels.pak", "lv"}};
        QVERIFY(m_s->install(installed));
        QFile distant(path("distant.xml"));
        QVERIFY(distant.open(QIODevice::WriteOnly) && distant.write(root + '\n') > 0);
        const QString line = QStringLiteral("<file name='release-file-%1.dat' size='4096' crc='da39a3ee5e6b4b0d3255bfef95601890afd80709' "
                                            "url='d%2/release-file-%1.dat' version='2.0' date='2026-01-01T00:00:00'/>\n");
        for (int d = 0; d < 600 && root.endsWith("'>"); ++d) {
            QByteArray folder = "<directory name='d" + QByteArray::number(d) + "'>\n";
            for (int f = 0; f < 1000; ++f)
                folder += line.arg(f).arg(d).toLatin1();
            QVERIFY(distant.write(folder + "</directory>\n") > 0);
        }
        QVERIFY(!root.endsWith("'>") || (distant.write("</UPDATE_STRUCTURE>\n") > 0 && distant.size() > 100000000));
        distant.close();
        QFETCH(QStringList, logged);
        COMPARE_OUTCOME(m_s->run(), (Outcome{installed, "", 1, {}, logged}));
    }

    // Exit 0 when every file went in, 1 when one failed (a body of the right
    // size with other bytes); the close request carries the saved version.
    // The log rotates at 1024 bytes unless told otherwise; its first record
    // names the program and its arguments, and every run ends with its
    // summary record and one line in the history.
    void runs_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<Faults>("faults");
        QTest::addColumn<Outcome>("expected");
        QTest::addColumn<QString>("history");
        const QString done = " updater 1.0 -> 2.0 done; fetched 2, failed 0, deleted 0; ";
        const QStringList summary{"run finished: distant version 2.0, local version before 1.0"};
        const QStringList firstRecord{"^[^\\n]*\\n[^\\n]*\"updater " UPDATER_PROJECT_VERSION " started with\" \\(\"--silent\", \"--local_path\""};
        const Outcome clean{release2, "2.0", 0, {"a.txt", "sub/b.bin", "CLOSE 2.0"}, summary};
        QTest::newRow("clean") << QStringList() << Faults() << clean << done;
        Outcome unrotated = clean;
        unrotated.logMatches += firstRecord;
        QTest::newRow("--log_size 100000") << QStringList{"--log_size", "100000"} << Faults() << unrotated << done;
        const QString withErrors = " updater 1.0 -> 2.0 done with errors; fetched 1, failed 1, deleted 0; ";
        const Faults damaged{{"sub/b.bin", Fault::WrongBytes, 1000}};
        QTest::newRow("a file fails") << QStringList() << damaged
                                      << Outcome{{{"a.txt", payloadA}, {"sub/", ""}}, "2.0__1", 1,
                                                 {"a.txt", "sub/b.bin", "sub/b.bin", "sub/b.bin", "CLOSE 2.0__1"}, summary}
                                      << withErrors;
        Outcome parallel{{{"a.txt", payloadA}, {"sub/", ""}}, "2.0__1", 1, {"a.txt", "sub/b.bin", "sub/b.bin", "sub/b.bin", "CLOSE 2.0__1"}, summary};
        parallel.unorderedRequests = true;
        QTest::newRow("a file fails, --connections 4") << QStringList{"--connections", "4"} << damaged << parallel << withErrors;
    }
    void runs()
    {
        QFETCH(QStringList, options);
        QFETCH(Faults, faults);
        QFETCH(Outcome, expected);
        QVERIFY(writeFile(path("log.txt"), QByteArray(1000, '.') + '\n')); // an earlier run's
        COMPARE_OUTCOME(m_s->run(faults, Run{options}), expected);
        QCOMPARE(QFile::exists(path("log.txt.1")), !options.contains("--log_size"));
        const QStringList lines = QString::fromUtf8(readFile(path("update-history.log"))).split('\n', Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 1);
        QFETCH(QString, history);
        QVERIFY2(lines.first().contains(history), qPrintable(lines.first()));
        QCOMPARE(lines.first().endsWith("; failed: \"sub/b.bin\" \"could not be verified: the download was damaged\""), !faults.isEmpty());
    }

    // --check reads and judges the release as a run does, and changes
    // nothing: no file, folder, lock file or history line, and no request
    // but for the notes. One JSON object on stdout, and a status to act on.
    void check_data()
    {
        QTest::addColumn<QString>("attributes"); // more on the release's root
        QTest::addColumn<bool>("installed");     // the release is in place
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("state");
        QTest::addColumn<QStringList>("fetch");
        const QStringList both{"a.txt new", "sub/b.bin new"};
        QTest::newRow("update available") << "" << false << QStringList() << 10 << "update available" << both;
        QTest::newRow("up to date") << "" << true << QStringList() << 0 << "up to date" << QStringList();
        QTest::newRow("with notes") << " notes_url='notes/2.0.txt'" << false << QStringList() << 10 << "update available" << both;
        QTest::newRow("rollout halted") << " rollout='0'" << false << QStringList() << 0 << "not yet offered" << both;
        QTest::newRow("rollout halted, --ignore_rollout") << " rollout='0'" << false << QStringList{"--ignore_rollout"} << 10
                                                          << "update available" << both;
        QTest::newRow("expired") << " expires='2001-01-01T00:00:00Z'" << false << QStringList() << 1 << "refused" << QStringList();
        QTest::newRow("installation folder not made yet") << "" << false << QStringList{"--dir", "new"} << 10
                                                          << "update available" << both;
        QTest::newRow("command line error") << "" << false << QStringList{"--timeout", "0"} << 2 << "command line error"
                                            << QStringList();
    }
    void check()
    {
        QFETCH(QString, attributes);
        QFETCH(bool, installed);
        QFETCH(QStringList, options);
        QFETCH(int, status);
        Release release{release2};
        release.rootAttributes = attributes;
        QVERIFY(m_s->publish(release));
        QVERIFY(installed ? m_s->install(release2, "2.0") : m_s->install({{"old.txt", "old"}}));
        m_s->extraFiles = {{"notes/2.0.txt", "What changed: everything."}};
        const Tree before = readTree(m_s->path()) + Tree({{"log.txt", ""}});
        Run check{options};
        check.mode = Run::Check;
        const Outcome seen = m_s->run({}, check);
        const QStringList notes = attributes.contains("notes") ? QStringList{"notes/2.0.txt"} : QStringList();
        COMPARE_OUTCOME(seen, (Outcome{installed ? release2 : Tree{{"old.txt", "old"}}, "", status, notes}));
        QCOMPARE(readTree(m_s->path()) + Tree({{"log.txt", ""}}), before); // nothing changed but the log
        const QJsonObject report = QJsonDocument::fromJson(seen.output).object();
        QCOMPARE(seen.output.count('\n'), 1);
        QTEST(report["status"].toString(), "state");
        const QString state = report["status"].toString();
        if (state == "refused" || state == "command line error") {
            QVERIFY2(!report["error"].toString().isEmpty(), seen.output.constData());
            return;
        }
        QTEST(listed(report, "fetch"), "fetch");
        QCOMPARE(listed(report, "delete"), installed ? QStringList() : QStringList{"old.txt"});
        QCOMPARE(report["local_version"].toString(), installed ? "2.0" : "1.0");
        QCOMPARE(report["distant_version"].toString(), "2.0");
        QCOMPARE(report["bytes_to_fetch"].toInt(), installed ? 0 : payloadA.size() + payloadB.size());
        QCOMPARE(report["rollout"].toObject()["offered"].toBool(), state != "not yet offered");
        QCOMPARE(report["notes"].toObject()["text"].toString(), notes.isEmpty() ? "" : "What changed: everything.");
    }

    // One --repair run restores a deleted, a corrupted and a truncated file
    // byte for byte from the release the installation is at: the local
    // manifest itself without a key, or the release given. It deletes
    // nothing the release lacks, refuses another version's release, and
    // with --check only reports; once repaired, a check finds nothing.
    void repair_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<QString>("releaseVersion");
        QTest::addColumn<int>("status");
        QTest::addColumn<bool>("restored");
        QTest::addColumn<QString>("logged");
        const QString repaired = "repaired 3: a.txt \\(missing\\), c.dat \\(size\\), sub/b.bin \\(checksum\\)";
        QTest::newRow("from the local manifest") << QStringList() << "2.0" << 0 << true << repaired;
        QTest::newRow("from the release") << QStringList{"--distant_path", "%DIR%/distant.xml"} << "2.0" << 0 << true << repaired;
        QTest::newRow("--check") << QStringList{"--check"} << "2.0" << 10 << false << "check: repair needed";
        QTest::newRow("another version's release") << QStringList{"--distant_path", "%DIR%/distant.xml"} << "3.0" << 1 << false
                                                   << "a repair needs the release of the installed version 2.0, not 3.0";
    }
    void repair()
    {
        QFETCH(QStringList, options);
        QFETCH(QString, releaseVersion);
        QFETCH(bool, restored);
        const Tree release = release2 + Tree{{"c.dat", "the third file\n"}};
        const Tree installed = release + Tree{{"old.txt", "listed, not in the release"}};
        QVERIFY(m_s->install(installed, "2.0") && m_s->publish(Release{release, releaseVersion}));
        QByteArray corrupt = payloadB;
        corrupt[35000] = 'X';
        QVERIFY(QFile::remove(path("app/a.txt")) && writeFile(path("app/sub/b.bin"), corrupt) && writeFile(path("app/c.dat"), "the"));
        const Tree damaged = readTree(path("app"));
        Run repair{QStringList{"--silent", "--repair", "--local_path", "%DIR%/local.xml", "--url", "%URL%", "--dir", "%DIR%/app",
                               "--log_size", "10000000"} + options};
        repair.mode = Run::Bare;
        QFETCH(int, status);
        QFETCH(QString, logged);
        Outcome seen = m_s->run({}, repair);
        seen.requests.sort();
        COMPARE_OUTCOME(seen, (Outcome{restored ? installed : damaged, restored ? "2.0" : "", status,
                                       restored ? QStringList{"CLOSE 2.0", "a.txt", "c.dat", "sub/b.bin"} : QStringList(), {logged}}));
        if (restored) {
            repair.options = QStringList{"--check", "--repair", "--local_path", "%DIR%/local.xml", "--url", "%URL%", "--dir", "%DIR%/app"};
            seen = m_s->run({}, repair);
            QCOMPARE(seen.exitStatus, 0);
            QCOMPARE(QJsonDocument::fromJson(seen.output).object()["status"].toString(), "up to date");
        }
    }

    // The installation's id is made once, by the first run a staged rollout
    // needs it for (never by a check), in one rename that replaces a link
    // there instead of writing through it; every run of the release then
    // decides alike, and --check tells what it will be.
    void rolloutDecidesOncePerInstallation()
    {
        Release release{{{"a.txt", payloadA}}};
        release.rootAttributes = " rollout='50'";
        QVERIFY(m_s->publish(release));
        Run check;
        check.mode = Run::Check;
        Outcome seen = m_s->run({}, check);
        const QJsonObject report = QJsonDocument::fromJson(seen.output).object();
        QVERIFY(seen.exitStatus == 10 && report["rollout"].toObject()["offered"].isNull() && !QFileInfo::exists(path("install-id")));

        QVERIFY(writeFile(path("outside/target"), "not an id") && QFile::link(path("outside/target"), path("install-id")));
        QList<int> decisions;
        QByteArray id;
        for (int run = 0; run < 3; ++run) {
            QVERIFY(m_s->install({}));
            QCOMPARE(m_s->run({}, Run{{"--log_size", "10000000"}}).exitStatus, 0);
            if (run == 0)
                id = readFile(path("install-id"));
            QCOMPARE(readFile(path("install-id")), id);
            decisions << int(QFile::exists(path("app/a.txt")));
        }
        QCOMPARE(readFile(path("outside/target")), QByteArray("not an id"));
        QVERIFY(!QFileInfo(path("install-id")).isSymLink() && QRegularExpression("^[0-9a-f]{16}\n$").match(QString::fromLatin1(id)).hasMatch());
        QCOMPARE(decisions.count(decisions.first()), 3);
        QCOMPARE(readFile(path("log.txt")).count("not yet offered to this installation (rollout 50 %)"), decisions.first() ? 0 : 3);
        QVERIFY(m_s->install({}));
        seen = m_s->run({}, check);
        QCOMPARE(seen.exitStatus, decisions.first() ? 10 : 0);
        QCOMPARE(QJsonDocument::fromJson(seen.output).object()["rollout"].toObject()["offered"].toBool(), bool(decisions.first()));
    }

    // Several files at once install exactly what one at a time does: the
    // same tree, the same saved manifest, the same requests, and one close
    // request after every file.
    void parallelInstallsTheSame()
    {
        Tree installed{{"gone.txt", "old"}}, release;
        for (int i = 0; i < 40; ++i) {
            const QString name = QStringLiteral("d%1/f%2.bin").arg(i % 3).arg(i);
            release[name] = QByteArray(1000 * i + 1, char('a' + i % 26));
            if (i % 4 == 0) // installed already, in another version: changed
                installed[name] = "old";
        }
        QMap<int, QByteArray> saved;
        QMap<int, QStringList> asked;
        // The order in which a document writes an element's attributes
        // follows a hash seeded anew in each process.
        qputenv("QT_HASH_SEED", "0");
        for (int connections : {1, 4}) {
            Scenario s;
            QVERIFY(s.ok() && s.install(installed) && s.publish(Release{release}));
            Outcome seen = s.run({}, Run{{"--connections", QString::number(connections)}});
            QCOMPARE(seen.requests.last(), "CLOSE 2.0");
            seen.requests.sort();
            Outcome expected{release, "2.0", 0, QStringList(release.keys()) << "CLOSE 2.0"};
            expected.requests.sort();
            COMPARE_OUTCOME(seen, expected);
            saved[connections] = readFile(s.path("local.xml"));
        }
        qunsetenv("QT_HASH_SEED");
        QCOMPARE(saved[4], saved[1]);
    }

    // Killed at random moments of a slow run, the installation holds only
    // whole old or whole new files and no leftovers; a last run completes it.
    void killedRunsConverge()
    {
        Tree before, after;
        for (int i = 0; i < 6; ++i) {
            before[QStringLiteral("f%1.bin").arg(i)] = QByteArray(150000 + i, char('o' + i));
            after[QStringLiteral("f%1.bin").arg(i)] = QByteArray(200000 + i, char('A' + i));
        }
        QVERIFY(m_s->install(before) && m_s->publish(Release{after}));
        const auto server = m_s->startServer({{"*", Fault::Drip}}); // a run takes a little over a second
        for (int kill = 0; kill < 10; ++kill) {
            QProcess updater;
            updater.start(path("updater"), m_s->arguments(Run(), server->url()));
            QVERIFY(updater.waitForStarted());
            QTest::qWait(50 + QRandomGenerator::global()->bounded(1200));
            updater.kill();
            QVERIFY(updater.waitForFinished());
            // A kill between naming a complete replacement and renaming it
            // over the old file leaves it under a hidden name, which the
            // next run removes; nothing else may be there.
            Tree present = readTree(path("app"));
            for (const QString &name : present.keys())
                if (QRegularExpression("^\\.~staged-[0-9a-f]{16}\\.part$").match(name).hasMatch())
                    present.remove(name);
            QCOMPARE(present.keys(), after.keys());
            for (auto it = present.cbegin(); it != present.cend(); ++it)
                QVERIFY2(it.value() == before[it.key()] || it.value() == after[it.key()], qPrintable(it.key()));
            QVERIFY(!readManifestDocument(path("local.xml")).isNull());
        }
        const Outcome last = m_s->run();
        QCOMPARE(last.exitStatus, 0);
        QCOMPARE(last.installed, after);
        QVERIFY(readFile(path("local.xml")).contains("version=\"2.0\""));
    }

    // A folder inside the installation is swapped for a link to a folder
    // outside at a random moment of a slow run, 10 times: what the run
    // would write or delete there is refused and counted, and nothing
    // outside ever changes.
    void swappedFolderNeverLeadsOut()
    {
        const Tree outside{{"inner.txt", "outside inner"}, {"old.txt", "outside old"}};
        const Tree installed{{"sub/inner.txt", "old inner"}, {"sub/old.txt", "dropped by the release"}, {"big.bin", "old"}};
        QVERIFY(m_s->publish(Release{{{"sub/inner.txt", QByteArray(300000, 'i')}, {"big.bin", QByteArray(1500000, 'B')}}}));
        const auto server = m_s->startServer({{"*", Fault::Drip}});
        for (int attempt = 0; attempt < 10; ++attempt) {
            QVERIFY(m_s->install(installed) && QDir(path("outside")).removeRecursively() && writeTree(path("outside"), outside));
            QVERIFY(QDir(path("aside")).removeRecursively());
            QProcess updater;
            updater.start(path("updater"), m_s->arguments(Run{{"--log_size", "10000000"}}, server->url()));
            QVERIFY(updater.waitForStarted());
            // Well before the end: the run takes about 2 s.
            QTest::qWait(50 + QRandomGenerator::global()->bounded(1100));
            QVERIFY(QDir().rename(path("app/sub"), path("aside")) && QFile::link(path("outside"), path("app/sub")));
            QVERIFY2(updater.waitForFinished(60000), "the run did not end");
            QCOMPARE(readTree(path("outside")), outside);
            QCOMPARE(updater.exitCode(), 1);
            QVERIFY2(readFile(path("log.txt")).count(path("app/sub").toUtf8() + " is a link") > attempt, "no refusal logged");
            QVERIFY(QFile::remove(path("app/sub")));
        }
    }

    // Two runs at once on one installation, of releases 3.0 and 2.0: the
    // second ends at once with status 1 and changes nothing; the saved
    // manifest names the release whose files are on disk.
    void oneRunAtATime()
    {
        const Tree releases[] = {{{"a.bin", QByteArray(1200000, '3')}, {"v3.txt", "three"}},
                                 {{"a.bin", QByteArray(1200000, '2')}, {"v2.txt", "two"}}};
        Scenario other; // publishes the second release; both runs share this one's installation
        QVERIFY(m_s->publish(Release{releases[0], "3.0"}) && other.ok() && other.publish(Release{releases[1], "2.0"}));
        std::unique_ptr<TestServer> servers[] = {m_s->startServer({{"*", Fault::Drip}}), other.startServer({{"*", Fault::Drip}})};
        QProcess runs[2];
        for (int i = 0; i < 2; ++i)
            runs[i].start(path("updater"), m_s->arguments(Run{{"--allow_downgrade", "--distant_path", (i ? other : *m_s).path("distant.xml")}},
                                                          servers[i]->url()));
        for (QProcess &run : runs)
            QVERIFY2(run.waitForFinished(60000), "a run did not end");
        const int winner = runs[0].exitCode() == 0 ? 0 : 1;
        QCOMPARE(runs[winner].exitCode(), 0);
        QCOMPARE(runs[1 - winner].exitCode(), 1);
        const QByteArray errors = runs[1 - winner].readAllStandardError();
        QVERIFY2(errors.contains("another update is running"), errors.constData());
        QVERIFY(servers[1 - winner]->requests().empty());
        QCOMPARE(readTree(path("app")), releases[winner]);
        QVERIFY(readFile(path("local.xml")).contains(winner == 0 ? "version=\"3.0\"" : "version=\"2.0\""));
    }

    // A link where the local manifest or the log goes is replaced by a
    // regular file, never written through.
    void linksAtTheEdgesReplaced_data()
    {
        QTest::addColumn<QString>("link");
        QTest::addColumn<QString>("written"); // what the regular file then holds
        QTest::newRow("--local_path") << "local.xml" << "version=\"2.0\"";
        QTest::newRow("log.txt beside the program") << "log.txt" << "run finished";
    }
    void linksAtTheEdgesReplaced()
    {
        QFETCH(QString, link);
        QFETCH(QString, written);
        const QByteArray outside = readFile(path("local.xml"));
        QVERIFY(writeFile(path("outside/target"), outside));
        QVERIFY(QFile::remove(path(link)) || !QFile::exists(path(link)));
        QVERIFY(QFile::link(path("outside/target"), path(link)));
        const QString replaced = "Log: replaced the link at log file " + path("log.txt");
        COMPARE_OUTCOME(m_s->run({}, Run{{"--log_size", "10000000"}}),
                        (Outcome{release2, "2.0", 0, {"a.txt", "sub/b.bin", "CLOSE 2.0"}, {}}));
        QCOMPARE(readFile(path("outside/target")), outside);
        QVERIFY(!QFileInfo(path(link)).isSymLink());
        QVERIFY2(readFile(path(link)).contains(written.toUtf8()), readFile(path(link)).constData());
        QCOMPARE(m_s->errors().contains(replaced), link == "log.txt");
    }

    // A server that fails every file (HTTP 500): after 5 files in a row,
    // each tried three times, the rest is not asked for. Those count as
    // failed, nothing is deleted, and the run says why. With several
    // connections the files in flight then end with the attempt they are
    // on, and the rest of the queue is not asked for either.
    void unreachableServerGivesUpTheRest_data()
    {
        QTest::addColumn<int>("connections");
        QTest::addColumn<int>("files");
        QTest::newRow("one connection") << 1 << 7;
        QTest::newRow("4 connections") << 4 << 14;
    }
    void unreachableServerGivesUpTheRest()
    {
        QFETCH(int, connections);
        QFETCH(int, files);
        Tree release;
        for (int i = 0; i < files; ++i)
            release[QStringLiteral("f%1.bin").arg(i)] = payloadA;
        QVERIFY(m_s->install({{"old.txt", "old"}}) && m_s->publish(Release{release}));
        const QString version = "2.0__" + QString::number(files);
        const Outcome seen = m_s->run({{"*", Fault::Status, 500}}, Run{{"--log_size", "100000", "--connections", QString::number(connections)}, Run::InProcess, Run::Silent, 90000});
        QMap<QString, int> asked;
        for (const QString &r : seen.requests)
            ++asked[r];
        QCOMPARE(asked.take("CLOSE " + version), 1);
        // The fifth file given up ends it; the others then in flight had started before.
        QVERIFY2(asked.size() >= 5 && asked.size() <= 5 + connections - 1, qPrintable(QString::number(asked.size())));
        QVERIFY(asked.values().count(3) >= 5 && std::all_of(asked.cbegin(), asked.cend(), [](int n) { return n >= 1 && n <= 3; }));
        Outcome expected{{{"old.txt", "old"}}, version, 1, seen.requests,
                         {QString::number(files - asked.size()) + " file\\(s\\) not fetched", "run server unreachable: distant version 2.0",
                          "files fetched 0, failed " + QString::number(files) + ", deleted 0"}};
        if (connections == 1)
            expected.requests = QStringList{"f0.bin", "f0.bin", "f0.bin", "f1.bin", "f1.bin", "f1.bin", "f2.bin", "f2.bin", "f2.bin",
                                            "f3.bin", "f3.bin", "f3.bin", "f4.bin", "f4.bin", "f4.bin", "CLOSE " + version};
        COMPARE_OUTCOME(seen, expected);
    }

    // Unattended, a warning never turns into a guess (no default server, no
    // other folder): the run ends with 2, the reason on standard error. The
    // texts of all warnings: tst_updaterstartup.
    void startupFailureExitsTwoWithoutABox_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("message");
        QTest::newRow("no distant manifest") << QStringList{} << "Critical error AutoInstall feature not implemented.";
        QTest::newRow("distant manifest missing") << QStringList{"--distant_path", "absent.xml"} << "Critical error Unable to update.";
        QTest::newRow("invalid --url") << QStringList{"--distant_path", "distant.xml", "--url", "http://[::1"}
                                       << "Launch warning. Invalid update url. Switching to default value.";
        QTest::newRow("--connections 17") << QStringList{"--distant_path", "distant.xml", "--connections", "17"}
                                          << "Launch warning. Invalid connections. Switching to default value.";
        QTest::newRow("empty --channel") << QStringList{"--distant_path", "distant.xml", "--channel", ""}
                                         << "Launch warning. Invalid channel: the name is empty.";
        QTest::newRow("a repair with a key needs the signed release")
            << QStringList{"--repair", "--public_key", "distant.xml"}
            << "Launch warning. Invalid command line: --repair with a public key needs the signed release "
               "(--distant_path or --manifest_request).";
        QTest::newRow("both ways of naming the release") << QStringList{"--distant_path", "distant.xml", "--manifest_request", "r.xml"}
            << "Launch warning. Invalid command line: --distant_path and --manifest_request exclude each other.";
    }
    void startupFailureExitsTwoWithoutABox()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, message);
        Run bare{QStringList{"--silent"} + arguments};
        bare.mode = Run::Bare;
        const Outcome seen = m_s->run({}, bare);
        COMPARE_OUTCOME(seen, (Outcome{{}, "", 2, {}, {"^(?![\\s\\S]*ERROR[\\s\\S]*ERROR[\\s\\S]*ERROR)[\\s\\S]*ERROR[\\s\\S]*ERROR",
                                                        "\"Configure execution failed.\""}}));
        QVERIFY2(m_s->errors().contains("updater: " + message), qPrintable(m_s->errors()));
    }

    void silentIsAnOptionNotAValue_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<bool>("silent");
        QTest::newRow("after options") << QStringList{"--dir", "x", "--silent"} << true;
        QTest::newRow("value of --url") << QStringList{"--url", "--silent"} << false;
        QTest::newRow("absent") << QStringList{"--local_path", "m.xml"} << false;
        QTest::newRow("after a stray word") << QStringList{"stray", "--silent"} << true;
        QTest::newRow("value of --timeout") << QStringList{"--timeout", "--silent"} << false;
        QTest::newRow("value of --files_url") << QStringList{"--files_url", "--silent", "x"} << false;
        QTest::newRow("value of --connections") << QStringList{"--connections", "--silent"} << false;
    }
    void silentIsAnOptionNotAValue()
    {
        QFETCH(QStringList, arguments);
        QTEST(StartupCheck::silentRequested(QStringList{"updater"} + arguments), "silent");
    }
};

QTEST_MAIN(TestUnattendedRun)
#include "tst_unattendedrun.moc"
