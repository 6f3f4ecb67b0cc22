// Version comparison, download entries and the destination-folder check.
#include "destinationpath.h"
#include "downloadentry.h"
#include "version.h"

#include <QtTest>

class TestVersionLogic : public QObject
{
    Q_OBJECT

private slots:
    void newer_data()
    {
        QTest::addColumn<QString>("candidate");
        QTest::addColumn<QString>("local");
        QTest::addColumn<bool>("newer");
        QTest::newRow("last part") << "1.2.0.1" << "1.2.0.0" << true;
        QTest::newRow("equal") << "1.2.0.0" << "1.2.0.0" << false;
        QTest::newRow("older") << "1.1.9.9" << "1.2.0.0" << false;
        QTest::newRow("numeric, not textual") << "1.10.0.0" << "1.9.0.0" << true;
        QTest::newRow("signed") << "0.0.0.0" << "-1.0.0.0" << true;
        QTest::newRow("not a number is 0") << "1.x.0.1" << "1.0.0.0" << true;
        QTest::newRow("int max") << "2147483647.0.0.0" << "2147483646.9.9.9" << true;
    }

    void newer()
    {
        QFETCH(QString, candidate);
        QFETCH(QString, local);
        Version a, b;
        QVERIFY(Version::parse(candidate, &a) && Version::parse(local, &b));
        QTEST(a.isNewerThan(b), "newer");
        QVERIFY(!a.isNewerThan(b) || !b.isNewerThan(a));
    }

    void parse_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("parsed"); // empty: refused
        QTest::newRow("four parts") << "1.2.3.4" << "1.2.3.4";
        QTest::newRow("three parts") << "2.0.1" << "";
        QTest::newRow("letter part") << "2.0.x.1" << "2.0.0.1";
        QTest::newRow("overflow is 0") << "99999999999.1.1.1" << "0.1.1.1";
    }

    void parse()
    {
        QFETCH(QString, text);
        QFETCH(QString, parsed);
        Version version(7, 7, 7, 7);
        QCOMPARE(Version::parse(text, &version), !parsed.isEmpty());
        QCOMPARE(version.toString(), parsed.isEmpty() ? QStringLiteral("7.7.7.7") : parsed);
    }

    void entry_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("fileName");
        QTest::newRow("url only") << " http://h/dir/tool.exe \n" << "http://h/dir/tool.exe" << "tool.exe";
        QTest::newRow("with name") << "http://h/x.bin=bin/tool.exe" << "http://h/x.bin" << "bin/tool.exe";
        QTest::newRow("name trimmed, line feeds gone")
            << "http://h/x.bin = bin/to\nol.exe \r\n" << "http://h/x.bin" << "bin/tool.exe";
        QTest::newRow("further parts ignored") << "http://h/a=b=c" << "http://h/a" << "b";
        QTest::newRow("empty url") << "=name" << "" << "name";
    }

    void entry()
    {
        QFETCH(QString, text);
        const DownloadEntry entry = DownloadEntry::parse(text);
        QTEST(entry.url.toString(), "url");
        QTEST(entry.fileName, "fileName");
    }

    void destination_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("target"); // empty: refused
        QTest::newRow("plain") << "a.txt" << "dest/a.txt";
        QTest::newRow("subfolder") << "bin/tool.exe" << "dest/bin/tool.exe";
        QTest::newRow("dot inside") << "./a.txt" << "dest/./a.txt";
        QTest::newRow("parent") << "../a.txt" << "";
        QTest::newRow("parent backslash") << "bin\\..\\..\\a.txt" << "";
        QTest::newRow("absolute") << "/etc/a.txt" << "";
        QTest::newRow("drive relative") << "C:a.txt" << "";
        QTest::newRow("empty") << "" << "";
        QTest::newRow("folder itself") << "." << "";
    }

    void destination()
    {
        QFETCH(QString, name);
        QFETCH(QString, target);
        QString resolved;
        QCOMPARE(DestinationPath::resolve("dest", name, &resolved), !target.isEmpty());
        if (!target.isEmpty())
            QCOMPARE(resolved, target);
    }
};

QTEST_MAIN(TestVersionLogic)
#include "tst_versionlogic.moc"
