// Version comparison, download entries and the destination-folder check.
#include "destinationpath.h"
#include "downloadentry.h"
#include "version.h"
#include "versionlist.h"

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

    // A line reads as it always has; each place where that differs from
    // how it is written gets a warning. "warnings": one distinctive piece of
    // each, in order, joined by '|'.
    void reading_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<QString>("version"); // empty: none
        QTest::addColumn<QString>("target");  // "URL -> file", empty: no entry
        QTest::addColumn<QString>("warnings");
        QTest::newRow("as written") << "1.2.0.1#http://h/u1.bin\r\n" << "1.2.0.1" << "http://h/u1.bin -> u1.bin" << "";
        QTest::newRow("with name and sha256") << "2.0.0.0#http://h/x.bin=bin/tool.exe#sha256=" + QString(64, 'a') + "\n"
                                              << "2.0.0.0" << "http://h/x.bin -> bin/tool.exe" << "";
        QTest::newRow("blank line") << "\r\n" << "" << "" << "";
        QTest::newRow("two '=' in the entry") << "1.0.0.0#a.bin?x=1=q.bin\n" << "1.0.0.0" << "a.bin?x -> 1"
                                              << "has 2 \"=\": it reads as URL \"a.bin?x\" and file name \"1\", the rest (\"q.bin\")";
        QTest::newRow("empty part") << "9..0.0#a.bin" << "9.0.0.0" << "a.bin -> a.bin" << "part 2 \"\" is empty: it reads as 0";
        QTest::newRow("blank before") << " 9.0.0.0#a.bin" << "9.0.0.0" << "a.bin -> a.bin" << "part 1 \" 9\" is padded: it reads as 9";
        QTest::newRow("plus sign") << "+9.0.0.0#a.bin" << "9.0.0.0" << "a.bin -> a.bin" << "part 1 \"+9\" is signed: it reads as 9";
        QTest::newRow("minus sign, leading zero") << "1.-01.0.0#a.bin" << "1.-1.0.0" << "a.bin -> a.bin" << "\"-01\" is signed, padded";
        QTest::newRow("past 32 bits") << "99999999999.0.0.0#a.bin" << "0.0.0.0" << "a.bin -> a.bin"
                                      << "\"99999999999\" is out of range: it reads as 0";
        QTest::newRow("letters, two parts wrong") << "1.x.0.1b#a.bin" << "1.0.0.0" << "a.bin -> a.bin"
                                                  << "part 2 \"x\" is not a number|part 4 \"1b\" is not a number";
        QTest::newRow("three parts") << "1.2.0#a.bin" << "" << "a.bin -> a.bin" << "has 3 parts, not four: the line is never taken";
        QTest::newRow("no entry") << "9.0.0.0\n" << "9.0.0.0" << "" << "no download entry";
        QTest::newRow("no URL") << "9.0.0.0#=name.bin" << "9.0.0.0" << " -> name.bin" << "has no URL";
        QTest::newRow("bad sha256") << "9.0.0.0#a.bin#sha256=ABC" << "9.0.0.0" << "a.bin -> a.bin" << "\"ABC\" is not 64";
    }

    void reading()
    {
        QFETCH(QString, line);
        QFETCH(QString, version);
        QFETCH(QString, target);
        QFETCH(QString, warnings);
        const VersionList::Reading reading = VersionList::read(line);
        QCOMPARE(reading.hasVersion ? reading.version.toString() : QString(), version);
        QCOMPARE(reading.hasEntry ? DownloadEntry::describe(reading.url, reading.fileName) : QString(), target);
        // The client's own reading agrees.
        Version local(0, 0, 0, 0);
        QCOMPARE(VersionList::isNewer(line, local), reading.hasVersion && reading.version.isNewerThan(local));
        const QStringList expected = warnings.isEmpty() ? QStringList() : warnings.split('|');
        QCOMPARE(reading.warnings.size(), expected.size());
        for (int i = 0; i < expected.size(); ++i)
            QVERIFY2(reading.warnings.at(i).contains(expected.at(i)), qPrintable(reading.warnings.at(i)));
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
