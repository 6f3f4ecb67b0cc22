#ifndef FOLDERSCANNER_H
#define FOLDERSCANNER_H

#include "filechecksum.h"

#include <QDir>
#include <QDomDocument>
#include <QDomElement>
#include <QFileInfo>
#include <QHash>
#include <QString>
#include <QStringList>

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
// listed; the document is the same whatever the number of threads. Each
// file is hashed from one open descriptor, and its "size" is what was
// read; a file whose size or modification time changed by the end is
// hashed again, at most twice, and then left as a problem.
//
// Links are never followed. A link whose target lies outside the folder,
// or that leads nowhere, is a problem and gets no element; so is a link to
// an entry inside the folder, unless internal links are followed: its
// element is then a copy of its target's, named after the link, whose
// "url" still names the target, so that a client fetches the target and
// the hosting never has to serve a link.
class FolderScanner
{
public:
    // Returns a handle on the built document (it shares the scanner's tree).
    QDomDocument scan(const QString &folder);

    void setFollowInternalLinks(bool follow);
    // After scan(): what the document does not describe as it is on disk,
    // one text per entry, naming it; empty when it describes the folder.
    QStringList problems() const { return m_problems; }

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
    struct Hashed
    {
        FileChecksums checksums; // empty when the file could not be read
        qint64 size = 0;
        QString problem;
    };
    // A link inside the folder, followed: its element stands in for the
    // copy of its target's until every file is hashed.
    struct PendingLink
    {
        QDomElement element;
        QString url;
        QString path;
        QString target; // path of the target from the folder; empty: the folder
    };

    void addEntries(QDomElement parent, const QString &folder);
    void addLinkElement(QDomElement parent, const QFileInfo &entry);
    void hashPendingFiles();
    Hashed hashFile(const PendingFile &file) const;
    void setHashed(QDomElement file, const Hashed &hashed);
    void resolveLinks();
    // Copies the target's element over the link's, after the links inside
    // the target; false on a loop of links.
    bool resolveLink(size_t index, const QHash<QString, QDomElement> &elements, std::vector<int> *states);

    int m_hashThreads = 0;
    ContentObserverFactory m_observerFactory;
    // Set during a threaded scan: the file elements whose checksums are
    // still to be filled in, in the order they were listed.
    std::unique_ptr<std::vector<PendingFile>> m_pending;

    QDomDocument m_document;
    QString m_folder;
    // The scanned folder; relative file paths ("url") are computed from it.
    std::unique_ptr<QDir> m_dir;
    QString m_canonicalFolder;
    bool m_followInternalLinks = false;
    std::vector<PendingLink> m_links;
    QStringList m_problems;
};

#endif // FOLDERSCANNER_H
