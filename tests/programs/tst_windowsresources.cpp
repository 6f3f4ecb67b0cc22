// The Windows resources of every program, built for real: mingw-w64 compiles
// them and links each into a small PE (tests/programs/windows), and the PE
// reader that versionupdater trusts must find the project version in it.

#include "fileversion.h"
#include "testfiles.h"

#include <QtTest>

#include <cstring>

namespace {

const QString sourceDir = QStringLiteral(SOURCE_DIR);

// The bytes of the first image of an .ico file, as Windows stores them in
// the RT_ICON resource: the file without its directory.
QByteArray firstIconImage(const QString &path)
{
    const QByteArray ico = readFile(path);
    if (ico.size() < 22)
        return QByteArray();
    quint32 size = 0;
    quint32 offset = 0;
    std::memcpy(&size, ico.constData() + 6 + 8, 4); // little-endian, as this machine
    std::memcpy(&offset, ico.constData() + 6 + 12, 4);
    return ico.mid(int(offset), int(size));
}

} // namespace

class TestWindowsResources : public QObject
{
    Q_OBJECT

    QTemporaryDir m_build;

private slots:
    void initTestCase()
    {
        // CI always has mingw-w64 (scripts/deps); a machine without it fails here.
        QVERIFY2(!QStandardPaths::findExecutable("x86_64-w64-mingw32-windres").isEmpty(),
                 "mingw-w64 is missing: apt-get install -y mingw-w64");
        const QStringList configure{"-S", sourceDir + "/tests/programs/windows", "-B", m_build.path(),
                                    "-DCMAKE_TOOLCHAIN_FILE=" + sourceDir + "/cmake/mingw-w64.cmake",
                                    "-DUPDATER_SOURCE_DIR=" + sourceDir,
                                    "-DUPDATER_VERSION=" UPDATER_PROJECT_VERSION};
        for (const QStringList &arguments : {configure, QStringList{"--build", m_build.path()}}) {
            QProcess cmake;
            cmake.setProcessChannelMode(QProcess::MergedChannels);
            cmake.start(QStringLiteral(CMAKE_EXECUTABLE), arguments);
            QVERIFY(cmake.waitForFinished(240000));
            QVERIFY2(cmake.exitStatus() == QProcess::NormalExit && cmake.exitCode() == 0,
                     cmake.readAll().constData());
        }
    }

    void versionAndManifest_data()
    {
        QTest::addColumn<QString>("program");
        QTest::addColumn<QString>("icon"); // with the administrator manifest; empty: neither
        QTest::newRow("updater") << "updater" << sourceDir + "/updater/resources/iconapp.ico";
        QTest::newRow("versionupdater") << "versionupdater" << sourceDir + "/versionupdater/resources/iconapp.ico";
        QTest::newRow("manifesteditor") << "manifesteditor" << QString();
        QTest::newRow("manifesttool") << "manifesttool" << QString();
        QTest::newRow("updateserver") << "updateserver" << QString();
    }

    void versionAndManifest()
    {
        QFETCH(QString, program);
        QFETCH(QString, icon);
        const QString exe = m_build.filePath(program + ".exe");
        Version expected;
        QVERIFY(Version::parse(QStringLiteral(UPDATER_PROJECT_VERSION ".0"), &expected));
        Version read;
        QVERIFY2(readFileVersion(exe, &read), qPrintable(exe));
        QCOMPARE(read.toString(), expected.toString());

        const QByteArray image = readFile(exe);
        QCOMPARE(image.contains("level=\"requireAdministrator\""), !icon.isEmpty());
        if (!icon.isEmpty()) {
            const QByteArray iconImage = firstIconImage(icon);
            QVERIFY(iconImage.size() > 100);
            QVERIFY(image.contains(iconImage));
        }
    }
};

QTEST_MAIN(TestWindowsResources)
#include "tst_windowsresources.moc"
