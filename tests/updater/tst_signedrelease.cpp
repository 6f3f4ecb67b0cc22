// Signed releases through the real updater, unattended: only a manifest
// signed with the publisher's key, not older than what is installed and not
// expired, is ever acted on, and each of its files must match its SHA-256.
// Keys and signatures come from the openssl command line, so the formats
// interoperate with the standard tools. Signature file shapes: tst_signing.
#include "testfiles.h"
#include "testhttpserver.h"
#include "updaterprocess.h"

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
    // The release manifest, signed (with openssl) by the given key.
    void publish(const QString &manifest, const QString &key = QStringLiteral("publisher.key"))
    {
        QVERIFY(writeFile(path("distant.xml"), manifest.toUtf8()));
        shell(QStringLiteral("openssl pkeyutl -sign -rawin -inkey %1 -in distant.xml | base64 -w0 > distant.xml.sig").arg(key));
    }
    int runUpdater(const TestServer &server, const QStringList &extra)
    {
        return runWithoutDisplay(path("updater"), QStringList{"--silent", "--local_path", path("local.xml"), "--url",
                                                              server.url(), "--dir", path("app")} + extra, m_dir->path());
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

    void signedRuns_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("logged"); // why it was refused, or empty
        QTest::newRow("signed by the publisher, not expired yet") << "valid" << 0 << "";
        QTest::newRow("key shipped beside the program") << "shipped key" << 0 << "";
        QTest::newRow("one byte changed after signing") << "tampered" << 1 << "signature invalid";
        QTest::newRow("signed with another key") << "wrong key" << 1 << "signature invalid";
        QTest::newRow("signature missing") << "no sig" << 1 << "signature missing";
        QTest::newRow("older signed manifest replayed") << "older" << 1 << "older than the installed version";
        QTest::newRow("older, --allow_downgrade") << "downgrade" << 0 << "";
        QTest::newRow("expired") << "expired" << 1 << "expired";
        QTest::newRow("a file whose SHA-256 does not match") << "bad sha256" << 1 << "SHA-256";
        QTest::newRow("an entry without sha256") << "no sha256" << 1 << "no SHA-256 in a signed release";
    }
    void signedRuns()
    {
        QFETCH(QString, kind);
        QFETCH(int, status);
        QFETCH(QString, logged);
        const bool older = kind == "older" || kind == "downgrade";
        QString manifest = release(older ? "2.9.9" : "2.0", kind == "expired" ? " expires='2020-01-31T00:00:00Z'"
                                                            : kind == "valid" ? " expires='2099-01-31T00:00:00Z'" : "");
        if (kind == "bad sha256")
            manifest.replace(hex(fileB, QCryptographicHash::Sha256), QString(64, 'e'));
        if (kind == "no sha256")
            manifest.remove(" sha256='" + hex(fileB, QCryptographicHash::Sha256) + "'");
        publish(manifest, kind == "wrong key" ? "other.key" : "publisher.key");
        if (kind == "tampered")
            QVERIFY(writeFile(path("distant.xml"), manifest.replace("version='2.0'", "version='2.1'").toUtf8()));
        if (kind == "no sig")
            QVERIFY(QFile::remove(path("distant.xml.sig")));
        if (older)
            QVERIFY(writeFile(path("local.xml"), "<UPDATE_STRUCTURE version='3.0__2'/>"));
        QStringList extra{"--distant_path", path("distant.xml")};
        if (kind == "shipped key")
            QVERIFY(QFile::copy(path("publisher.pub"), path("update-key.pub")));
        else
            extra << "--public_key" << path("publisher.pub");
        if (kind == "downgrade")
            extra << "--allow_downgrade";

        TestServer server;
        server.serveFiles({{"a.txt", fileA}, {"sub/b.bin", fileB}});
        const QByteArray localBefore = readFile(path("local.xml"));
        QCOMPARE(runUpdater(server, extra), status);
        const QByteArray log = readFile(path("log.txt")) + readFile(path("log.txt.1")) + readFile(path("log.txt.2"));
        if (status == 0) {
            QCOMPARE(readFile(path("app/sub/b.bin")), fileB);
            QVERIFY(!log.contains("no public key"));
            return;
        }
        QVERIFY2(log.contains(logged.toUtf8()), log.constData());
        if (kind.endsWith("sha256")) { // the run goes on without that file, which is never placed
            QVERIFY(!QFile::exists(path("app/sub/b.bin")));
            QCOMPARE(readFile(path("app/a.txt")), fileA);
            return;
        }
        // Refused as a whole: nothing asked for, placed or saved.
        QVERIFY(server.requests().empty());
        QVERIFY(QDir(path("app")).isEmpty());
        QCOMPARE(readFile(path("local.xml")), localBefore);
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
