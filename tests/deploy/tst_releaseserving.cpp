// The real `updater --silent` brings an installed 1.0 to the published 2.0
// from nginx (deploy/nginx), and 50 of them at once from nginx and from
// updateserver. Manifests are made by manifesttool, as a publisher would.

#include "nginxserver.h"
#include "testfiles.h"
#include "updateserverprocess.h"

#include <QDirIterator>
#include <QRandomGenerator>
#include <QtTest>

#include <memory>
#include <vector>

#include <unistd.h>

namespace {

using Tree = QMap<QString, QByteArray>; // relative path -> content

QByteArray randomBytes(int size, quint32 seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator(seed).fillRange(reinterpret_cast<quint32 *>(bytes.data()), size / 4);
    return bytes;
}

// Every file below the folder, by its path relative to it.
Tree readTree(const QString &folder)
{
    Tree tree;
    QDirIterator files(folder, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (files.hasNext()) {
        const QString path = files.next();
        tree.insert(QDir(folder).relativeFilePath(path), readFile(path));
    }
    return tree;
}

bool writeTree(const QString &folder, const Tree &tree)
{
    for (auto file = tree.begin(); file != tree.end(); ++file) {
        if (!writeFile(folder + '/' + file.key(), file.value()))
            return false;
    }
    return true;
}

// What differs between two trees, or an empty text.
QString difference(const Tree &actual, const Tree &expected)
{
    QStringList problems;
    for (auto file = expected.begin(); file != expected.end(); ++file) {
        if (!actual.contains(file.key()))
            problems << "missing " + file.key();
        else if (actual.value(file.key()) != file.value())
            problems << "differs " + file.key();
    }
    for (const QString &path : actual.keys()) {
        if (!expected.contains(path))
            problems << "extra " + path;
    }
    return problems.join(", ");
}

} // namespace

class TestReleaseServing : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    Tree m_installed, m_release;

    QString path(const QString &name) const { return m_dir.filePath(name); }

    // manifesttool create FOLDER -o FILE --version V
    static bool makeManifest(const QString &folder, const QString &file, const QString &version)
    {
        QProcess tool;
        tool.start(QStringLiteral(MANIFESTTOOL_PATH), {"create", folder, "-o", file, "--version", version});
        return tool.waitForFinished(60000) && tool.exitStatus() == QProcess::NormalExit && tool.exitCode() == 0;
    }

    // A client folder: the updater (linked, so that its log.txt lands
    // here), the installed 1.0 in app/ and its manifest.
    bool prepareClient(const QString &folder, const QString &distant)
    {
        if (!QDir().mkpath(folder) || !writeTree(folder + "/app", m_installed)
            || !QFile::copy(path("local.xml"), folder + "/local.xml") || !QFile::copy(distant, folder + "/distant.xml"))
            return false;
        const QByteArray program = QFile::encodeName(folder + "/updater");
        return ::link(UPDATER_EXECUTABLE, program.constData()) == 0
            || QFile::copy(QStringLiteral(UPDATER_EXECUTABLE), folder + "/updater");
    }

    // Starts the client's updater without a display; its output goes to files.
    static std::unique_ptr<QProcess> startUpdater(const QString &folder, const QString &url,
                                                  const QStringList &extra = QStringList())
    {
        auto updater = std::make_unique<QProcess>();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char *variable : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            env.remove(QString::fromLatin1(variable));
        updater->setProcessEnvironment(env);
        updater->setWorkingDirectory(folder);
        updater->setStandardOutputFile(folder + "/updater.out");
        updater->setStandardErrorFile(folder + "/updater.err");
        updater->start(folder + "/updater", QStringList{"--silent", "--local_path", folder + "/local.xml", "--distant_path",
                                                        folder + "/distant.xml", "--url", url, "--dir", folder + "/app"}
                                                + extra);
        return updater;
    }

    // Waits for the updater; its exit status, -1 when it did not end in time.
    static int finish(QProcess &updater, int timeout)
    {
        if (!updater.waitForFinished(timeout)) {
            updater.kill();
            updater.waitForFinished();
            return -1;
        }
        return updater.exitStatus() == QProcess::NormalExit ? updater.exitCode() : -2;
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
        QVERIFY(writeTree(path("installed"), m_installed));
        QVERIFY(writeTree(path("release"), m_release));
        QVERIFY(writeFile(path("secret.txt"), "outside the release\n"));
        QVERIFY(makeManifest(path("installed"), path("local.xml"), "1.0"));
        QVERIFY(makeManifest(path("release"), path("distant.xml"), "2.0"));
    }

    // Through the update protocol, and with each file fetched by GET from
    // nginx serving the release folder as static files (--files_url), as a
    // CDN or a bucket would.
    void updaterConvergesAgainstNginx_data()
    {
        QTest::addColumn<bool>("staticFiles");
        QTest::newRow("update protocol") << false;
        QTest::newRow("static files") << true;
    }
    void updaterConvergesAgainstNginx()
    {
        QFETCH(bool, staticFiles);
        NginxServer nginx(path("release"));
        QVERIFY2(nginx.isRunning(), qPrintable(nginx.errorString()));
        const QString client = path(staticFiles ? "static-client" : "nginx-client");
        QVERIFY(prepareClient(client, path("distant.xml")));
        const auto updater = startUpdater(client, nginx.url(),
                                          staticFiles ? QStringList{"--files_url", nginx.staticUrl()} : QStringList());
        QCOMPARE(finish(*updater, 60000), 0);
        const QString problems = difference(readTree(client + "/app"), m_release);
        QVERIFY2(problems.isEmpty(), qPrintable(problems));
        QVERIFY(readFile(client + "/local.xml").contains("version=\"2.0\""));
        if (staticFiles) {
            // Plain GETs, and no server to tell that the run is closed.
            QTest::qWait(200);
            QVERIFY(!nginx.accessLog().contains("POST"));
            QVERIFY(nginx.accessLog().contains("\"GET " + QUrl(nginx.staticUrl()).path().toUtf8() + "bin/app.bin"));
        } else {
            QTRY_VERIFY(nginx.accessLog().contains("request=\"CLOSE\" version=\"2.0\" 200"));
        }
    }

    // A distant manifest whose entries reach out of the release (by "url")
    // or out of the installed folder (by name): the first is refused by
    // nginx with 403 (if the updater asks at all), the others by the
    // updater; each counts as an error, everything else is installed and
    // nothing is deleted (a run with errors never does).
    void traversalEntriesAreRefused()
    {
        NginxServer nginx(path("release"));
        QVERIFY2(nginx.isRunning(), qPrintable(nginx.errorString()));
        QByteArray manifest = readFile(path("distant.xml"));
        const QByteArray secret = readFile(path("secret.txt"));
        const auto entry = [](const QByteArray &name, const QByteArray &url, const QByteArray &content) {
            return "<file name=\"" + name + "\" url=\"" + url + "\" size=\"" + QByteArray::number(content.size()) + "\" crc=\""
                   + QCryptographicHash::hash(content, QCryptographicHash::Sha1).toHex() + "\"/>\n";
        };
        const QByteArray readme = m_release.value("readme.txt");
        QVERIFY(manifest.contains("</UPDATE_STRUCTURE>"));
        manifest.replace("</UPDATE_STRUCTURE>", entry("stolen.txt", "../secret.txt", secret) + entry("../escaped.txt", "readme.txt", readme)
                                                    + "<directory name=\"..\">" + entry("escaped2.txt", "readme.txt", readme)
                                                    + "</directory>\n</UPDATE_STRUCTURE>");
        QVERIFY(writeFile(path("distant-traversal.xml"), manifest));

        const QString client = path("traversal-client");
        QVERIFY(prepareClient(client, path("distant-traversal.xml")));
        const auto updater = startUpdater(client, nginx.url());
        QCOMPARE(finish(*updater, 60000), 1);
        Tree expected = m_release;
        expected.insert("old/removed.dat", m_installed.value("old/removed.dat"));
        const QString problems = difference(readTree(client + "/app"), expected);
        QVERIFY2(problems.isEmpty(), qPrintable(problems));
        QCOMPARE(readFile(path("secret.txt")), secret);
        QVERIFY(!QFile::exists(client + "/escaped.txt") && !QFile::exists(client + "/escaped2.txt"));
        QVERIFY(!nginx.accessLog().contains("request=\"../secret.txt\" version=\"\" 200"));
        QTRY_VERIFY(nginx.accessLog().contains("request=\"CLOSE\" version=\"2.0__"));
    }

    // 50 updaters at once, each into its own folder: every one must end
    // with status 0 and the release installed byte for byte.
    void fiftyUpdatersAtOnce_data()
    {
        QTest::addColumn<QString>("server");
        QTest::newRow("nginx") << "nginx";
        QTest::newRow("updateserver") << "updateserver";
    }
    void fiftyUpdatersAtOnce()
    {
        QFETCH(QString, server);
        const int count = 50;
        std::unique_ptr<NginxServer> nginx;
        std::unique_ptr<UpdateServerProcess> updateserver;
        QString url;
        if (server == "nginx") {
            nginx = std::make_unique<NginxServer>(path("release"), 2);
            QVERIFY2(nginx->isRunning(), qPrintable(nginx->errorString()));
            url = nginx->url();
        } else {
            updateserver = std::make_unique<UpdateServerProcess>(path("release"));
            QVERIFY2(updateserver->isRunning(), qPrintable(updateserver->errorString()));
            url = updateserver->url();
        }
        const QString base = path("load-" + server);
        for (int i = 0; i < count; ++i)
            QVERIFY(prepareClient(base + QString("/client%1").arg(i), path("distant.xml")));

        QElapsedTimer clock;
        clock.start();
        std::vector<std::unique_ptr<QProcess>> updaters;
        for (int i = 0; i < count; ++i)
            updaters.push_back(startUpdater(base + QString("/client%1").arg(i), url));
        QStringList failures;
        for (int i = 0; i < count; ++i) {
            const int status = finish(*updaters[size_t(i)], 120000);
            if (status != 0)
                failures << QString("client%1: status %2").arg(i).arg(status);
        }
        const qint64 elapsed = clock.elapsed();
        for (int i = 0; i < count; ++i) {
            const QString problems = difference(readTree(base + QString("/client%1/app").arg(i)), m_release);
            if (!problems.isEmpty())
                failures << QString("client%1: %2").arg(i).arg(problems);
        }
        qInfo("%d updaters against %s: %lld ms", count, qPrintable(server), elapsed);
        QVERIFY2(failures.isEmpty(), qPrintable(failures.join('\n')));
        if (updateserver)
            QVERIFY(updateserver->stop());
        QDir(base).removeRecursively();
    }
};

QTEST_MAIN(TestReleaseServing)
#include "tst_releaseserving.moc"
