// Signed releases through the real updater, unattended: only a manifest
// signed with one of the publisher's keys, not older than what is installed
// (nor of a version that cannot be ordered), not expired and of the channel
// asked for, is ever acted on, and each of its files must match its SHA-256.
// Keys and signatures come from the openssl command line, so the formats
// interoperate with the standard tools. Signature file shapes: tst_signing.
#include "testfiles.h"
#include "testhttpserver.h"
#include "updaterprocess.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

namespace {

const QByteArray fileA("first file of the signed release\n");
const QByteArray fileB(50000, 'b');

QString hex(const QByteArray &content, QCryptographicHash::Algorithm algorithm)
{
    return QString::fromLatin1(QCryptographicHash::hash(content, algorithm).toHex());
}

QString release(const QString &version, const QString &extra = QString())
{
    const auto entry = [](const QString &name, const QByteArray &content, const QString &url) {
        return QStringLiteral("<file name='%1' size='%2' crc='%3' url='%4' sha256='%5'/>").arg(name).arg(content.size())
            .arg(hex(content, QCryptographicHash::Sha1), url, hex(content, QCryptographicHash::Sha256));
    };
    return QStringLiteral("<UPDATE_STRUCTURE version='%1'%2>").arg(version, extra) + entry("a.txt", fileA, "a.txt")
           + "<directory name='sub'>" + entry("b.bin", fileB, "sub/b.bin") + "</directory></UPDATE_STRUCTURE>\n";
}

} // namespace

class TestSignedRelease : public QObject
{
    Q_OBJECT

    QScopedPointer<QTemporaryDir> m_dir;

    QString path(const QString &name) const { return m_dir->filePath(name); }
    void shell(const QString &command)
    {
        QProcess sh;
        sh.setWorkingDirectory(m_dir->path());
        sh.start(QStringLiteral("sh"), {"-c", command});
        QVERIFY(sh.waitForFinished(30000) && sh.exitCode() == 0);
    }
    // The release manifest, signed (with openssl) by the given keys, one
    // line each; without any, it has no signature.
    void publish(const QString &manifest, const QStringList &signers = {"publisher"})
    {
        QVERIFY(writeFile(path("distant.xml"), manifest.toUtf8()));
        for (const QString &key : signers)
            shell(QStringLiteral("openssl pkeyutl -sign -rawin -inkey %1.key -in distant.xml | base64 -w0 >> distant.xml.sig"
                                 " && echo >> distant.xml.sig").arg(key));
    }
    int runUpdater(const TestServer &server, const QStringList &extra)
    {
        return runWithoutDisplay(path("updater"), QStringList{"--silent", "--local_path", path("local.xml"), "--url",
                                                              server.url(), "--dir", path("app")} + extra, m_dir->path());
    }
    // What the test puts at update-key.pub beside the program.
    void placeShippedKey(const QString &kind)
    {
        const QString shipped = path("update-key.pub");
        if (kind == "folder")
            QVERIFY(QDir().mkpath(shipped));
        else if (kind == "dangling link")
            QVERIFY(QFile::link(path("gone.pub"), shipped));
        else if (kind == "FIFO")
            shell("mkfifo update-key.pub");
        else if (kind == "garbage")
            QVERIFY(writeFile(shipped, "not a key\n"));
        else if (kind == "both")
            QVERIFY(writeFile(shipped, readFile(path("other.pub")) + readFile(path("publisher.pub"))));
        else
            QVERIFY(QFile::copy(path(kind), shipped));
    }

private slots:
    void init()
    {
        m_dir.reset(new QTemporaryDir);
        QVERIFY(QFile::copy(QStringLiteral(UPDATER_EXECUTABLE), path("updater")) && QDir(m_dir->path()).mkdir("app"));
        QVERIFY(writeFile(path("local.xml"), "<UPDATE_STRUCTURE version='1.0'/>"));
        shell("openssl genpkey -algorithm ed25519 -out publisher.key && openssl pkey -in publisher.key -pubout -out publisher.pub"
              " && openssl genpkey -algorithm ed25519 -out other.key && openssl pkey -in other.key -pubout -out other.pub");
    }

    // Every trust question is answered by refusing, unless the publisher's
    // keys and signature, the versions and the channel all check out.
    void signedRuns_data()
    {
        QTest::addColumn<QString>("version");     // the release's
        QTest::addColumn<QString>("attributes");  // more on its root
        QTest::addColumn<QStringList>("signers"); // one .sig line each
        QTest::addColumn<QStringList>("keys");    // --public_key files; "shipped:KIND" at update-key.pub
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<QByteArray>("installed"); // local.xml
        QTest::addColumn<QString>("twist");       // a change after signing
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("logged"); // why it was refused, or empty
        const QStringList publisher{"publisher"}, pub{"publisher.pub"}, none;
        const QByteArray v1("<UPDATE_STRUCTURE version='1.0'/>"), v3("<UPDATE_STRUCTURE version='3.0__2'/>");
        const auto row = [&](const char *name, const QString &version, const QString &attributes,
                             const QStringList &signers, const QStringList &keys, const QStringList &options,
                             const QByteArray &installed, const QString &twist, int status, const QString &logged) {
            QTest::newRow(name) << version << attributes << signers << keys << options << installed << twist << status << logged;
        };
        row("signed by the publisher, not expired yet", "2.0", " expires='2099-01-31T00:00:00Z'", publisher, pub, none, v1, "", 0, "");
        row("key shipped beside the program", "2.0", "", publisher, {"shipped:publisher.pub"}, none, v1, "", 0, "");
        row("one byte changed after signing", "2.0", "", publisher, pub, none, v1, "tampered", 1, "signature invalid");
        row("signed with another key", "2.0", "", {"other"}, pub, none, v1, "", 1, "signature invalid");
        row("signature missing", "2.0", "", none, pub, none, v1, "", 1, "signature missing");
        row("expired", "2.0", " expires='2020-01-31T00:00:00Z'", publisher, pub, none, v1, "", 1, "expired");
        row("a file whose SHA-256 does not match", "2.0", "", publisher, pub, none, v1, "bad sha256", 1, "SHA-256");
        row("an entry without sha256", "2.0", "", publisher, pub, none, v1, "no sha256", 1, "no SHA-256 in a signed release");
        // Versions: older, or any that cannot be ordered, only with a key.
        row("older signed manifest replayed", "2.9.9", "", publisher, pub, none, v3, "", 1, "older than the installed version");
        row("older, --allow_downgrade", "2.9.9", "", publisher, pub, {"--allow_downgrade"}, v3, "", 0, "");
        row("older, unsigned: installed", "2.9.9", "", none, none, none, v3, "", 0, "");
        row("unreadable, unsigned: installed", "2.0-beta", "", none, none, none, v1, "", 0, "");
        for (const char *version : {"2.0-beta", "v2", "", "-1", "2.0__x"})
            row(qPrintable(QStringLiteral("release version '%1'").arg(version)), version, "", publisher, pub, none, v3, "",
                1, QStringLiteral("release version '%1' unreadable").arg(version));
        row("installed 3.0-rc1", "2.0", "", publisher, pub, none, "<UPDATE_STRUCTURE version='3.0-rc1'/>", "", 1,
            "installed version '3.0-rc1' unreadable");
        const QByteArray truncated("<UPDATE_STRUCTURE version='3.0'><file name='a.txt' crc='");
        row("local manifest truncated, signed 1.0 replayed", "1.0", "", publisher, pub, none, truncated, "", 1,
            "local manifest unreadable");
        row("local manifest truncated, --allow_downgrade", "1.0", "", publisher, pub, {"--allow_downgrade"}, truncated, "",
            0, "");
        // Anything at the shipped key's path that is no key refuses the run.
        for (const char *kind : {"folder", "dangling link", "FIFO", "garbage"})
            row(qPrintable(QStringLiteral("shipped key: %1").arg(kind)), "2.0", "", none, {QStringLiteral("shipped:") + kind},
                none, v1, "", 1, "public key unusable");
        // Key overlap: any line of the signature by any key.
        row("two keys given, signed by the second", "2.0", "", publisher, {"other.pub", "publisher.pub"}, none, v1, "", 0, "");
        row("shipped file holds two keys", "2.0", "", publisher, {"shipped:both"}, none, v1, "", 0, "");
        row("signed by both, the client has one", "2.0", "", {"other", "publisher"}, pub, none, v1, "", 0, "");
        row("signed by both, the client has the other", "2.0", "", {"other", "publisher"}, {"other.pub"}, none, v1, "", 0, "");
        row("one of two keys unusable", "2.0", "", publisher, {"publisher.pub", "publisher.key"}, none, v1, "", 1,
            "public key unusable");
        // Channels: the one asked for, named inside the signed manifest.
        const QStringList beta{"--channel", "beta"};
        row("channel asked for and named", "2.0", " channel='beta'", publisher, pub, beta, v1, "", 0, "");
        row("another channel's release", "2.0", " channel='stable'", publisher, pub, beta, v1, "", 1,
            "the release is on channel 'stable', 'beta' asked for");
        row("a release naming no channel", "2.0", "", publisher, pub, beta, v1, "", 1, "the release names no channel");
        // Staged rollout: signed with the release, so nobody else can halt
        // it or widen it. Halted, a run does nothing and ends with 0.
        row("rollout halted", "2.0", " rollout='0'", publisher, pub, none, v1, "", 0, "version 2.0 not yet offered");
        row("rollout halted, --ignore_rollout", "2.0", " rollout='0'", publisher, pub, {"--ignore_rollout"}, v1, "", 0, "");
        row("rollout at 100", "2.0", " rollout='100'", publisher, pub, none, v1, "", 0, "");
        row("rollout unreadable", "2.0", " rollout='half'", publisher, pub, none, v1, "", 1, "rollout 'half' unreadable");
        // Repair: from the signed release of the installed version only.
        const QByteArray v2("<UPDATE_STRUCTURE version='2.0'/>");
        row("repair from the signed release", "2.0", "", publisher, pub, {"--repair"}, v2, "", 0, "");
        row("repair from another version", "2.1", "", publisher, pub, {"--repair"}, v2, "", 1,
            "a repair needs the release of the installed version 2.0, not 2.1");
        row("repair from an unsigned release", "2.0", "", none, pub, {"--repair"}, v2, "", 1, "signature missing");
    }
    void signedRuns()
    {
        QFETCH(QString, version);
        QFETCH(QString, attributes);
        QFETCH(QStringList, signers);
        QFETCH(QStringList, keys);
        QFETCH(QStringList, options);
        QFETCH(QString, twist);
        QFETCH(int, status);
        QFETCH(QString, logged);
        QFETCH(QByteArray, installed);
        QVERIFY(writeFile(path("local.xml"), installed));
        QString manifest = release(version, attributes);
        if (twist == "bad sha256")
            manifest.replace(hex(fileB, QCryptographicHash::Sha256), QString(64, 'e'));
        if (twist == "no sha256")
            manifest.remove(" sha256='" + hex(fileB, QCryptographicHash::Sha256) + "'");
        publish(manifest, signers);
        if (twist == "tampered")
            QVERIFY(writeFile(path("distant.xml"), manifest.replace("version='2.0'", "version='2.1'").toUtf8()));
        QStringList extra = QStringList{"--distant_path", path("distant.xml")} + options;
        for (const QString &key : keys) {
            if (key.startsWith("shipped:"))
                placeShippedKey(key.mid(8));
            else
                extra << "--public_key" << path(key);
        }

        TestServer server;
        server.serveFiles({{"a.txt", fileA}, {"sub/b.bin", fileB}});
        const QByteArray localBefore = readFile(path("local.xml"));
        QCOMPARE(runUpdater(server, extra), status);
        const QByteArray log = readFile(path("log.txt")) + readFile(path("log.txt.1")) + readFile(path("log.txt.2"));
        if (status == 0 && !logged.isEmpty()) { // held back: nothing asked for, placed or saved
            QVERIFY2(log.contains(logged.toUtf8()), log.constData());
            QVERIFY(server.requests().empty() && QDir(path("app")).isEmpty());
            QCOMPARE(readFile(path("local.xml")), localBefore);
            return;
        }
        if (status == 0) {
            QCOMPARE(readFile(path("app/sub/b.bin")), fileB);
            QCOMPARE(log.contains("no public key"), keys.isEmpty());
            return;
        }
        QVERIFY2(log.contains(logged.toUtf8()), log.constData());
        if (twist.endsWith("sha256")) { // the run goes on without that file, which is never placed
            QVERIFY(!QFile::exists(path("app/sub/b.bin")));
            QCOMPARE(readFile(path("app/a.txt")), fileA);
            return;
        }
        // Refused as a whole: nothing asked for, placed or saved.
        QVERIFY(server.requests().empty());
        QVERIFY(QDir(path("app")).isEmpty());
        QCOMPARE(readFile(path("local.xml")), localBefore);
    }

    // Notes are shown only as the publisher signed them: their SHA-256 is
    // on the signed root. --check gives them, or why not.
    void notesOnlyAsSigned_data()
    {
        QTest::addColumn<QString>("attributes");
        QTest::addColumn<QByteArray>("served");
        QTest::addColumn<QString>("error"); // empty: the notes are given
        const QByteArray notes("Version 2.0: faster start.\n");
        const QString digest = " notes_url='.notes/2.0.txt' notes_sha256='" + hex(notes, QCryptographicHash::Sha256) + "'";
        QTest::newRow("as signed") << digest << notes << "";
        QTest::newRow("changed on the server") << digest << QByteArray("Download the fix from elsewhere.\n") << "do not match their notes_sha256";
        QTest::newRow("without their digest") << " notes_url='.notes/2.0.txt'" << notes << "no usable notes_sha256";
        QTest::newRow("leading out of the release") << " notes_url='../2.0.txt'" << notes << "does not name a file below the release";
        QTest::newRow("over 64 KiB") << " notes_url='.notes/2.0.txt' notes_sha256='" + hex(QByteArray(65537, 'n'), QCryptographicHash::Sha256) + "'"
                                     << QByteArray(65537, 'n') << "larger than 65536 bytes";
    }
    void notesOnlyAsSigned()
    {
        QFETCH(QString, attributes);
        QFETCH(QByteArray, served);
        QFETCH(QString, error);
        publish(release("2.0", attributes));
        TestServer server;
        server.serveFiles({{".notes/2.0.txt", served}, {"../2.0.txt", served}});
        QByteArray output;
        QCOMPARE(runWithoutDisplay(path("updater"), {"--check", "--local_path", path("local.xml"), "--url", server.url(), "--dir",
                                                     path("app"), "--distant_path", path("distant.xml"), "--public_key",
                                                     path("publisher.pub")},
                                   m_dir->path(), nullptr, 60000, &output),
                 10);
        const QJsonObject notes = QJsonDocument::fromJson(output).object().value("notes").toObject();
        QCOMPARE(notes.value("text").toString(), error.isEmpty() ? QString::fromUtf8(served) : QString());
        QVERIFY2(notes.value("error").toString().contains(error), output.constData());
        QVERIFY(QDir(path("app")).isEmpty());
    }

    // One command checks and applies: the manifest and its signature come
    // from the server by name; without a key a warning says so.
    void manifestFromTheServer_data()
    {
        QTest::addColumn<bool>("withKey");
        QTest::newRow("signed") << true;
        QTest::newRow("without a key") << false;
    }
    void manifestFromTheServer()
    {
        QFETCH(bool, withKey);
        publish(release("2.0"));
        TestServer server;
        server.serveFiles({{"a.txt", fileA}, {"sub/b.bin", fileB}, {"releases/2.0.xml", readFile(path("distant.xml"))},
                           {"releases/2.0.xml.sig", readFile(path("distant.xml.sig"))}});
        const QStringList key = withKey ? QStringList{"--public_key", path("publisher.pub")} : QStringList();
        QCOMPARE(runUpdater(server, QStringList{"--manifest_request", "releases/2.0.xml"} + key), 0);
        QCOMPARE(readFile(path("app/sub/b.bin")), fileB);
        QList<QByteArray> asked;
        for (const auto &r : server.requests())
            asked << r.request;
        QCOMPARE(asked.mid(0, withKey ? 2 : 1), QList<QByteArray>({"releases/2.0.xml", "releases/2.0.xml.sig"}).mid(0, withKey ? 2 : 1));
        const QByteArray log = readFile(path("log.txt")) + readFile(path("log.txt.1")) + readFile(path("log.txt.2"));
        QCOMPARE(log.contains("no public key"), !withKey);
        QCOMPARE(log.contains("release signature valid"), withKey);
    }
};

QTEST_MAIN(TestSignedRelease)
#include "tst_signedrelease.moc"
