// The real `updater --silent` brings an installed 1.0 to the published 2.0
// from nginx (deploy/nginx), and 50 of them at once from nginx and from
// updateserver. Manifests are made by manifesttool, as a publisher would.

#include "nginxserver.h"
#include "testfiles.h"
#include "updaterprocess.h"
#include "updateserverprocess.h"

#include <QDirIterator>
#include <QRandomGenerator>
#include <QtTest>

#include <memory>
#include <vector>

#include <unistd.h>

namespace {

QByteArray randomBytes(int size, quint32 seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator(seed).fillRange(reinterpret_cast<quint32 *>(bytes.data()), size / 4);
    return bytes;
}

} // namespace

class TestReleaseServing : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    Tree m_installed, m_release;

    QString path(const QString &name) const { return m_dir.filePath(name); }

    static bool makeManifest(const QString &folder, const QString &file, const QString &version)
    {
        return QProcess::execute(QStringLiteral(MANIFESTTOOL_PATH), {"create", folder, "-o", file, "--version", version}) == 0;
    }

    // A client folder: the updater (linked, so that its log.txt lands
    // here), the installed 1.0 in app/ and its manifest. Returns the
    // updater's arguments.
    QStringList prepareClient(const QString &folder, const QString &distant, const QString &url)
    {
        const bool ready = QDir().mkpath(folder) && writeTree(folder + "/app", m_installed)
                           && QFile::copy(path("local.xml"), folder + "/local.xml")
                           && (::link(UPDATER_EXECUTABLE, QFile::encodeName(folder + "/updater").constData()) == 0
                               || QFile::copy(QStringLiteral(UPDATER_EXECUTABLE), folder + "/updater"));
        if (!ready)
            return {};
        return {"--silent", "--local_path", folder + "/local.xml", "--distant_path", distant, "--url", url, "--dir", folder + "/app"};
    }

private slots:
    // 1.0 installed, 2.0 published: changed, new and removed files, and
    // names with blanks, "+", "%" and letters outside ASCII.
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_installed = {{"readme.txt", "same in both\n"},
                       {"bin/app.bin", randomBytes(200 * 1024, 1)},
                       {"old/removed.dat", "only in 1.0\n"},
                       {"a b/c+d.txt", "blank and plus\n"},
                       {"Ünïcødé/файл.txt", "version 1.0\n"}};
        m_release = m_installed;
        m_release.remove("old/removed.dat");
        m_release["bin/app.bin"] = randomBytes(300 * 1024 + 3, 2);
        m_release["Ünïcødé/файл.txt"] = "version 2.0\n";
        m_release["a b/new+file 1.txt"] = "new in 2.0\n";
        m_release["日本語/名前 1.dat"] = randomBytes(64 * 1024, 3);
        m_release["50%.txt"] = "percent\n";
        m_release["empty.dat"] = QByteArray();
        for (int i = 0; i < 20; ++i)
            m_release[QString("data/part %1+.bin").arg(i)] = randomBytes(16 * 1024 * (i + 1), quint32(10 + i));
        QVERIFY(writeTree(path("installed"), m_installed) && writeTree(path("release"), m_release));
        QVERIFY(makeManifest(path("installed"), path("local.xml"), "1.0"));
        QVERIFY(makeManifest(path("release"), path("distant.xml"), "2.0"));

        // An entry whose url reaches out of the release; the updater's own
        // refusals of names are tst_updatemanager's.
        const QByteArray secret = "outside the release\n";
        QVERIFY(writeFile(path("secret.txt"), secret));
        const QByteArray stolen = "<file name=\"stolen.txt\" url=\"../secret.txt\" size=\"" + QByteArray::number(secret.size())
                                  + "\" crc=\"" + QCryptographicHash::hash(secret, QCryptographicHash::Sha1).toHex() + "\"/>\n";
        QVERIFY(writeFile(path("traversal.xml"), readFile(path("distant.xml")).replace("</UPDATE_STRUCTURE>", stolen + "</UPDATE_STRUCTURE>")));
        QVERIFY(readFile(path("traversal.xml")).contains("stolen.txt"));
    }

    // Through the update protocol, with each file fetched by GET from nginx
    // serving the release folder as static files (--files_url) as a CDN
    // would, and with an entry that nginx refuses (403): that counts as an
    // error, everything else is installed and nothing is deleted.
    void updaterConvergesAgainstNginx_data()
    {
        QTest::addColumn<bool>("staticFiles");
        QTest::addColumn<bool>("traversal");
        QTest::newRow("update protocol") << false << false;
        QTest::newRow("static files") << true << false;
        QTest::newRow("url out of the release") << false << true;
    }
    void updaterConvergesAgainstNginx()
    {
        QFETCH(bool, staticFiles);
        QFETCH(bool, traversal);
        NginxServer nginx(path("release"));
        QVERIFY2(nginx.isRunning(), qPrintable(nginx.errorString()));
        const QString client = path(QTest::currentDataTag());
        QStringList arguments = prepareClient(client, path(traversal ? "traversal.xml" : "distant.xml"), nginx.url());
        QVERIFY(!arguments.isEmpty());
        if (staticFiles)
            arguments << "--files_url" << nginx.staticUrl();
        QString errors;
        QCOMPARE(runWithoutDisplay(client + "/updater", arguments, client, &errors), traversal ? 1 : 0);
        Tree expected = m_release;
        if (traversal)
            expected.insert("old/removed.dat", m_installed.value("old/removed.dat"));
        QCOMPARE(readTree(client + "/app"), expected);
        QCOMPARE(readFile(path("secret.txt")), QByteArray("outside the release\n"));
        if (staticFiles) {
            // Plain GETs, and no server to tell that the run is closed.
            QTest::qWait(200);
            QVERIFY(!nginx.accessLog().contains("POST"));
            QVERIFY(nginx.accessLog().contains("\"GET " + QUrl(nginx.staticUrl()).path().toUtf8() + "bin/app.bin"));
        } else {
            QVERIFY(readFile(client + "/local.xml").contains(traversal ? "version=\"2.0__1\"" : "version=\"2.0\""));
            QTRY_VERIFY(nginx.accessLog().contains(traversal ? "request=\"CLOSE\" version=\"2.0__" : "request=\"CLOSE\" version=\"2.0\" 200"));
        }
    }

    // 50 updaters at once, each into its own folder: every one must end
    // with status 0 and the release installed byte for byte.
    void fiftyUpdatersAtOnce_data()
    {
        QTest::addColumn<bool>("nginx");
        QTest::newRow("nginx") << true;
        QTest::newRow("updateserver") << false;
    }
    void fiftyUpdatersAtOnce()
    {
        QFETCH(bool, nginx);
        std::unique_ptr<NginxServer> byNginx;
        std::unique_ptr<UpdateServerProcess> byUpdateserver;
        if (nginx)
            byNginx = std::make_unique<NginxServer>(path("release"), 2);
        else
            byUpdateserver = std::make_unique<UpdateServerProcess>(path("release"));
        QVERIFY2(nginx ? byNginx->isRunning() : byUpdateserver->isRunning(),
                 qPrintable(nginx ? byNginx->errorString() : byUpdateserver->errorString()));
        const QString url = nginx ? byNginx->url() : byUpdateserver->url();
        const QString base = path(QStringLiteral("load-") + QTest::currentDataTag());
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment(); // without a display
        for (const char *variable : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            environment.remove(QString::fromLatin1(variable));
        std::vector<std::unique_ptr<QProcess>> updaters;
        for (int i = 0; i < 50; ++i) {
            const QString client = base + QString("/client%1").arg(i);
            const QStringList arguments = prepareClient(client, path("distant.xml"), url);
            QVERIFY(!arguments.isEmpty());
            updaters.push_back(std::make_unique<QProcess>());
            updaters.back()->setProcessEnvironment(environment);
            updaters.back()->setProcessChannelMode(QProcess::ForwardedChannels);
            updaters.back()->setProgram(client + "/updater");
            updaters.back()->setArguments(arguments);
        }
        QElapsedTimer clock;
        clock.start();
        for (const auto &updater : updaters)
            updater->start();
        QStringList failures;
        for (int i = 0; i < 50; ++i) {
            QProcess &updater = *updaters[size_t(i)];
            if (!updater.waitForFinished(120000))
                updater.kill();
            if (updater.exitStatus() != QProcess::NormalExit || updater.exitCode() != 0
                || readTree(base + QString("/client%1/app").arg(i)) != m_release)
                failures << QString("client%1").arg(i);
        }
        qInfo("50 updaters against %s: %lld ms", QTest::currentDataTag(), clock.elapsed());
        QVERIFY2(failures.isEmpty(), qPrintable(failures.join(' ')));
        if (byUpdateserver)
            QVERIFY(byUpdateserver->stop());
        QDir(base).removeRecursively();
    }
};

QTEST_MAIN(TestReleaseServing)
#include "tst_releaseserving.moc"
