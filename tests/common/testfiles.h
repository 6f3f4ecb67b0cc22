#ifndef TESTFILES_H
#define TESTFILES_H

// File helpers shared by the tests.

#include <QByteArray>
#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QMap>

// Writes content, making the parent folders first; true when all was written.
inline bool writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

// The file's bytes, or "<missing>" when it cannot be read.
inline QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

// A folder's content: relative path -> bytes; a path ending in "/" is an
// empty folder.
using Tree = QMap<QString, QByteArray>;

inline bool writeTree(const QString &root, const Tree &tree)
{
    bool ok = QDir().mkpath(root);
    for (auto it = tree.cbegin(); it != tree.cend(); ++it)
        ok = (it.key().endsWith('/') ? QDir().mkpath(root + '/' + it.key()) : writeFile(root + '/' + it.key(), it.value())) && ok;
    return ok;
}

// Links are listed as what they are, "-> target", never followed.
inline Tree readTree(const QString &root)
{
    Tree tree;
    QDirIterator it(root, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next(), rel = QDir(root).relativeFilePath(path);
        if (it.fileInfo().isSymLink())
            tree.insert(rel, "-> " + it.fileInfo().symLinkTarget().toUtf8());
        else if (!it.fileInfo().isDir())
            tree.insert(rel, readFile(path));
        else if (QDir(path).isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System))
            tree.insert(rel + '/', QByteArray());
    }
    return tree;
}

// The manifest of a tree as a release lists it: each file with its size,
// SHA-1 (and SHA-256 when asked) and its path as url; folders nested.
// `rootAttributes` go on the root as written.
inline QByteArray manifestOfTree(const Tree &tree, const QString &version, bool sha256 = false,
                                 const QString &rootAttributes = QString())
{
    struct Level
    {
        static QString of(const Tree &tree, const QString &prefix, bool sha256)
        {
            QString xml;
            QStringList folders;
            for (auto it = tree.cbegin(); it != tree.cend(); ++it) {
                if (!it.key().startsWith(prefix))
                    continue;
                const QString rest = it.key().mid(prefix.size());
                if (rest.isEmpty())
                    continue; // the folder itself
                const int slash = rest.indexOf('/');
                if (slash < 0) {
                    xml += QStringLiteral("<file name='%1' url='%2' size='%3' crc='%4'%5/>")
                               .arg(rest.toHtmlEscaped(), it.key().toHtmlEscaped())
                               .arg(it.value().size())
                               .arg(QString::fromLatin1(QCryptographicHash::hash(it.value(), QCryptographicHash::Sha1).toHex()),
                                    sha256 ? " sha256='" + QString::fromLatin1(QCryptographicHash::hash(it.value(), QCryptographicHash::Sha256).toHex()) + "'"
                                           : QString());
                } else if (!folders.contains(rest.left(slash))) {
                    folders << rest.left(slash);
                }
            }
            for (const QString &folder : folders)
                xml += QStringLiteral("<directory name='%1'>%2</directory>")
                           .arg(folder.toHtmlEscaped(), of(tree, prefix + folder + '/', sha256));
            return xml;
        }
    };
    return QStringLiteral("<UPDATE_STRUCTURE name='app' version='%1'%2>%3</UPDATE_STRUCTURE>\n")
        .arg(version, rootAttributes, Level::of(tree, QString(), sha256))
        .toUtf8();
}

#endif // TESTFILES_H
