// Version comparison, download entries and the destination-folder check.
#include "destinationpath.h"
#include "downloadentry.h"
#include "version.h"

#include <QtTest>

class TestVersionLogic : public QObject
{
    Q_OBJECT

private slots:
    void newer_data();
    void newer();
    void parse_data();
    void parse();
    void entry_data();
    void entry();
    void destination_data();
    void destination();
};

void TestVersionLogic::newer_data()
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

void TestVersionLogic::newer()
{
    QFETCH(QString, candidate);
    QFETCH(QString, local);
    QFETCH(bool, newer);
    Version a;
    Version b;
    QVERIFY(Version::parse(candidate, &a));
    QVERIFY(Version::parse(local, &b));
    QCOMPARE(a.isNewerThan(b), newer);
    if (newer)
        QVERIFY(!b.isNewerThan(a));
}

void TestVersionLogic::parse_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QString>("parsed");
    QTest::newRow("four parts") << "1.2.3.4" << true << "1.2.3.4";
    QTest::newRow("three parts") << "2.0.1" << false << "";
    QTest::newRow("empty") << "" << false << "";
    QTest::newRow("letter part") << "2.0.x.1" << true << "2.0.0.1";
    QTest::newRow("overflow is 0") << "99999999999.1.1.1" << true << "0.1.1.1";
}

void TestVersionLogic::parse()
{
    QFETCH(QString, text);
    QFETCH(bool, ok);
    QFETCH(QString, parsed);
    Version version(7, 7, 7, 7);
    QCOMPARE(Version::parse(text, &version), ok);
    QCOMPARE(version.toString(), ok ? parsed : QStringLiteral("7.7.7.7"));
}

void TestVersionLogic::entry_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("fileName");
    QTest::newRow("url only") << " http://h/dir/tool.exe \n" << "http://h/dir/tool.exe" << "tool.exe";
    QTest::newRow("with name") << "http://h/x.bin=bin/tool.exe" << "http://h/x.bin" << "bin/tool.exe";
    QTest::newRow("name trimmed, line feeds gone") << "http://h/x.bin = bin/to\nol.exe \r\n"
                                                   << "http://h/x.bin" << "bin/tool.exe";
    QTest::newRow("further parts ignored") << "http://h/a=b=c" << "http://h/a" << "b";
    QTest::newRow("empty url") << "=name" << "" << "name";
}

void TestVersionLogic::entry()
{
    QFETCH(QString, text);
    QFETCH(QString, url);
    QFETCH(QString, fileName);
    const DownloadEntry entry = DownloadEntry::parse(text);
    QCOMPARE(entry.url.toString(), url);
    QCOMPARE(entry.url.isEmpty(), url.isEmpty());
    QCOMPARE(entry.fileName, fileName);
}

void TestVersionLogic::destination_data()
{
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("target"); // empty: refused
    QTest::newRow("plain") << "dest" << "a.txt" << "dest/a.txt";
    QTest::newRow("subfolder") << "dest" << "bin/tool.exe" << "dest/bin/tool.exe";
    QTest::newRow("dot inside") << "dest" << "./a.txt" << "dest/./a.txt";
    QTest::newRow("parent") << "dest" << "../a.txt" << "";
    QTest::newRow("parent backslash") << "dest" << "bin\\..\\..\\a.txt" << "";
    QTest::newRow("absolute") << "dest" << "/etc/a.txt" << "";
    QTest::newRow("drive relative") << "dest" << "C:a.txt" << "";
    QTest::newRow("empty") << "dest" << "" << "";
    QTest::newRow("folder itself") << "dest" << "." << "";
}

void TestVersionLogic::destination()
{
    QFETCH(QString, folder);
    QFETCH(QString, name);
    QFETCH(QString, target);
    QString resolved;
    QCOMPARE(DestinationPath::resolve(folder, name, &resolved), !target.isEmpty());
    if (!target.isEmpty())
        QCOMPARE(resolved, target);
}

QTEST_MAIN(TestVersionLogic)
#include "tst_versionlogic.moc"
