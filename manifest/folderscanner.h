#ifndef FOLDERSCANNER_H
#define FOLDERSCANNER_H

#include <QDir>
#include <QDomDocument>
#include <QDomElement>
#include <QFileInfo>
#include <QSet>
#include <QString>

#include <memory>

// Builds a manifest document that mirrors a folder: one "directory" element
// per subfolder, one "file" element (name, crc, size, url) per file, at every
// level directories first, then files, each in name order. Hidden entries
// are left out. Made for one scan and discarded afterwards.
class FolderScanner
{
public:
    // Returns a handle on the built document (it shares the scanner's tree).
    QDomDocument scan(const QString &folder);

    void addFileElement(QDomElement parent, QFileInfo entry);
    void addDirectoryElement(QDomElement parent, QFileInfo entry);

private:
    void addEntries(QDomElement parent, const QString &folder);

    QDomDocument m_document;
    QString m_folder;
    // The scanned folder; relative file paths ("url") are computed from it.
    std::unique_ptr<QDir> m_dir;
    // Canonical paths of the directories being filled, so that a link back
    // to one of them is not followed into an endless descent.
    QSet<QString> m_openDirectories;
};

#endif // FOLDERSCANNER_H
