#include "folderscanner.h"

#include "filechecksum.h"

namespace {

QFileInfoList listEntries(const QString &folder)
{
    // No QDir::Hidden and no QDir::System: hidden entries and things that
    // are neither files nor folders (and dangling links) stay out.
    return QDir(folder).entryInfoList(QDir::Dirs | QDir::Files | QDir::NoDotAndDotDot,
                                      QDir::Name | QDir::DirsFirst);
}

} // namespace

QDomDocument FolderScanner::scan(const QString &folder)
{
    m_folder = folder;
    m_document = QDomDocument();
    m_openDirectories.clear();
    QDomElement root = m_document.createElement(QStringLiteral("UPDATE_STRUCTURE"));
    m_document.appendChild(root);
    m_dir = std::make_unique<QDir>(folder);
    addEntries(root, folder);
    return m_document;
}

void FolderScanner::addEntries(QDomElement parent, const QString &folder)
{
    const QString canonical = QFileInfo(folder).canonicalFilePath();
    m_openDirectories.insert(canonical);
    for (const QFileInfo &entry : listEntries(folder)) {
        if (entry.isDir())
            addDirectoryElement(parent, entry);
        else if (entry.isFile())
            addFileElement(parent, entry);
    }
    m_openDirectories.remove(canonical);
}

void FolderScanner::addFileElement(QDomElement parent, QFileInfo entry)
{
    // The listing may be stale by now: a file that vanished is skipped.
    entry.refresh();
    if (!entry.isFile() || !entry.exists() || !m_dir)
        return;
    QDomElement file = m_document.createElement(QStringLiteral("file"));
    file.setAttribute(QStringLiteral("name"), entry.fileName());
    // An unreadable file keeps its element, with an empty checksum.
    file.setAttribute(QStringLiteral("crc"),
                      fileChecksum(entry.filePath(), QCryptographicHash::Sha1));
    file.setAttribute(QStringLiteral("size"), QString::number(entry.size()));
    // Relative to the scanned folder, components separated by "/".
    file.setAttribute(QStringLiteral("url"),
                      m_dir->relativeFilePath(entry.absoluteFilePath()));
    parent.appendChild(file);
}

void FolderScanner::addDirectoryElement(QDomElement parent, QFileInfo entry)
{
    entry.refresh();
    if (!entry.isDir() || !entry.exists())
        return;
    // A link to a folder that is being filled would mirror itself forever.
    if (m_openDirectories.contains(entry.canonicalFilePath()))
        return;
    QDomElement directory = m_document.createElement(QStringLiteral("directory"));
    directory.setAttribute(QStringLiteral("name"), entry.fileName());
    parent.appendChild(directory);
    addEntries(directory, entry.filePath());
}
