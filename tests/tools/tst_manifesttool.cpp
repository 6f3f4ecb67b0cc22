#include "manifest.h"

#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

namespace {

struct Result
{
    int exitCode = -1;
    QString out;
    QString err;
};

bool writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

} // namespace

class TestManifestTool : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;

    QString path(const QString &relative) const { return m_dir.filePath(relative); }

    Result run(const QStringList &arguments)
    {
        QProcess process;
        process.setWorkingDirectory(m_dir.path());
        process.start(QStringLiteral(MANIFESTTOOL_PATH), arguments);
        Result result;
        if (!process.waitForFinished(30000) || process.exitStatus() != QProcess::NormalExit)
            return result;
        result.exitCode = process.exitCode();
        result.out = QString::fromUtf8(process.readAllStandardOutput());
        result.err = QString::fromUtf8(process.readAllStandardError());
        return result;
    }

    // A small installed tree: files at the top and two levels down, an empty file.
    void makeTree(const QString &folder)
    {
        QVERIFY(writeFile(path(folder + "/readme.txt"), "hello\n"));
        QVERIFY(writeFile(path(folder + "/bin/a.dll"), "abc"));
        QVERIFY(writeFile(path(folder + "/bin/plugins/p.so"), QByteArray(5000, 'p')));
        QVERIFY(writeFile(path(folder + "/lib/empty"), QByteArray()));
        QVERIFY(writeFile(path(folder + "/.hidden"), "not listed"));
    }

private slots:
    void init()
    {
        QVERIFY(m_dir.isValid());
        QDir(m_dir.path()).removeRecursively();
        QVERIFY(QDir().mkpath(m_dir.path()));
    }

    void createWritesTheEditorsDocument()
    {
        makeTree("app");
        const Result result = run({"create", "app", "-o", "m.xml", "--version", "2.1"});
        QCOMPARE(result.exitCode, 0);
        QCOMPARE(result.err, QString());

        const QDomDocument document = readManifestDocument(path("m.xml"));
        const QDomElement root = document.documentElement();
        QCOMPARE(root.tagName(), QStringLiteral("UPDATE_STRUCTURE"));
        QCOMPARE(root.attribute("name"), QStringLiteral("ROOT"));
        QCOMPARE(root.attribute("version"), QStringLiteral("2.1"));
        QVERIFY(QRegularExpression("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}$")
                    .match(root.attribute("date"))
                    .hasMatch());
        const QString written = root.attribute("crc");
        QVERIFY(result.out.contains(written));
        QCOMPARE(Manifest(root).globalChecksum(), written);

        // Canonical order: the top-level file first, then the directories by name.
        QStringList top;
        for (QDomElement e = root.firstChildElement(); !e.isNull(); e = e.nextSiblingElement())
            top << e.tagName() + ":" + e.attribute("name");
        QCOMPARE(top, (QStringList{"file:readme.txt", "directory:bin", "directory:lib"}));
        const QDomElement a = root.firstChildElement().nextSiblingElement().firstChildElement();
        QCOMPARE(a.attribute("url"), QStringLiteral("bin/a.dll"));
        QCOMPARE(a.attribute("size"), QStringLiteral("3"));
        QCOMPARE(a.attribute("crc"), QStringLiteral("a9993e364706816aba3e25717850c26c9cd0d89d"));
    }

    void verifyNamesEveryDeparture_data()
    {
        QTest::addColumn<QString>("change");
        QTest::addColumn<QString>("expected");
        QTest::newRow("untouched") << "" << "";
        QTest::newRow("one byte") << "bin/plugins/p.so" << "checksum  bin/plugins/p.so\n";
        QTest::newRow("size") << "bin/a.dll" << "size      bin/a.dll\n";
        QTest::newRow("missing") << "-readme.txt" << "missing   readme.txt\n";
        QTest::newRow("unlisted") << "+lib/extra.txt" << "unlisted  lib/extra.txt\n";
    }

    void verifyNamesEveryDeparture()
    {
        QFETCH(QString, change);
        QFETCH(QString, expected);
        makeTree("app");
        QCOMPARE(run({"create", "app", "-o", "m.xml"}).exitCode, 0);

        if (change == "bin/plugins/p.so") {
            QFile file(path("app/" + change));
            QVERIFY(file.open(QIODevice::ReadWrite));
            QVERIFY(file.seek(2500));
            QVERIFY(file.putChar('q'));
        } else if (change == "bin/a.dll") {
            QVERIFY(writeFile(path("app/bin/a.dll"), "abcd"));
        } else if (change.startsWith('-')) {
            QVERIFY(QFile::remove(path("app/" + change.mid(1))));
        } else if (change.startsWith('+')) {
            QVERIFY(writeFile(path("app/" + change.mid(1)), "new"));
        }

        const Result result = run({"verify", "m.xml", "app"});
        QCOMPARE(result.err, QString());
        QCOMPARE(result.exitCode, expected.isEmpty() ? 0 : 1);
        if (expected.isEmpty())
            QVERIFY(result.out.contains("matches"));
        else
            QCOMPARE(result.out, expected);
    }

    void manifestInsideItsFolderIsLeftOut()
    {
        makeTree("app");
        QCOMPARE(run({"create", "app", "-o", "app/manifest.xml"}).exitCode, 0);
        // "manifest.xml" would sort before "readme.txt" had it been listed.
        QVERIFY(readManifestDocument(path("app/manifest.xml")).documentElement().firstChildElement().attribute("name") == "readme.txt");
        QCOMPARE(run({"verify", "app/manifest.xml", "app"}).exitCode, 0);
    }

    void diffListsTheComparison()
    {
        makeTree("old");
        makeTree("new");
        QVERIFY(writeFile(path("new/bin/a.dll"), "abd"));
        QVERIFY(QFile::remove(path("new/readme.txt")));
        QVERIFY(writeFile(path("new/share/doc/guide.txt"), "guide"));
        QCOMPARE(run({"create", "old", "-o", "old.xml"}).exitCode, 0);
        QCOMPARE(run({"create", "new", "-o", "new.xml"}).exitCode, 0);

        const Result same = run({"diff", "old.xml", "old.xml"});
        QCOMPARE(same.exitCode, 0);
        QCOMPARE(same.out, QString());

        const Result result = run({"diff", "new.xml", "old.xml"});
        QCOMPARE(result.err, QString());
        QCOMPARE(result.exitCode, 1);
        QCOMPARE(result.out.split('\n', Qt::SkipEmptyParts),
                 (QStringList{"CHANGED bin/a.dll", "NEW     share/", "NEW     share/doc/guide.txt",
                              "REMOVED readme.txt"}));
    }

    void badInputIsOneLineAndFailure_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("message");
        QTest::newRow("no command") << QStringList{} << "no command";
        QTest::newRow("unknown command") << QStringList{"frob"} << "unknown command 'frob'";
        QTest::newRow("create without output") << QStringList{"create", "app"} << "-o FILE";
        QTest::newRow("create, unknown option") << QStringList{"create", "app", "-x", "-o", "m.xml"}
                                                << "unknown option '-x'";
        QTest::newRow("create, missing folder") << QStringList{"create", "gone", "-o", "m.xml"}
                                                << "cannot read folder 'gone': it does not exist";
        QTest::newRow("create, file as folder") << QStringList{"create", "good.xml", "-o", "m.xml"}
                                                << "cannot read folder 'good.xml': not a folder";
        QTest::newRow("create, unwritable output") << QStringList{"create", "app", "-o", "no/such/dir/m.xml"}
                                                   << "cannot write 'no/such/dir/m.xml'";
        QTest::newRow("diff, one argument") << QStringList{"diff", "good.xml"} << "expected DISTANT and LOCAL";
        QTest::newRow("diff, unparsable") << QStringList{"diff", "good.xml", "bad.xml"}
                                          << "bad.xml:3:7: manifest does not parse";
        QTest::newRow("diff, missing manifest") << QStringList{"diff", "gone.xml", "good.xml"}
                                                << "cannot open manifest 'gone.xml'";
        QTest::newRow("verify, missing folder") << QStringList{"verify", "good.xml", "gone"}
                                                << "cannot read folder 'gone'";
    }

    void badInputIsOneLineAndFailure()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, message);
        makeTree("app");
        QVERIFY(writeFile(path("good.xml"), "<UPDATE_STRUCTURE/>\n"));
        QVERIFY(writeFile(path("bad.xml"), "<UPDATE_STRUCTURE>\n<file name=\"a\"/>\n<file </UPDATE_STRUCTURE>\n"));

        const Result result = run(arguments);
        QCOMPARE(result.exitCode, 2);
        QCOMPARE(result.out, QString());
        QVERIFY2(result.err.startsWith("manifesttool: ") && result.err.count('\n') == 1, qPrintable(result.err));
        QVERIFY2(result.err.contains(message), qPrintable(result.err));
        QVERIFY(!QFile::exists(path("m.xml")));
    }

    void helpForEachCommand_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("usage");
        QTest::newRow("general") << QStringList{"--help"} << "Usage: manifesttool COMMAND";
        QTest::newRow("create") << QStringList{"create", "--help"} << "Usage: manifesttool create FOLDER -o FILE";
        QTest::newRow("diff") << QStringList{"diff", "-h"} << "Usage: manifesttool diff DISTANT LOCAL";
        QTest::newRow("verify") << QStringList{"verify", "--help"} << "Usage: manifesttool verify MANIFEST FOLDER";
    }

    void helpForEachCommand()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, usage);
        const Result result = run(arguments);
        QCOMPARE(result.exitCode, 0);
        QVERIFY(result.out.startsWith(usage));
        QCOMPARE(result.err, QString());
    }
};

QTEST_MAIN(TestManifestTool)
#include "tst_manifesttool.moc"
