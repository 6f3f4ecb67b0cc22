// The real `updater --silent` brings an installed 1.0 to the published 2.0
// from nginx (deploy/nginx), and 50 of them at once from nginx and from
// updateserver. Manifests are made by manifesttool, as a publisher would.

#include "scenario.h"

#include <QRandomGenerator>
#include <QtTest>

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

    Tree m_installed, m_release;

    // A scenario with 1.0 installed (its manifest by manifesttool) and 2.0 published.
    bool prepare(Scenario &s)
    {
        Release installed{m_installed, "1.0"}, release{m_release};
        installed.tool = release.tool = true;
        return s.ok() && s.publish(installed) && QFile::remove(s.path("local.xml")) && QFile::rename(s.path("distant.xml"), s.path("local.xml"))
               && writeTree(s.path("app"), m_installed) && s.publish(release);
    }

private slots:
    // 1.0 installed, 2.0 published: changed, new and removed files, and
    // names with blanks, "+", "%" and letters outside ASCII.
    void initTestCase()
    {
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
    }

    // Through the update protocol, with each file fetched by GET from nginx
    // serving the release folder as static files (--files_url) as a CDN
    // would, and with an entry whose url leads out of the release, which
    // nginx refuses (403): that counts as an error, everything else is
    // installed and nothing is deleted. The updater's own refusals of names
    // are tst_updatemanager's.
    void updaterConvergesAgainstNginx_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<bool>("traversal");
        QTest::addColumn<QStringList>("accessLog"); // regexes over nginx's access log
        QTest::newRow("update protocol") << QStringList() << false << QStringList{"request=\"CLOSE\" version=\"2.0\" 200"};
        // Plain GETs, and no server to tell that the run is closed.
        QTest::newRow("static files") << QStringList{"--files_url", "%STATIC%"} << false
                                      << QStringList{"\"GET /brevlane/files/bin/app.bin", "!POST"};
        QTest::newRow("url out of the release") << QStringList() << true << QStringList{"request=\"CLOSE\" version=\"2.0__1\""};
    }
    void updaterConvergesAgainstNginx()
    {
        QFETCH(QStringList, options);
        QFETCH(bool, traversal);
        Scenario s;
        QVERIFY(prepare(s));
        const QByteArray secret = "outside the release\n";
        QVERIFY(writeFile(s.path("secret.txt"), secret));
        const QByteArray stolen = "<file name=\"stolen.txt\" url=\"../secret.txt\" size=\"" + QByteArray::number(secret.size())
                                  + "\" crc=\"" + QCryptographicHash::hash(secret, QCryptographicHash::Sha1).toHex() + "\"/>\n";
        if (traversal)
            QVERIFY(writeFile(s.path("distant.xml"), readFile(s.path("distant.xml")).replace("</UPDATE_STRUCTURE>", stolen + "</UPDATE_STRUCTURE>")));
        const Outcome seen = s.run({}, Run{options, Run::Nginx});
        Outcome expected{m_release, traversal ? "2.0__1" : "2.0", traversal};
        if (traversal)
            expected.installed.insert("old/removed.dat", m_installed.value("old/removed.dat"));
        const QString why = seen.mismatch(expected);
        QVERIFY2(why.isEmpty(), qPrintable(why));
        QCOMPARE(readFile(s.path("secret.txt")), secret);
        QFETCH(QStringList, accessLog);
        Outcome served;
        served.log = s.serverLog();
        const QString unserved = served.mismatch(Outcome{{}, "", 0, {}, accessLog});
        QVERIFY2(unserved.isEmpty(), qPrintable(unserved));
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
        Scenario s;
        QVERIFY(prepare(s));
        std::unique_ptr<NginxServer> byNginx(nginx ? new NginxServer(s.path("release"), 2) : nullptr);
        std::unique_ptr<UpdateServerProcess> byUpdateserver(nginx ? nullptr : new UpdateServerProcess(s.path("release")));
        QVERIFY2(nginx ? byNginx->isRunning() : byUpdateserver->isRunning(),
                 qPrintable(nginx ? byNginx->errorString() : byUpdateserver->errorString()));
        const QString url = nginx ? byNginx->url() : byUpdateserver->url();
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment(); // without a display
        for (const char *variable : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            environment.remove(QString::fromLatin1(variable));
        std::vector<std::unique_ptr<QProcess>> updaters;
        for (int i = 0; i < 50; ++i) {
            // Each client its own folder: the updater linked there (its
            // log.txt lands beside it), app/ and local.xml.
            const QString client = s.path(QString("client%1").arg(i));
            QVERIFY(writeTree(client + "/app", m_installed) && QFile::copy(s.path("local.xml"), client + "/local.xml")
                    && ::link(QFile::encodeName(s.path("updater")).constData(), QFile::encodeName(client + "/updater").constData()) == 0);
            updaters.push_back(std::make_unique<QProcess>());
            updaters.back()->setProcessEnvironment(environment);
            updaters.back()->setProcessChannelMode(QProcess::ForwardedChannels);
            updaters.back()->setProgram(client + "/updater");
            updaters.back()->setArguments({"--silent", "--local_path", client + "/local.xml", "--distant_path", s.path("distant.xml"),
                                           "--url", url, "--dir", client + "/app"});
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
                || readTree(s.path(QString("client%1/app").arg(i))) != m_release)
                failures << QString("client%1").arg(i);
        }
        qInfo("50 updaters against %s: %lld ms", QTest::currentDataTag(), clock.elapsed());
        QVERIFY2(failures.isEmpty(), qPrintable(failures.join(' ')));
        if (byUpdateserver)
            QVERIFY(byUpdateserver->stop());
    }
};

QTEST_MAIN(TestReleaseServing)
#include "tst_releaseserving.moc"
