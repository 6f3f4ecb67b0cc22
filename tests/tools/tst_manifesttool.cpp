#include "testfiles.h"
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

} // namespace

class TestManifestTool : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

    QString path(const QString &relative) const { return m_dir.filePath(relative); }

    Result run(const QStringList &arguments)
    {
        QProcess process;
        process.setWorkingDirectory(m_dir.path());
        process.start(QStringLiteral(MANIFESTTOOL_PATH), arguments);
        if (!process.waitForFinished(30000) || process.exitStatus() != QProcess::NormalExit)
            return Result();
        return {process.exitCode(), QString::fromUtf8(process.readAllStandardOutput()),
                QString::fromUtf8(process.readAllStandardError())};
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
        QVERIFY(QDir(m_dir.path()).removeRecursively() && QDir().mkpath(m_dir.path()));
    }

    void createWritesTheEditorsDocument()
    {
        makeTree("app");
        // The manifest written inside its folder is left out of it.
        const Result result = run({"create", "app", "-o", "app/manifest.xml", "--version", "2.1"});
        QCOMPARE(result.exitCode, 0);
        QCOMPARE(result.err, QString());

        const QDomDocument document = readManifestDocument(path("app/manifest.xml"));
        const QDomElement root = document.documentElement();
        QCOMPARE(QStringList({root.tagName(), root.attribute("name"), root.attribute("version")}).join(' '),
                 QStringLiteral("UPDATE_STRUCTURE ROOT 2.1"));
        QVERIFY(QRegularExpression("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}$").match(root.attribute("date")).hasMatch());
        const QString written = root.attribute("crc");
        QVERIFY(result.out.contains(written));
        QCOMPARE(Manifest(root).globalChecksum(), written);

        // The manifest itself is left out; how entries are written is the scanner's (tst_manifest).
        QStringList top;
        for (QDomElement e = root.firstChildElement(); !e.isNull(); e = e.nextSiblingElement())
            top << e.tagName() + ":" + e.attribute("name");
        QCOMPARE(top, (QStringList{"file:readme.txt", "directory:bin", "directory:lib"}));
        QCOMPARE(run({"verify", "app/manifest.xml", "app"}).exitCode, 0);
    }

    void verifyNamesEveryDeparture_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QByteArray>("content"); // null: the file is removed
        QTest::addColumn<QString>("expected");
        QByteArray oneByte(5000, 'p');
        oneByte[2500] = 'q';
        QTest::newRow("untouched") << "" << QByteArray() << "";
        QTest::newRow("one byte") << "bin/plugins/p.so" << oneByte << "checksum  bin/plugins/p.so\n";
        QTest::newRow("size") << "bin/a.dll" << QByteArray("abcd") << "size      bin/a.dll\n";
        QTest::newRow("missing") << "readme.txt" << QByteArray() << "missing   readme.txt\n";
        QTest::newRow("unlisted") << "lib/extra.txt" << QByteArray("new") << "unlisted  lib/extra.txt\n";
    }

    void verifyNamesEveryDeparture()
    {
        QFETCH(QString, file);
        QFETCH(QByteArray, content);
        QFETCH(QString, expected);
        makeTree("app");
        QCOMPARE(run({"create", "app", "-o", "m.xml"}).exitCode, 0);
        if (!file.isEmpty())
            QVERIFY(content.isNull() ? QFile::remove(path("app/" + file)) : writeFile(path("app/" + file), content));

        const Result result = run({"verify", "m.xml", "app"});
        QCOMPARE(result.err, QString());
        QCOMPARE(result.exitCode, expected.isEmpty() ? 0 : 1);
        if (expected.isEmpty())
            QVERIFY(result.out.contains("matches"));
        else
            QCOMPARE(result.out, expected);
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

    // Bad input: one line on stderr, exit status 2, nothing written. Help: usage on stdout, status 0.
    void badInputAndHelp_data()
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
        QTest::newRow("diff, too deep") << QStringList{"diff", "good.xml", "deep.xml"}
                                        << "deep.xml:1:5138: manifest nested deeper than 256 levels";
        QTest::newRow("verify, too deep") << QStringList{"verify", "deeper.xml", "app"}
                                          << "deeper.xml:1:5138: manifest nested deeper than 256 levels";
        QTest::newRow("help") << QStringList{"--help"} << "Usage: manifesttool COMMAND";
    }

    void badInputAndHelp()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, message);
        makeTree("app");
        QVERIFY(writeFile(path("good.xml"), "<UPDATE_STRUCTURE/>\n"));
        QVERIFY(writeFile(path("bad.xml"), "<UPDATE_STRUCTURE>\n<file name=\"a\"/>\n<file </UPDATE_STRUCTURE>\n"));
        for (const auto &[name, levels] : {std::pair<const char *, int>{"deep.xml", 300}, {"deeper.xml", 100000}})
            QVERIFY(writeFile(path(name), "<UPDATE_STRUCTURE>" + QByteArray("<directory name=\"d\">").repeated(levels) +
                                              QByteArray("</directory>").repeated(levels) + "</UPDATE_STRUCTURE>"));

        const Result result = run(arguments);
        QVERIFY(!QFile::exists(path("m.xml")));
        if (message.startsWith("Usage: ")) {
            QCOMPARE(result.exitCode, 0);
            QVERIFY2(result.out.startsWith(message), qPrintable(result.out));
            QCOMPARE(result.err, QString());
            return;
        }
        QCOMPARE(result.exitCode, 2);
        QCOMPARE(result.out, QString());
        QVERIFY2(result.err.startsWith("manifesttool: ") && result.err.count('\n') == 1, qPrintable(result.err));
        QVERIFY2(result.err.contains(message), qPrintable(result.err));
    }
};

QTEST_MAIN(TestManifestTool)
#include "tst_manifesttool.moc"
