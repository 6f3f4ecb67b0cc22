#ifndef FOLDERSCANNER_H
#define FOLDERSCANNER_H

#include "filechecksum.h"

#include <QDir>
#include <QDomDocument>
#include <QDomElement>
#include <QFileInfo>
#include <QSet>
#include <QString>

#include <functional>
#include <memory>
#include <vector>

// Builds a manifest document that mirrors a folder: one "directory" element
// per subfolder, one "file" element (name, crc, size, url, sha256) per file,
// at every level directories first, then files, each in name order. Hidden
// entries are left out. Made for one scan and discarded afterwards.
//
// A file that cannot be read keeps its element with an empty "crc" and no
// "sha256". scan() hashes the files on several threads once the tree is
// listed; the document is the same whatever the number of threads.
class FolderScanner
{
public:
    // Returns a handle on the built document (it shares the scanner's tree).
    QDomDocument scan(const QString &folder);

    // How many files scan() hashes at once: 0 (the default) for one per
    // processor core, 1 to hash each file as it is listed.
    void setHashThreads(int count);

    // Makes the observer that sees one file's content while it is hashed
    // (see fileChecksums()), or none for that file. Called with the file's
    // "url" and listed size, on the hashing threads, so it must be safe to
    // call from several at once; the observer is destroyed after the file.
    using ContentObserverFactory =
        std::function<std::unique_ptr<FileContentObserver>(const QString &url, qint64 size)>;
    void setContentObserverFactory(ContentObserverFactory factory);

    void addFileElement(QDomElement parent, QFileInfo entry);
    void addDirectoryElement(QDomElement parent, QFileInfo entry);

private:
    struct PendingFile
    {
        QDomElement element;
        QString path;
        QString url; // copied: the document is not read from other threads
        qint64 size;
    };

    void addEntries(QDomElement parent, const QString &folder);
    void hashPendingFiles();
    FileChecksums hashFile(const PendingFile &file) const;

    int m_hashThreads = 0;
    ContentObserverFactory m_observerFactory;
    // Set during a threaded scan: the file elements whose checksums are
    // still to be filled in, in the order they were listed.
    std::unique_ptr<std::vector<PendingFile>> m_pending;

    QDomDocument m_document;
    QString m_folder;
    // The scanned folder; relative file paths ("url") are computed from it.
    std::unique_ptr<QDir> m_dir;
    // Canonical paths of the directories being filled, so that a link back
    // to one of them is not followed into an endless descent.
    QSet<QString> m_openDirectories;
};

#endif // FOLDERSCANNER_H
