#include "testfiles.h"
#include "chunker.h"
#include "chunkindex.h"
#include "manifest.h"

#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

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
        const QDateTime before = QDateTime::currentDateTimeUtc();
        // The manifest written inside its folder is left out of it.
        const Result result = run({"create", "app", "-o", "app/manifest.xml", "--version", "2.1", "--expires", "30"});
        QCOMPARE(result.exitCode, 0);
        QCOMPARE(result.err, QString());

        const QDomDocument document = readManifestDocument(path("app/manifest.xml"));
        const QDomElement root = document.documentElement();
        QCOMPARE(QStringList({root.tagName(), root.attribute("name"), root.attribute("version")}).join(' '),
                 QStringLiteral("UPDATE_STRUCTURE ROOT 2.1"));
        QVERIFY(QRegularExpression("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}$").match(root.attribute("date")).hasMatch());
        QVERIFY(result.out.contains(root.attribute("crc")));
        QCOMPARE(Manifest(root).globalChecksum(), root.attribute("crc"));
        const QString expires = root.attribute("expires");
        QVERIFY2(QRegularExpression("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ$").match(expires).hasMatch(), qPrintable(expires));
        const QDateTime expiry = QDateTime::fromString(expires, Qt::ISODate);
        QVERIFY(expiry >= before.addDays(30).addSecs(-1) && expiry <= QDateTime::currentDateTimeUtc().addDays(30));

        // How entries are written is the scanner's (tst_manifest).
        QStringList top;
        for (QDomElement e = root.firstChildElement(); !e.isNull(); e = e.nextSiblingElement())
            top << e.tagName() + ":" + e.attribute("name");
        QCOMPARE(top, (QStringList{"file:readme.txt", "directory:bin", "directory:lib"}));
        QCOMPARE(root.firstChildElement().attribute("sha256"),
                 QString::fromLatin1(QCryptographicHash::hash("hello\n", QCryptographicHash::Sha256).toHex()));
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
        QTest::newRow("create, threshold without chunks") << create({"--chunk_threshold", "10"}) << "--chunk_threshold needs --chunks";
        QTest::newRow("create, negative threshold") << create({"--chunks", "--chunk_threshold=-1"})
                                                    << "--chunk_threshold takes a number of bytes";
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
    }
    void badInputAndHelp()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, message);
        makeTree("app");
        QVERIFY(writeFile(path("good.xml"), "<UPDATE_STRUCTURE/>\n") && writeFile(path("taken.key"), "old"));
        QVERIFY(writeFile(path("bad.xml"), "<UPDATE_STRUCTURE>\n<file name=\"a\"/>\n<file </UPDATE_STRUCTURE>\n"));
        for (const auto &[name, levels] : {std::pair<const char *, int>{"deep.xml", 300}, {"deeper.xml", 100000}})
            QVERIFY(writeFile(path(name), "<UPDATE_STRUCTURE>" + QByteArray("<directory name=\"d\">").repeated(levels) +
                                              QByteArray("</directory>").repeated(levels) + "</UPDATE_STRUCTURE>"));

        const Result result = run(arguments);
        QVERIFY(!QFile::exists(path("m.xml")) && !QFile::exists(path("good.xml.sig")));
        QCOMPARE(readFile(path("taken.key")), QByteArray("old"));
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
        } else if (change == "remove-file") {
            QVERIFY(QFile::remove(path("list.txt")));
        } else if (change == "remove-key" || change == "private-key") {
            QVERIFY(QFile::remove(path("k.pub")) && (change == "remove-key" || QFile::copy(path("k.key"), path("k.pub"))));
        }

        const Result result = run({"check-signature", "list.txt", "--public_key", "k.pub"});
        QCOMPARE(result.exitCode, exitCode);
        QCOMPARE(exitCode == 2 ? result.out : result.err, QString());
        const QString said = exitCode == 2 ? result.err : result.out;
        QVERIFY2(said.startsWith(output) && said.count('\n') == 1, qPrintable(said));
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

    // Indexes are written into the folder only, never through a link.
    void chunkIndexesStayInTheFolder_data()
    {
        QTest::addColumn<QString>("link");
        QTest::newRow("the folder") << "app/.chunks";
        QTest::newRow("a subfolder") << "app/.chunks/sub";
    }
    void chunkIndexesStayInTheFolder()
    {
        QFETCH(QString, link);
        QVERIFY(writeFile(path("app/sub/big.bin"), QByteArray(2 * 1024 * 1024, 's')));
        QVERIFY(QDir().mkpath(path("outside")) && QDir().mkpath(QFileInfo(path(link)).path()));
        QVERIFY(QFile::link(path("outside"), path(link)));
        const Result result = run({"create", "app", "-o", "m.xml", "--chunks"});
        QCOMPARE(result.exitCode, 2);
        QVERIFY2(result.err.contains(link + "' is a link"), qPrintable(result.err));
        QVERIFY(QDir(path("outside")).isEmpty());
        QVERIFY(!QFile::exists(path("m.xml")));
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
