#include "testfiles.h"
#include "chunker.h"
#include "chunkindex.h"
#include "manifest.h"

#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

struct Result
{
    int exitCode = -1;
    QString out, err;
};

// Two runs write the same bytes but for the date.
QString withoutDate(QString manifest)
{
    return manifest.remove(QRegularExpression(" date=\"[^\"]*\""));
}

} // namespace

class TestManifestTool : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

    QString path(const QString &relative) const { return m_dir.filePath(relative); }
    QString manifestText(const QString &relative) const { return withoutDate(QString::fromUtf8(readFile(path(relative)))); }

    // QT_HASH_SEED=0 fixes the order of attributes as written.
    Result run(const QStringList &arguments, const QString &program = QStringLiteral(MANIFESTTOOL_PATH))
    {
        QProcess process;
        process.setWorkingDirectory(m_dir.path());
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_HASH_SEED", "0");
        process.setProcessEnvironment(env);
        process.start(program, arguments);
        if (!process.waitForFinished(30000) || process.exitStatus() != QProcess::NormalExit)
            return Result();
        return {process.exitCode(), QString::fromUtf8(process.readAllStandardOutput()),
                QString::fromUtf8(process.readAllStandardError())};
    }

    // Every name below the folder, links not followed, and each file's size.
    QStringList entries() const
    {
        QStringList all;
        for (QDirIterator it(m_dir.path(), QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                             QDirIterator::Subdirectories); it.hasNext();)
            all << it.next() + ':' + QString::number(it.fileInfo().isFile() ? it.fileInfo().size() : -1);
        all.sort();
        return all;
    }

    // A small installed tree: files at the top and two levels down, an empty
    // file, an empty folder, hidden files and folders (never listed).
    void makeTree(const QString &folder)
    {
        QVERIFY(writeFile(path(folder + "/readme.txt"), "hello\n"));
        QVERIFY(writeFile(path(folder + "/bin/a.dll"), "abc"));
        QVERIFY(writeFile(path(folder + "/bin/plugins/p.so"), QByteArray(5000, 'p')));
        QVERIFY(writeFile(path(folder + "/lib/empty"), QByteArray()));
        QVERIFY(QDir().mkpath(path(folder + "/empty")));
        for (const char *hidden : {"/.hidden", "/.git/config", "/bin/.secret"})
            QVERIFY(writeFile(path(folder + hidden), "not listed"));
    }

private slots:
    void init()
    {
        QVERIFY(QDir(m_dir.path()).removeRecursively() && QDir().mkpath(m_dir.path()));
    }

    // Names Windows cannot hold are refused (badInputAndHelp) unless the
    // publisher asks for them.
    void nonWindowsNamesOnRequest()
    {
        QVERIFY(writeTree(path("app"), {{"aux.txt", "x"}, {"Readme.txt", "1"}, {"README.TXT", "2"}}));
        QCOMPARE(run({"create", "app", "-o", "m.xml", "--allow_non_windows_names"}).exitCode, 0);
        const QByteArray manifest = readFile(path("m.xml"));
        QVERIFY(manifest.contains("name=\"aux.txt\"") && manifest.contains("name=\"Readme.txt\"")
                && manifest.contains("name=\"README.TXT\""));
    }

    void createWritesTheEditorsDocument()
    {
        makeTree("app");
        const QDateTime before = QDateTime::currentDateTimeUtc();
        // The manifest written inside its folder is left out of it.
        QVERIFY(writeFile(path("whatsnew.html"), "<p>Faster.</p>\n"));
        QCOMPARE(run({"create", "app", "-o", "plain.xml", "--version", "2.1"}).exitCode, 0); // as before notes and rollout
        const Result result = run({"create", "app", "-o", "app/manifest.xml", "--version", "2.1", "--expires", "30",
                                   "--channel", "beta", "--notes", "whatsnew.html", "--rollout", "25"});
        QCOMPARE(result.exitCode, 0);
        QCOMPARE(result.err, QString());

        const QDomDocument document = readManifestDocument(path("app/manifest.xml"));
        const QDomElement root = document.documentElement();
        QCOMPARE(QStringList({root.tagName(), root.attribute("name"), root.attribute("version"), root.attribute("channel")})
                     .join(' '),
                 QStringLiteral("UPDATE_STRUCTURE ROOT 2.1 beta"));
        QVERIFY(QRegularExpression("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}$").match(root.attribute("date")).hasMatch());
        QVERIFY(result.out.contains(root.attribute("crc")));
        QCOMPARE(Manifest(root).globalChecksum(), root.attribute("crc"));
        const QString expires = root.attribute("expires");
        QVERIFY2(QRegularExpression("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ$").match(expires).hasMatch(), qPrintable(expires));
        const QDateTime expiry = QDateTime::fromString(expires, Qt::ISODate);
        QVERIFY(expiry >= before.addDays(30).addSecs(-1) && expiry <= QDateTime::currentDateTimeUtc().addDays(30));

        // Entries as the scanner writes them: canonical order, url, size,
        // digests, no date or version.
        QStringList top;
        for (QDomElement e = root.firstChildElement(); !e.isNull(); e = e.nextSiblingElement())
            top << e.tagName() + ":" + e.attribute("name");
        QCOMPARE(top, (QStringList{"file:readme.txt", "directory:bin", "directory:empty", "directory:lib"}));
        for (const char *hidden : {".hidden", ".git", ".secret"})
            QVERIFY2(!readFile(path("app/manifest.xml")).contains(hidden), hidden);
        const QDomElement readme = root.firstChildElement();
        QCOMPARE(QStringList({readme.attribute("url"), readme.attribute("size"), readme.attribute("sha256")}),
                 QStringList({"readme.txt", "6", QString::fromLatin1(QCryptographicHash::hash("hello\n", QCryptographicHash::Sha256).toHex())}));
        QVERIFY(!readme.hasAttribute("date") && !readme.hasAttribute("version"));
        QCOMPARE(run({"verify", "app/manifest.xml", "app"}).exitCode, 0);

        // The notes lie below the release, hidden from every scan, as the
        // root names them; and a staged rollout.
        QCOMPARE(readFile(path("app/.notes/whatsnew.html")), QByteArray("<p>Faster.</p>\n"));
        QCOMPARE(QStringList({root.attribute("notes_url"), root.attribute("notes_sha256"), root.attribute("rollout")}),
                 QStringList({".notes/whatsnew.html",
                              QString::fromLatin1(QCryptographicHash::hash("<p>Faster.</p>\n", QCryptographicHash::Sha256).toHex()),
                              "25"}));
        // Readers of the format as it was take such a manifest unchanged:
        // the same tree, the same global checksum, no difference.
        QCOMPARE(readManifestDocument(path("plain.xml")).documentElement().attribute("crc"), root.attribute("crc"));
        const Result same = run({"diff", "app/manifest.xml", "plain.xml"});
        QCOMPARE(same.exitCode, 0);
        QCOMPARE(same.out, QString());
    }

    void verifyNamesEveryDeparture_data()
    {
        QTest::addColumn<QString>("manifest");
        QTest::addColumn<QString>("file");
        QTest::addColumn<QByteArray>("content"); // null: the file is removed
        QTest::addColumn<QString>("expected");
        QByteArray oneByte(5000, 'p');
        oneByte[2500] = 'q';
        QTest::newRow("untouched") << "m.xml" << "" << QByteArray() << "";
        QTest::newRow("one byte") << "m.xml" << "bin/plugins/p.so" << oneByte << "checksum  bin/plugins/p.so\n";
        QTest::newRow("size") << "m.xml" << "bin/a.dll" << QByteArray("abcd") << "size      bin/a.dll\n";
        QTest::newRow("missing") << "m.xml" << "readme.txt" << QByteArray() << "missing   readme.txt\n";
        QTest::newRow("unlisted") << "m.xml" << "lib/extra.txt" << QByteArray("new") << "unlisted  lib/extra.txt\n";
        // The updater keeps its id and lock file beside its local manifest.
        QTest::newRow("install-id beside the manifest") << "app/lib/m.xml" << "lib/install-id" << QByteArray("0123456789abcdef\n") << "";
        QTest::newRow("lock file beside the manifest") << "app/lib/m.xml" << "lib/.m.xml.lock" << QByteArray() << "";
        QTest::newRow("install-id elsewhere") << "app/lib/m.xml" << "install-id" << QByteArray("0123456789abcdef\n")
                                              << "unlisted  install-id\n";
    }
    void verifyNamesEveryDeparture()
    {
        QFETCH(QString, manifest);
        QFETCH(QString, file);
        QFETCH(QByteArray, content);
        QFETCH(QString, expected);
        makeTree("app");
        QCOMPARE(run({"create", "app", "-o", manifest}).exitCode, 0);
        if (file.endsWith(".lock"))
            QVERIFY(writeFile(path("app/" + file), content));
        else if (!file.isEmpty())
            QVERIFY(content.isNull() ? QFile::remove(path("app/" + file)) : writeFile(path("app/" + file), content));

        const Result result = run({"verify", manifest, "app"});
        QCOMPARE(result.err, QString());
        QCOMPARE(result.exitCode, expected.isEmpty() ? 0 : 1);
        QVERIFY2(expected.isEmpty() ? result.out.contains("matches") : result.out == expected, qPrintable(result.out));
    }

    // A hand-written manifest reads as the updater reads it: of two entries
    // with one path the later counts, a missing size is 0, only files below
    // the root and its directories are files; problems come in the order
    // of the paths by UTF-16 code unit.
    void verifyReadsTheManifestAsTheUpdater()
    {
        QVERIFY(writeFile(path("app/a.txt"), "abc") && writeFile(path("app/empty"), QByteArray()));
        const QByteArray crc = QCryptographicHash::hash("abc", QCryptographicHash::Sha1).toHex();
        const QByteArray none = QCryptographicHash::hash("", QCryptographicHash::Sha1).toHex();
        QVERIFY(writeFile(path("m.xml"), "<UPDATE_STRUCTURE>"
            "<file name='a.txt' size='3' crc='00'/><file name='a.txt' size='3' crc='" + crc.toUpper() + "'/>"
            "<file name='empty' crc='" + none + "'/><note><file name='n.txt'/></note>"
            "<directory name='d'><file name='\xef\xbc\xa1'/><file name='\xf0\x9f\x98\x80'/>"
            "<file name='\xc3\xa9'/><file name='a'/><file name='B'/></directory></UPDATE_STRUCTURE>"));
        const Result result = run({"verify", "m.xml", "app"});
        QCOMPARE(result.err, QString());
        QCOMPARE(result.exitCode, 1);
        QCOMPARE(result.out, QString::fromUtf8("missing   d/B\nmissing   d/a\nmissing   d/\xc3\xa9\n"
                                               "missing   d/\xf0\x9f\x98\x80\nmissing   d/\xef\xbc\xa1\n"));
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
                 (QStringList{"CHANGED bin/a.dll", "NEW     share/", "NEW     share/doc/guide.txt", "REMOVED readme.txt"}));
    }

    // Bad input: one line on stderr, exit status 2, nothing written or
    // replaced. Help and version: on stdout, status 0.
    void badInputAndHelp_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("message");
        const auto create = [](const QStringList &options) { return QStringList{"create", "app", "-o", "m.xml"} + options; };
        QTest::newRow("no command") << QStringList{} << "no command";
        QTest::newRow("unknown command") << QStringList{"frob"} << "unknown command 'frob'";
        QTest::newRow("create without output") << QStringList{"create", "app"} << "-o FILE";
        QTest::newRow("create, unknown option") << create({"-x"}) << "unknown option '-x'";
        QTest::newRow("create, missing folder") << QStringList{"create", "gone", "-o", "m.xml"}
                                                << "cannot read folder 'gone': it does not exist";
        QTest::newRow("create, file as folder") << QStringList{"create", "good.xml", "-o", "m.xml"}
                                                << "cannot read folder 'good.xml': not a folder";
        QTest::newRow("create, unwritable output") << QStringList{"create", "app", "-o", "no/such/dir/m.xml"}
                                                   << "cannot write 'no/such/dir/m.xml'";
        QTest::newRow("diff, one argument") << QStringList{"diff", "good.xml"} << "expected DISTANT and LOCAL";
        QTest::newRow("diff, unparsable") << QStringList{"diff", "good.xml", "bad.xml"} << "bad.xml:3:7: manifest does not parse";
        QTest::newRow("diff, missing manifest") << QStringList{"diff", "gone.xml", "good.xml"} << "cannot open manifest 'gone.xml'";
        QTest::newRow("create, expires zero") << create({"--expires", "0"}) << "--expires takes a number of days from 1 to 36500";
        QTest::newRow("create, expires a word") << create({"--expires", "soon"}) << "--expires takes a number of days";
        QTest::newRow("create, expires too far") << create({"--expires=36501"}) << "--expires takes a number of days";
        QTest::newRow("create, no jobs") << create({"--jobs", "0"}) << "--jobs takes a number from 1 to 64";
        QTest::newRow("create, empty channel") << create({"--channel", ""}) << "--channel takes a name";
        QTest::newRow("create, rollout over 100") << create({"--rollout", "101"}) << "--rollout takes a whole percent from 0 to 100";
        QTest::newRow("create, rollout with a sign") << create({"--rollout", "+5"}) << "--rollout takes a whole percent";
        QTest::newRow("create, notes over 64 KiB") << create({"--notes", "big.txt"}) << "cannot read 'big.txt': larger than 65536 bytes";
        QTest::newRow("create, notes missing") << create({"--notes", "gone.txt"}) << "cannot read 'gone.txt'";
        QTest::newRow("create, threshold without chunks") << create({"--chunk_threshold", "10"}) << "--chunk_threshold needs --chunks";
        QTest::newRow("create, negative threshold") << create({"--chunks", "--chunk_threshold=-1"})
                                                    << "--chunk_threshold takes a number of bytes";
        QTest::newRow("create, a reserved name") << QStringList{"create", "reserved", "-o", "m.xml"}
                                                 << "'sub/aux.txt' is a name Windows cannot hold: a reserved device name";
        QTest::newRow("create, a trailing dot") << QStringList{"create", "dotted", "-o", "m.xml"}
                                                << "'name.' is a name Windows cannot hold: a trailing dot";
        QTest::newRow("create, names that differ in case") << QStringList{"create", "cased", "-o", "m.xml"} << "only in case";
        QTest::newRow("keygen without name") << QStringList{"keygen"} << "keygen: expected one NAME";
        QTest::newRow("keygen over a key") << QStringList{"keygen", "taken"} << "'taken.key' already exists";
        QTest::newRow("sign without key") << QStringList{"sign", "good.xml"} << "the private key is missing";
        QTest::newRow("sign, missing key") << QStringList{"sign", "good.xml", "--key", "none.key"} << "sign: cannot read 'none.key'";
        QTest::newRow("check without key") << QStringList{"check-signature", "good.xml"} << "the public key is missing";
        QTest::newRow("diff, too deep") << QStringList{"diff", "good.xml", "deep.xml"}
                                        << "deep.xml:1:5138: manifest nested deeper than 256 levels";
        QTest::newRow("verify, too deep") << QStringList{"verify", "deeper.xml", "app"}
                                          << "deeper.xml:1:5138: manifest nested deeper than 256 levels";
        QTest::newRow("version") << QStringList{"--version"} << "manifesttool " UPDATER_PROJECT_VERSION "\n";
        QTest::newRow("help") << QStringList{"--help"} << "Usage: manifesttool COMMAND";
        QTest::newRow("keygen help") << QStringList{"keygen", "--help"} << "Usage: manifesttool keygen NAME";
        QTest::newRow("sign help") << QStringList{"sign", "-h"} << "Usage: manifesttool sign FILE --key";
        QTest::newRow("check help") << QStringList{"check-signature", "--help"}
                                    << "Usage: manifesttool check-signature FILE --public_key";
        QTest::newRow("check-list help") << QStringList{"check-list", "--help"} << "Usage: manifesttool check-list LIST";
        QTest::newRow("check-list without list") << QStringList{"check-list"} << "check-list: expected one LIST";
        QTest::newRow("check-list, no marker") << QStringList{"check-list", "bad.xml"}
                                               << "check-list: 'bad.xml' does not start with **UPDATE LIST**";
        QTest::newRow("check-list, over 1 MiB") << QStringList{"check-list", "big.txt"}
                                                << "check-list: 'big.txt' is larger than the 1048576 bytes";
        QTest::newRow("check-list, a FIFO") << QStringList{"check-list", "fifo"} << "check-list: 'fifo' is not a regular file";
        QTest::newRow("check-list, no file") << QStringList{"check-list", "gone.txt"} << "check-list: cannot read 'gone.txt'";
        // Only a regular file read whole is signed or checked: a FIFO, a
        // device, a folder or a file over 1 GiB gives 2 at once, unread. The
        // sparse file of 4 GiB and a byte, changed near its end, costs no
        // disk; once, an empty read of it was signed as valid.
        const QStringList pub{"--public_key", "k.pub"};
        for (const char *file : {"fifo", "/dev/zero", "folder"}) {
            QTest::addRow("sign %s", file) << QStringList{"sign", file, "--key", "k.key"}
                                           << QStringLiteral("cannot read '%1': not a regular file").arg(file);
            QTest::addRow("check %s", file) << (QStringList{"check-signature", file} + pub)
                                            << QStringLiteral("cannot read '%1': not a regular file").arg(file);
        }
        QTest::newRow("sign over 4 GiB") << QStringList{"sign", "sparse.bin", "--key", "k.key"}
                                         << "cannot read 'sparse.bin': larger than 1073741824 bytes";
        QTest::newRow("check over 4 GiB, an empty file's signature") << (QStringList{"check-signature", "sparse.bin"} + pub)
                                                                     << "cannot read 'sparse.bin': larger than 1073741824 bytes";
        QTest::newRow("check, the signature a FIFO") << (QStringList{"check-signature", "small.txt"} + pub)
                                                     << "cannot read 'small.txt.sig': not a regular file";
        QTest::newRow("key a FIFO") << QStringList{"sign", "small.txt", "--key", "fifo"} << "sign: cannot read 'fifo': not a regular file";
        // Chunk indexes are written into their folder only, never through a link.
        for (const char *link : {"chunked/.chunks", "chunked2/.chunks/sub"})
            QTest::addRow("chunks, %s a link", link) << QStringList{"create", QString(link).section('/', 0, 0), "-o", "m.xml", "--chunks"}
                                                     << QStringLiteral("'%1' is a link").arg(link);
    }
    void badInputAndHelp()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, message);
        makeTree("app");
        QVERIFY(writeTree(path("reserved"), {{"a.txt", "a"}, {"sub/aux.txt", "x"}}) && writeTree(path("dotted"), {{"name.", "x"}})
                && writeTree(path("cased"), {{"Readme.txt", "1"}, {"README.TXT", "2"}}));
        QVERIFY(writeFile(path("good.xml"), "<UPDATE_STRUCTURE/>\n") && writeFile(path("taken.key"), "old"));
        QVERIFY(writeFile(path("big.txt"), QByteArray("**UPDATE LIST**\n").leftJustified((1 << 20) + 1, '#')));
        QVERIFY(writeFile(path("bad.xml"), "<UPDATE_STRUCTURE>\n<file name=\"a\"/>\n<file </UPDATE_STRUCTURE>\n"));
        for (const auto &[name, levels] : {std::pair<const char *, int>{"deep.xml", 300}, {"deeper.xml", 100000}})
            QVERIFY(writeFile(path(name), "<UPDATE_STRUCTURE>" + QByteArray("<directory name=\"d\">").repeated(levels) +
                                              QByteArray("</directory>").repeated(levels) + "</UPDATE_STRUCTURE>"));
        QCOMPARE(run({"keygen", "k"}).exitCode, 0);
        QVERIFY(QDir().mkpath(path("folder")) && writeFile(path("small.txt"), "small\n"));
        for (const char *fifo : {"fifo", "small.txt.sig"})
            QCOMPARE(::mkfifo(QFile::encodeName(path(fifo)).constData(), 0600), 0);
        QVERIFY(writeFile(path("empty"), QByteArray()));
        QCOMPARE(run({"sign", "empty", "--key", "k.key"}).exitCode, 0);
        QVERIFY(QFile::rename(path("empty.sig"), path("sparse.bin.sig")));
        QFile sparse(path("sparse.bin"));
        QVERIFY(sparse.open(QIODevice::WriteOnly) && sparse.resize((qint64(4) << 30) + 1));
        QVERIFY(sparse.seek((qint64(4) << 30) - 10) && sparse.write("x", 1) == 1);
        sparse.close();
        for (const char *link : {"chunked/.chunks", "chunked2/.chunks/sub"}) {
            QVERIFY(writeFile(path(QString(link).section('/', 0, 0) + "/sub/big.bin"), QByteArray(2 * 1024 * 1024, 's')));
            QVERIFY(QDir().mkpath(path("outside")) && QDir().mkpath(QFileInfo(path(link)).path()));
            QVERIFY(QFile::link(path("outside"), path(link)));
        }
        const QByteArray emptySignature = readFile(path("sparse.bin.sig"));
        const QStringList before = entries();

        const Result result = run(arguments); // a read that blocks fails the run's bound
        QCOMPARE(entries(), before); // nothing written or replaced, nothing through a link
        QCOMPARE(readFile(path("taken.key")) + readFile(path("sparse.bin.sig")), "old" + emptySignature);
        if (message.startsWith("Usage: ") || message.startsWith("manifesttool ")) {
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

    // Exit 0 valid, 1 missing or invalid (with the reason), 2 when something
    // cannot be read. The keys, their mode and refusals are tst_signing's.
    void checkSignature_data()
    {
        QTest::addColumn<QString>("change"); // what happens between signing and checking
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("output"); // stdout for 0 and 1, the start of the error for 2
        QTest::newRow("untouched") << "" << 0 << "list.txt: signature valid";
        QTest::newRow("one byte changed") << "edit" << 1 << "list.txt: signature invalid";
        QTest::newRow("signed again after a change") << "resign" << 0 << "list.txt: signature valid";
        QTest::newRow("no signature") << "remove-sig" << 1 << "list.txt: signature missing";
        QTest::newRow("empty signature") << "empty-sig" << 1 << "list.txt: signature missing";
        QTest::newRow("truncated signature") << "truncate-sig" << 1 << "list.txt: signature invalid (list.txt.sig is";
        QTest::newRow("another file's signature") << "other-sig" << 1 << "list.txt: signature invalid";
        QTest::newRow("wrong key") << "wrong-key" << 1 << "list.txt: signature invalid";
        QTest::newRow("signed by openssl") << "openssl-sig" << 0 << "list.txt: signature valid";
        // While a key replaces another: one line per --key, any line by any
        // --public_key will do.
        QTest::newRow("signed by two keys") << "two-keys" << 0 << "list.txt: signature valid";
        QTest::newRow("signed by two, checked with the other") << "two-keys,other-pub" << 0 << "list.txt: signature valid";
        QTest::newRow("checked with a stranger's key and the signer's") << "two-pubs" << 0 << "list.txt: signature valid";
        QTest::newRow("file gone") << "remove-file" << 2 << "manifesttool: cannot read 'list.txt'";
        QTest::newRow("key gone") << "remove-key" << 2 << "manifesttool: check-signature: cannot read 'k.pub'";
        QTest::newRow("private key given") << "private-key" << 2 << "manifesttool: check-signature: 'k.pub': a private key";
        QTest::newRow("signature unreadable") << "sig-folder" << 2 << "manifesttool: cannot read 'list.txt.sig'";
    }
    void checkSignature()
    {
        QFETCH(QString, change);
        QFETCH(int, exitCode);
        QFETCH(QString, output);
        QCOMPARE(run({"keygen", "k"}).exitCode, 0);
        QCOMPARE(run({"keygen", "other"}).exitCode, 0);
        QVERIFY(writeFile(path("list.txt"), "**UPDATE LIST**\n2.0.0.0#updater.exe\n"));
        QVERIFY(writeFile(path("second.txt"), "**UPDATE LIST**\n"));
        const Result signing = run({"sign", "list.txt", "--key", "k.key"});
        QCOMPARE(signing.exitCode, 0);
        QCOMPARE(signing.out, QStringLiteral("list.txt.sig written\n"));
        QCOMPARE(run({"sign", "second.txt", "--key", "k.key"}).exitCode, 0);

        const QString sig = path("list.txt.sig");
        const QByteArray signature = readFile(sig);
        if (change == "edit" || change == "resign") {
            QVERIFY(writeFile(path("list.txt"), "**UPDATE LIST**\n2.0.0.1#updater.exe\n"));
            // Replaced in one step: no other file is left beside it.
            if (change == "resign")
                QVERIFY(run({"sign", "list.txt", "--key", "k.key"}).exitCode == 0
                        && QDir(m_dir.path()).entryList({"list.txt*"}) == QStringList({"list.txt", "list.txt.sig"}));
        } else if (change == "remove-sig" || change == "sig-folder") {
            QVERIFY(QFile::remove(sig) && (change == "remove-sig" || QDir().mkpath(sig)));
        } else if (change == "empty-sig") {
            QVERIFY(writeFile(sig, QByteArray()));
        } else if (change == "truncate-sig") {
            QVERIFY(writeFile(sig, signature.left(50)));
        } else if (change == "other-sig") {
            QVERIFY(QFile::remove(sig) && QFile::copy(path("second.txt.sig"), sig));
        } else if (change == "wrong-key") {
            QVERIFY(QFile::remove(path("k.pub")) && QFile::copy(path("other.pub"), path("k.pub")));
        } else if (change == "openssl-sig") {
            QCOMPARE(run({"-c", QStringLiteral("'%1' pkeyutl -sign -rawin -inkey k.key -in list.txt | base64 -w0 > list.txt.sig")
                                    .arg(OPENSSL_PROGRAM)}, "sh").exitCode, 0);
            // Ed25519 is deterministic: sign wrote openssl's very signature.
            QCOMPARE(signature, readFile(sig) + "\n");
        } else if (change.startsWith("two-keys")) {
            // One line each, in the order given: k.key's is the one-key signature.
            QVERIFY(run({"sign", "list.txt", "--key", "other.key", "--key=k.key"}).exitCode == 0
                    && readFile(sig).count('\n') == 2 && readFile(sig).endsWith(signature) && readFile(sig) != signature + signature);
        } else if (change == "remove-file") {
            QVERIFY(QFile::remove(path("list.txt")));
        } else if (change == "remove-key" || change == "private-key") {
            QVERIFY(QFile::remove(path("k.pub")) && (change == "remove-key" || QFile::copy(path("k.key"), path("k.pub"))));
        }

        QStringList check{"check-signature", "list.txt", "--public_key", change.endsWith("other-pub") ? "other.pub" : "k.pub"};
        if (change == "two-pubs")
            check = QStringList{"check-signature", "list.txt", "--public_key", "other.pub"} + check.mid(2);
        const Result result = run(check);
        QCOMPARE(result.exitCode, exitCode);
        QCOMPARE(exitCode == 2 ? result.out : result.err, QString());
        const QString said = exitCode == 2 ? result.err : result.out;
        QVERIFY2(said.startsWith(output) && said.count('\n') == 1, qPrintable(said));
    }

    // Links are never followed: one that leaves the folder or leads nowhere
    // is an error naming it, and so is one inside unless
    // --follow_internal_links copies its target's element (whose url names
    // the target, so that the hosting never serves a link). "links": the
    // links made in makeTree's "app", "name>target" separated by ','.
    void createDescribesLinks_data()
    {
        QTest::addColumn<QString>("links");
        QTest::addColumn<bool>("follow");
        QTest::addColumn<QString>("expected"); // stderr for exit 2; the links' elements for 0
        QTest::newRow("folder outside") << "etc>/etc" << false << "'app/etc' is a link to '/etc', outside the folder";
        QTest::newRow("file outside, followed") << "passwd>/etc/passwd" << true
                                                << "'app/passwd' is a link to '/etc/passwd', outside the folder";
        QTest::newRow("leads nowhere") << "gone>nowhere" << true << "'app/gone' is a link to '" + path("app/nowhere")
                                           + "', which does not exist";
        QTest::newRow("file inside") << "alias.txt>readme.txt" << false
                                     << "'app/alias.txt' is a link to 'readme.txt' inside the folder, and links are not followed";
        QTest::newRow("file inside, followed") << "alias.txt>readme.txt" << true << "alias.txt@readme.txt";
        QTest::newRow("folder inside, followed, with a link in it")
            << "lib/plugins>../bin/plugins,bin/plugins/p2.so>p.so" << true
            << "bin/plugins/p2.so@bin/plugins/p.so,lib/plugins/p.so@bin/plugins/p.so,lib/plugins/p2.so@bin/plugins/p.so";
        QTest::newRow("folder holding it, followed") << "bin/up>.." << true
                                                     << "'app/bin/up' is a link to '.', which holds it or leads back to it";
        QTest::newRow("two links leading to each other") << "bin/l>../lib,lib/l>../bin" << true
                                                         << "'app/bin/l' is a link to 'lib', which holds it or leads back";
    }
    void createDescribesLinks()
    {
        QFETCH(QString, links);
        QFETCH(bool, follow);
        QFETCH(QString, expected);
        makeTree("app");
        for (const QString &link : links.split(','))
            QVERIFY(QFile::link(link.section('>', 1), path("app/" + link.section('>', 0, 0))));
        const Result result = run(QStringList{"create", "app", "-o", "m.xml"} + (follow ? QStringList{"--follow_internal_links"} : QStringList()));
        if (expected.startsWith('\'')) {
            QCOMPARE(result.exitCode, 2);
            QVERIFY2(result.err.contains("manifesttool: " + expected), qPrintable(result.err));
            QVERIFY(!QFile::exists(path("m.xml")));
            return;
        }
        QCOMPARE(result.exitCode, 0);
        // Each link's element is its target's, under the link's name.
        const QDomDocument document = readManifestDocument(path("m.xml"));
        QStringList described;
        const QDomNodeList files = document.elementsByTagName("file");
        for (int i = 0; i < files.size(); ++i) {
            const QDomElement file = files.at(i).toElement();
            const QString where = elementPath(file), url = file.attribute("url");
            if (where == url)
                continue;
            described << where + '@' + url;
            QCOMPARE(file.attribute("crc"), QString::fromLatin1(QCryptographicHash::hash(readFile(path("app/" + url)),
                                                                                         QCryptographicHash::Sha1).toHex()));
        }
        described.sort();
        QCOMPARE(described.join(','), expected);
        QCOMPARE(run({"verify", "m.xml", "app"}).exitCode, 0);
    }

    // A file that keeps growing while it is hashed is hashed three times,
    // then refused by name: never a size and a checksum of two moments.
    void createRefusesAGrowingFile()
    {
        QVERIFY(writeFile(path("app/small.txt"), "small"));
        QFile growing(path("app/growing.log"));
        QVERIFY(growing.open(QIODevice::WriteOnly) && growing.write(QByteArray(16 * 1024 * 1024, 'g')) > 0 && growing.flush());
        std::atomic<bool> done(false);
        std::atomic<qint64> written(0);
        std::thread writer([&] {
            const QByteArray line(4096, 'l');
            // Bounded: a quarter of a GiB at most, whatever happens.
            while (!done && written < (qint64(1) << 28)) {
                written += growing.write(line);
                growing.flush();
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
        });
        const Result result = run({"create", "app", "-o", "m.xml", "--jobs", "1"});
        done = true;
        writer.join();
        QCOMPARE(result.exitCode, 2);
        QVERIFY2(result.err.contains("manifesttool: 'app/growing.log' changed while it was hashed, 3 times"), qPrintable(result.err));
        QVERIFY(!QFile::exists(path("m.xml")));
        // Once it is left alone, its size and checksum are of one moment.
        QCOMPARE(run({"create", "app", "-o", "m.xml"}).exitCode, 0);
        const QDomElement file = readManifestDocument(path("m.xml")).documentElement().firstChildElement();
        QCOMPARE(file.attribute("name"), QStringLiteral("growing.log"));
        const QByteArray content = readFile(path("app/growing.log"));
        QCOMPARE(file.attribute("size").toLongLong(), qint64(content.size()));
        QCOMPARE(file.attribute("crc"), QString::fromLatin1(QCryptographicHash::hash(content, QCryptographicHash::Sha1).toHex()));
    }

    // check-list reads a list as versionupdater does: each line's version
    // and target, numbered as versionupdater's log numbers them, and a
    // warning wherever a line reads otherwise than it is written (which
    // ones: tst_versionlogic); exit 1 when there is any.
    void checkList_data()
    {
        QTest::addColumn<QByteArray>("list");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("output"); // refusals (exit 2): badInputAndHelp
        const QByteArray digest(64, 'a');
        QTest::newRow("as written") << "**UPDATE LIST** 2026\r\n1.2.0.1#http://h/u1.bin\r\n\r\n2.0.0.0#http://h/x.bin=bin/t.exe#sha256="
                                           + digest + "\n"
                                    << 0
                                    << "line 2: 1.2.0.1 http://h/u1.bin -> u1.bin\nline 4: 2.0.0.0 http://h/x.bin -> bin/t.exe sha256="
                                           + QString::fromLatin1(digest) + "\nlist.txt: 3 lines, 0 warnings\n";
        QTest::newRow("slips") << QByteArray("**UPDATE LIST**\n9..0.0#a.bin?x=1=q.bin\n+9.0.0.0#b.bin\n") << 1
                               << "line 2: 9.0.0.0 a.bin?x -> 1\n"
                                  "line 2: warning: version part 2 \"\" is empty: it reads as 0\n"
                                  "line 2: warning: the entry has 2 \"=\": it reads as URL \"a.bin?x\" and file name \"1\", "
                                  "the rest (\"q.bin\") is ignored\n"
                                  "line 3: 9.0.0.0 b.bin -> b.bin\n"
                                  "line 3: warning: version part 1 \"+9\" is signed: it reads as 9\n"
                                  "list.txt: 2 lines, 3 warnings\n";
    }
    void checkList()
    {
        QFETCH(QByteArray, list);
        QVERIFY(writeFile(path("list.txt"), list));
        const Result result = run({"check-list", "list.txt"});
        QTEST(result.exitCode, "exitCode");
        QCOMPARE(result.err, QString());
        QTEST(result.out, "output");
    }

    // --chunks: an index and block hashes for each file above the threshold,
    // in the hidden .chunks folder, named and checksummed on the file
    // element; a later run leaves exactly the indexes it names.
    void createWritesChunkIndexes()
    {
        makeTree("app");
        QByteArray random(int(3 * 1024 * 1024), Qt::Uninitialized);
        QRandomGenerator(5).fillRange(reinterpret_cast<quint32 *>(random.data()), random.size() / 4);
        const QMap<QString, QByteArray> large{{"big.bin", random},
                                              {"sub/edge.bin", random.left(1024 * 1024 + 1)},
                                              {"sp ace/\u00e9t\u00e9.bin", random.mid(5, 1536 * 1024)}};
        for (auto file = large.cbegin(); file != large.cend(); ++file)
            QVERIFY(writeFile(path("app/" + file.key()), file.value()));
        QVERIFY(writeFile(path("app/exact.bin"), random.left(1024 * 1024)));
        QVERIFY(writeFile(path("app/.chunks/old/gone.bin.idx"), "stale"));
        QVERIFY(writeFile(path("app/.chunks/notes.txt"), "not an index"));

        const Result result = run({"create", "app", "-o", "m.xml", "--chunks"});
        QCOMPARE(result.exitCode, 0);
        QVERIFY2(result.out.contains("3 chunk indexes in app/.chunks, 1 stale ones removed"), qPrintable(result.out));
        const QDomDocument document = readManifestDocument(path("m.xml"));
        const QDomNodeList files = document.elementsByTagName("file");
        QStringList indexed;
        for (int i = 0; i < files.size(); ++i) {
            const QDomElement file = files.at(i).toElement();
            const QString url = file.attribute("url");
            QVERIFY(!url.contains(".chunks"));
            if (!file.hasAttribute("chunks")) {
                QVERIFY(!file.hasAttribute("chunks_sha256") && !file.hasAttribute("blocks"));
                continue;
            }
            indexed << url;
            QCOMPARE(file.attribute("chunks"), ".chunks/" + url + ".idx");
            const QByteArray bytes = readFile(path("app/" + file.attribute("chunks")));
            QCOMPARE(file.attribute("chunks_sha256"), QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex()));
            QVector<Chunk> chunks;
            QString error;
            QVERIFY2(Chunker::chunkFile(path("app/" + url), &chunks, &error), qPrintable(error));
            QVERIFY(bytes == ChunkIndex(chunks).toBytes());
            // The block hashes: a header, then 8 bytes per 2 KiB of each chunk.
            QCOMPARE(file.attribute("blocks"), ".chunks/" + url + ".blk");
            const QByteArray blocks = readFile(path("app/" + file.attribute("blocks")));
            qint64 count = 0;
            for (const Chunk &chunk : chunks)
                count += (chunk.length + 2047) / 2048;
            QCOMPARE(qint64(blocks.size()), 8 + 8 * count);
            QVERIFY(blocks.startsWith("UPDBLK01"));
            QCOMPARE(blocks.mid(8, 8), QCryptographicHash::hash(large.value(url).left(2048), QCryptographicHash::Sha256).left(8));
        }
        indexed.sort();
        QCOMPARE(indexed, QStringList(large.keys()));
        QCOMPARE(run({"verify", "m.xml", "app"}).exitCode, 0);

        // The attributes are outside the global checksum; one thread writes the same.
        QCOMPARE(run({"create", "app", "-o", "plain.xml"}).exitCode, 0);
        QCOMPARE(document.documentElement().attribute("crc"), readManifestDocument(path("plain.xml")).documentElement().attribute("crc"));
        QCOMPARE(run({"create", "app", "-o", "one.xml", "--chunks", "--jobs", "1"}).exitCode, 0);
        QCOMPARE(manifestText("one.xml"), manifestText("m.xml"));

        // A higher threshold: the other indexes and their emptied folders go.
        QCOMPARE(run({"create", "app", "-o", "m.xml", "--chunks", "--chunk_threshold", "2000000"}).exitCode, 0);
        QStringList left;
        QDirIterator it(path("app/.chunks"), QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
        while (it.hasNext())
            left << QDir(path("app/.chunks")).relativeFilePath(it.next());
        left.sort();
        QCOMPARE(left, (QStringList{"big.bin.blk", "big.bin.idx", "notes.txt"}));
        QCOMPARE(manifestText("m.xml").count("chunks="), 1);
    }

    // Hashing on many threads writes the very manifest that one thread
    // writes; "-o -" writes it to standard output, and nothing else there.
    void parallelCreateMatchesSingleThreaded()
    {
        QByteArray block;
        for (int i = 0; i < 300000; ++i)
            block += char(i * 7 + i / 251);
        for (int i = 0; i < 240; ++i) {
            const int size = (i * 7919) % 5 == 0 ? 0 : (i * 104729) % 300000;
            QVERIFY(writeFile(path(QStringLiteral("app/d%1/e%2/f%3.bin").arg(i % 7).arg(i % 3).arg(i)),
                              QByteArray::number(i) + block.left(size)));
        }
        QVERIFY(writeFile(path("app/top.txt"), "top"));

        QCOMPARE(run({"create", "app", "-o", "one.xml", "--jobs", "1"}).exitCode, 0);
        QCOMPARE(run({"create", "app", "-o", "many.xml", "--jobs", "8"}).exitCode, 0);
        const Result standardOutput = run({"create", "app", "-o", "-"});
        QCOMPARE(standardOutput.exitCode, 0);
        QCOMPARE(standardOutput.err, QString());
        const QString one = manifestText("one.xml");
        QVERIFY(one.count("<file ") == 241 && one.count("sha256=") == 241);
        QCOMPARE(manifestText("many.xml"), one);
        QCOMPARE(withoutDate(standardOutput.out), one);
        QVERIFY(!QFile::exists(path("-")) && !QFile::exists(path("app/-")));
        QCOMPARE(run({"verify", "many.xml", "app", "--jobs", "3"}).exitCode, 0);
    }
};

QTEST_MAIN(TestManifestTool)
#include "tst_manifesttool.moc"
