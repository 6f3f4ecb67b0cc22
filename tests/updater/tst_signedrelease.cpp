// Signed releases through the real updater, unattended: only a manifest
// signed with one of the publisher's keys, not older than what is installed
// (nor of a version that cannot be ordered), not expired and of the channel
// asked for, is ever acted on, and each of its files must match its SHA-256.
// Keys and signatures come from the openssl command line, so the formats
// interoperate with the standard tools. Signature file shapes: tst_signing.
#include "scenario.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

namespace {

const Tree files{{"a.txt", "first file of the signed release\n"}, {"sub/b.bin", QByteArray(50000, 'b')}};

Release signedRelease(const QString &version, const QString &attributes = QString(), const QStringList &signers = {"publisher"})
{
    Release release{files, version, signers, true};
    release.rootAttributes = attributes;
    return release;
}

QString sha256(const QByteArray &content)
{
    return QString::fromLatin1(QCryptographicHash::hash(content, QCryptographicHash::Sha256).toHex());
}

} // namespace

class TestSignedRelease : public QObject
{
    Q_OBJECT

    QScopedPointer<Scenario> m_s;

    // Sets up the scenario's keys and what the row puts at update-key.pub beside the program.
    QStringList keyOptions(const QStringList &keys)
    {
        QStringList options;
        const QString shipped = m_s->path("update-key.pub");
        for (const QString &key : keys) {
            const QString kind = key.section(':', 1);
            if (!key.startsWith("shipped:"))
                options << "--public_key" << m_s->path(key);
            else if (kind == "folder")
                QDir().mkpath(shipped);
            else if (kind == "dangling link")
                QFile::link(m_s->path("gone.pub"), shipped);
            else if (kind == "FIFO")
                shell(m_s->path(), "mkfifo update-key.pub");
            else if (kind == "garbage")
                writeFile(shipped, "not a key\n");
            else if (kind == "both")
                writeFile(shipped, readFile(m_s->path("other.pub")) + readFile(m_s->path("publisher.pub")));
            else
                QFile::copy(m_s->path(kind), shipped);
        }
        return options;
    }

private slots:
    void init()
    {
        m_s.reset(new Scenario);
        QVERIFY(m_s->ok() && makeKeys(m_s->path(), {"publisher", "other"}));
    }

    // Every trust question is answered by refusing, unless the publisher's
    // keys and signature, the versions and the channel all check out. A
    // refused release is not acted on at all: nothing asked for, placed or
    // saved. A held back one (rollout) ends with 0 the same way.
    void signedRuns_data()
    {
        QTest::addColumn<Release>("release");
        QTest::addColumn<QString>("installedVersion"); // in local.xml; "<...": local.xml as written
        QTest::addColumn<QStringList>("keys");         // --public_key files; "shipped:KIND" at update-key.pub
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<Outcome>("expected");
        const QStringList pub{"publisher.pub"}, none;
        const auto done = [](const QString &version, const QStringList &log = {}) {
            return Outcome{files, version, 0, {"a.txt", "sub/b.bin", "CLOSE " + version}, log};
        };
        const auto refused = [](int status, const QString &why) { return Outcome{{}, "", status, {}, {QRegularExpression::escape(why)}}; };
        const auto row = [](const char *name, const Release &release, const QString &installed, const QStringList &keys,
                            const QStringList &options, const Outcome &expected) {
            QTest::newRow(name) << release << installed << keys << options << expected;
        };
        row("signed by the publisher, not expired yet", signedRelease("2.0", " expires='2099-01-31T00:00:00Z'"), "1.0", pub, none,
            done("2.0", {"release signature valid", "!no public key"}));
        row("key shipped beside the program", signedRelease("2.0"), "1.0", {"shipped:publisher.pub"}, none, done("2.0"));
        Release tampered = signedRelease("2.0");
        tampered.rootAttributes = "TAMPER"; // a marker, not an attribute: signedRuns changes the version once signed
        row("one byte changed after signing", tampered, "1.0", pub, none, refused(1, "signature invalid"));
        row("signed with another key", signedRelease("2.0", "", {"other"}), "1.0", pub, none, refused(1, "signature invalid"));
        row("signature missing", signedRelease("2.0", "", {}), "1.0", pub, none, refused(1, "signature missing"));
        row("expired", signedRelease("2.0", " expires='2020-01-31T00:00:00Z'"), "1.0", pub, none, refused(1, "expired"));
        // The run goes on without the file, which is never placed.
        Release badSha = signedRelease("2.0"), noSha = badSha;
        badSha.manifest = manifestOfTree(files, "2.0", true).replace(sha256(files["sub/b.bin"]).toLatin1(), QByteArray(64, 'e'));
        noSha.manifest = manifestOfTree(files, "2.0", true).replace((" sha256='" + sha256(files["sub/b.bin"]) + "'").toLatin1(), "");
        const Tree onlyA{{"a.txt", files["a.txt"]}, {"sub/", ""}};
        row("a file whose SHA-256 does not match", badSha, "1.0", pub, none,
            Outcome{onlyA, "2.0__1", 1, {"a.txt", "sub/b.bin", "sub/b.bin", "sub/b.bin", "CLOSE 2.0__1"}, {"SHA-256"}});
        row("an entry without sha256", noSha, "1.0", pub, none,
            Outcome{onlyA, "2.0__1", 1, {"a.txt", "CLOSE 2.0__1"}, {"no SHA-256 in a signed release"}});
        // Versions: older, or any that cannot be ordered, only with a key.
        row("older signed manifest replayed", signedRelease("2.9.9"), "3.0__2", pub, none, refused(1, "older than the installed version"));
        row("older, --allow_downgrade", signedRelease("2.9.9"), "3.0__2", pub, {"--allow_downgrade"}, done("2.9.9"));
        row("older, unsigned: installed", signedRelease("2.9.9", "", {}), "3.0__2", none, none, done("2.9.9", {"no public key"}));
        row("unreadable, unsigned: installed", signedRelease("2.0-beta", "", {}), "1.0", none, none, done("2.0-beta"));
        for (const char *version : {"2.0-beta", "v2", "", "-1", "2.0__x"})
            row(qPrintable(QStringLiteral("release version '%1'").arg(version)), signedRelease(version), "3.0__2", pub, none,
                refused(1, QStringLiteral("release version '%1' unreadable").arg(version)));
        row("installed 3.0-rc1", signedRelease("2.0"), "3.0-rc1", pub, none, refused(1, "installed version '3.0-rc1' unreadable"));
        const QString truncated("<UPDATE_STRUCTURE version='3.0'><file name='a.txt' crc='");
        row("local manifest truncated, signed 1.0 replayed", signedRelease("1.0"), truncated, pub, none,
            refused(1, "local manifest unreadable"));
        row("local manifest truncated, --allow_downgrade", signedRelease("1.0"), truncated, pub, {"--allow_downgrade"}, done("1.0"));
        // Anything at the shipped key's path that is no key refuses the run.
        for (const char *kind : {"folder", "dangling link", "FIFO", "garbage"})
            row(qPrintable(QStringLiteral("shipped key: %1").arg(kind)), signedRelease("2.0", "", {}), "1.0",
                {QStringLiteral("shipped:") + kind}, none, refused(1, "public key unusable"));
        // Key overlap: any line of the signature by any key.
        row("two keys given, signed by the second", signedRelease("2.0"), "1.0", {"other.pub", "publisher.pub"}, none, done("2.0"));
        row("shipped file holds two keys", signedRelease("2.0"), "1.0", {"shipped:both"}, none, done("2.0"));
        row("signed by both, the client has one", signedRelease("2.0", "", {"other", "publisher"}), "1.0", pub, none, done("2.0"));
        row("signed by both, the client has the other", signedRelease("2.0", "", {"other", "publisher"}), "1.0", {"other.pub"}, none,
            done("2.0"));
        row("one of two keys unusable", signedRelease("2.0"), "1.0", {"publisher.pub", "publisher.key"}, none,
            refused(1, "public key unusable"));
        // Channels: the one asked for, named inside the signed manifest.
        const QStringList beta{"--channel", "beta"};
        row("channel asked for and named", signedRelease("2.0", " channel='beta'"), "1.0", pub, beta, done("2.0"));
        row("another channel's release", signedRelease("2.0", " channel='stable'"), "1.0", pub, beta,
            refused(1, "the release is on channel 'stable', 'beta' asked for"));
        row("a release naming no channel", signedRelease("2.0"), "1.0", pub, beta, refused(1, "the release names no channel"));
        // Staged rollout: signed with the release, so nobody else can halt
        // it or widen it. Halted, a run does nothing and ends with 0.
        row("rollout halted", signedRelease("2.0", " rollout='0'"), "1.0", pub, none, refused(0, "version 2.0 not yet offered"));
        row("rollout halted, --ignore_rollout", signedRelease("2.0", " rollout='0'"), "1.0", pub, {"--ignore_rollout"}, done("2.0"));
        row("rollout at 100", signedRelease("2.0", " rollout='100'"), "1.0", pub, none, done("2.0"));
        row("rollout unreadable", signedRelease("2.0", " rollout='half'"), "1.0", pub, none, refused(1, "rollout 'half' unreadable"));
        // Repair: from the signed release of the installed version only.
        row("repair from the signed release", signedRelease("2.0"), "2.0", pub, {"--repair"},
            Outcome{files, "2.0", 0, {"a.txt", "sub/b.bin", "CLOSE 2.0"}, {"repair: 0 damaged file\\(s\\) found"}});
        row("repair from another version", signedRelease("2.1"), "2.0", pub, {"--repair"},
            refused(1, "a repair needs the release of the installed version 2.0, not 2.1"));
        row("repair from an unsigned release", signedRelease("2.0", "", {}), "2.0", pub, {"--repair"}, refused(1, "signature missing"));
    }
    void signedRuns()
    {
        QFETCH(Release, release);
        QFETCH(QString, installedVersion);
        QFETCH(QStringList, keys);
        QFETCH(QStringList, options);
        QFETCH(Outcome, expected);
        const bool tamper = release.rootAttributes == "TAMPER";
        release.rootAttributes.remove("TAMPER");
        QVERIFY(m_s->publish(release));
        if (tamper)
            QVERIFY(writeFile(m_s->path("distant.xml"), readFile(m_s->path("distant.xml")).replace("version='2.0'", "version='2.1'")));
        QVERIFY(installedVersion.startsWith('<') ? writeFile(m_s->path("local.xml"), installedVersion.toUtf8())
                                                 : m_s->install({}, installedVersion));
        const Outcome seen = m_s->run({}, Run{options + keyOptions(keys)});
        const QString mismatch = seen.mismatch(expected);
        QVERIFY2(mismatch.isEmpty(), qPrintable(mismatch));
    }

    // Notes are shown only as the publisher signed them: their SHA-256 is
    // on the signed root. --check gives them, or why not, and changes nothing.
    void notesOnlyAsSigned_data()
    {
        QTest::addColumn<QString>("attributes");
        QTest::addColumn<QByteArray>("served");
        QTest::addColumn<QString>("error"); // empty: the notes are given
        QTest::addColumn<bool>("fetched");
        const QByteArray notes("Version 2.0: faster start.\n");
        const QString digest = " notes_url='.notes/2.0.txt' notes_sha256='" + sha256(notes) + "'";
        QTest::newRow("as signed") << digest << notes << "" << true;
        QTest::newRow("changed on the server") << digest << QByteArray("Download the fix from elsewhere.\n")
                                               << "do not match their notes_sha256" << true;
        QTest::newRow("without their digest") << " notes_url='.notes/2.0.txt'" << notes << "no usable notes_sha256" << false;
        QTest::newRow("leading out of the release") << " notes_url='../2.0.txt'" << notes << "does not name a file below the release" << false;
        QTest::newRow("over 64 KiB") << " notes_url='.notes/2.0.txt' notes_sha256='" + sha256(QByteArray(65537, 'n')) + "'"
                                     << QByteArray(65537, 'n') << "larger than 65536 bytes" << true;
    }
    void notesOnlyAsSigned()
    {
        QFETCH(QString, attributes);
        QFETCH(QByteArray, served);
        QFETCH(QString, error);
        QFETCH(bool, fetched);
        QVERIFY(m_s->publish(signedRelease("2.0", attributes)));
        m_s->extraFiles = {{".notes/2.0.txt", served}, {"../2.0.txt", served}};
        Run check{{"--public_key", m_s->path("publisher.pub")}};
        check.mode = Run::Check;
        const Outcome seen = m_s->run({}, check);
        const QString mismatch = seen.mismatch(Outcome{{}, "", 10, fetched ? QStringList{".notes/2.0.txt"} : QStringList()});
        QVERIFY2(mismatch.isEmpty(), qPrintable(mismatch));
        const QJsonObject notes = QJsonDocument::fromJson(seen.output).object().value("notes").toObject();
        QCOMPARE(notes.value("text").toString(), error.isEmpty() ? QString::fromUtf8(served) : QString());
        QVERIFY2(notes.value("error").toString().contains(error), seen.output.constData());
    }

    // One command checks and applies: the manifest and its signature come
    // from the server by name; without a key a warning says so.
    void manifestFromTheServer_data()
    {
        QTest::addColumn<QStringList>("keys");
        QTest::addColumn<Outcome>("expected");
        QTest::newRow("signed") << QStringList{"publisher.pub"}
                                << Outcome{files, "2.0", 0, {"releases/2.0.xml", "releases/2.0.xml.sig", "a.txt", "sub/b.bin", "CLOSE 2.0"},
                                           {"release signature valid", "!no public key"}};
        QTest::newRow("without a key") << QStringList()
                                       << Outcome{files, "2.0", 0, {"releases/2.0.xml", "a.txt", "sub/b.bin", "CLOSE 2.0"},
                                                  {"no public key", "!release signature valid"}};
    }
    void manifestFromTheServer()
    {
        QFETCH(QStringList, keys);
        QVERIFY(m_s->publish(signedRelease("2.0")));
        m_s->extraFiles = {{"releases/2.0.xml", readFile(m_s->path("distant.xml"))},
                           {"releases/2.0.xml.sig", readFile(m_s->path("distant.xml.sig"))}};
        const Outcome seen = m_s->run({}, Run{QStringList{"--manifest_request", "releases/2.0.xml"} + keyOptions(keys)});
        QFETCH(Outcome, expected);
        const QString mismatch = seen.mismatch(expected);
        QVERIFY2(mismatch.isEmpty(), qPrintable(mismatch));
    }
};

QTEST_MAIN(TestSignedRelease)
#include "tst_signedrelease.moc"
