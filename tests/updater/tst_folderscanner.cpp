#include "filechecksum.h"
#include "folderscanner.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

namespace {

void writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(content);
}

// tag:name[url] per element, children in brackets.
QString describe(const QDomElement &parent)
{
    QStringList parts;
    for (QDomElement e = parent.firstChildElement(); !e.isNull(); e = e.nextSiblingElement()) {
        QString part = e.tagName() + QLatin1Char(':') + e.attribute(QStringLiteral("name"));
        if (e.hasAttribute(QStringLiteral("url")))
            part += QLatin1Char('[') + e.attribute(QStringLiteral("url")) + QLatin1Char(']');
        if (e.tagName() == QLatin1String("directory"))
            part += QLatin1Char('(') + describe(e) + QLatin1Char(')');
        parts << part;
    }
    return parts.join(QLatin1Char(' '));
}

} // namespace

class TestFolderScanner : public QObject
{
    Q_OBJECT
private slots:
    void mirrorsFolder();
    void fileAttributes();
    void unreadableFileKeepsItsElement();
    void linkLoopEnds();
    void missingFolderGivesEmptyRoot();
};

void TestFolderScanner::mirrorsFolder()
{
    QTemporaryDir dir;
    writeFile(dir.filePath("sub/x.txt"), "x");
    writeFile(dir.filePath("y.bin"), "y");
    writeFile(dir.filePath("README"), "r");
    writeFile(dir.filePath("lib.d/deep/a.so"), "a");
    writeFile(dir.filePath(".hidden"), "h");
    writeFile(dir.filePath(".git/config"), "c");
    writeFile(dir.filePath("sub/.secret"), "s");
    QVERIFY(QDir(dir.path()).mkpath("empty"));

    FolderScanner scanner;
    const QDomDocument document = scanner.scan(dir.path());
    const QDomElement root = document.documentElement();
    QCOMPARE(root.tagName(), QStringLiteral("UPDATE_STRUCTURE"));
    QCOMPARE(root.attributes().count(), 0);
    QCOMPARE(describe(root),
             QStringLiteral("directory:empty() directory:lib.d(directory:deep(file:a.so[lib.d/deep/a.so])) "
                            "directory:sub(file:x.txt[sub/x.txt]) file:README[README] file:y.bin[y.bin]"));
}

void TestFolderScanner::fileAttributes()
{
    QTemporaryDir dir;
    writeFile(dir.filePath("a/b.dat"), "abc");
    FolderScanner scanner;
    // A relative spelling of the folder gives the same relative urls.
    const QString folder = QDir::current().relativeFilePath(dir.path());
    const QDomElement file =
        scanner.scan(folder).documentElement().firstChildElement().firstChildElement();
    QCOMPARE(file.attribute("name"), QStringLiteral("b.dat"));
    QCOMPARE(file.attribute("crc"), QStringLiteral("a9993e364706816aba3e25717850c26c9cd0d89d"));
    QCOMPARE(file.attribute("size"), QStringLiteral("3"));
    QCOMPARE(file.attribute("url"), QStringLiteral("a/b.dat"));
    QVERIFY(!file.hasAttribute("date") && !file.hasAttribute("version"));
}

void TestFolderScanner::unreadableFileKeepsItsElement()
{
#ifndef Q_OS_LINUX
    QSKIP("needs a file that opens but cannot be read");
#else
    QTemporaryDir dir;
    // Reading this fails even for root, unlike a file without permissions.
    QVERIFY(QFile::link(QStringLiteral("/proc/self/mem"), dir.filePath("mem")));
    FolderScanner scanner;
    const QDomElement file = scanner.scan(dir.path()).documentElement().firstChildElement();
    QCOMPARE(file.attribute("name"), QStringLiteral("mem"));
    QVERIFY(file.hasAttribute("crc"));
    QCOMPARE(file.attribute("crc"), QString());
#endif
}

void TestFolderScanner::linkLoopEnds()
{
    QTemporaryDir dir;
    writeFile(dir.filePath("a/f"), "f");
    QVERIFY(QFile::link(dir.path(), dir.filePath("a/up")));
    FolderScanner scanner;
    const QDomElement root = scanner.scan(dir.path()).documentElement();
    QCOMPARE(describe(root), QStringLiteral("directory:a(file:f[a/f])"));
}

void TestFolderScanner::missingFolderGivesEmptyRoot()
{
    QTemporaryDir dir;
    FolderScanner scanner;
    const QDomElement root = scanner.scan(dir.filePath("none")).documentElement();
    QCOMPARE(root.tagName(), QStringLiteral("UPDATE_STRUCTURE"));
    QVERIFY(!root.hasChildNodes());
}

QTEST_MAIN(TestFolderScanner)
#include "tst_folderscanner.moc"
