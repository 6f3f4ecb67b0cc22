#include "folderscanner.h"

#include "filechecksum.h"

#include <QThread>

#include <algorithm>
#include <atomic>
#include <numeric>
#include <system_error>
#include <thread>

namespace {

// More threads than this buy nothing on any disk or page cache.
constexpr int kMaxHashThreads = 64;

void setChecksums(QDomElement file, const FileChecksums &checksums)
{
    file.setAttribute(QStringLiteral("crc"), checksums.sha1);
    if (!checksums.sha256.isEmpty())
        file.setAttribute(QStringLiteral("sha256"), checksums.sha256);
}

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
    if (m_hashThreads != 1)
        m_pending = std::make_unique<std::vector<PendingFile>>();
    addEntries(root, folder);
    if (m_pending) {
        hashPendingFiles();
        m_pending.reset();
    }
    return m_document;
}

void FolderScanner::setHashThreads(int count)
{
    m_hashThreads = qBound(0, count, kMaxHashThreads);
}

void FolderScanner::setContentObserverFactory(ContentObserverFactory factory)
{
    m_observerFactory = std::move(factory);
}

FileChecksums FolderScanner::hashFile(const PendingFile &file) const
{
    std::unique_ptr<FileContentObserver> observer;
    if (m_observerFactory)
        observer = m_observerFactory(file.url, file.size);
    return fileChecksums(file.path, observer.get());
}

void FolderScanner::hashPendingFiles()
{
    const std::vector<PendingFile> &pending = *m_pending;
    const size_t count = pending.size();
    std::vector<FileChecksums> results(count);
    // Largest files first, so that no thread is left with a big one at the
    // end while the others idle; each result still goes to its own file.
    std::vector<size_t> order(count);
    std::iota(order.begin(), order.end(), size_t(0));
    std::stable_sort(order.begin(), order.end(),
                     [&](size_t a, size_t b) { return pending[a].size > pending[b].size; });
    std::atomic<size_t> next{0};
    auto work = [&] {
        for (size_t i = next++; i < count; i = next++)
            results[order[i]] = hashFile(pending[order[i]]);
    };

    const int wanted = m_hashThreads > 0 ? m_hashThreads : qBound(1, QThread::idealThreadCount(), kMaxHashThreads);
    std::vector<std::thread> helpers;
    for (size_t t = 1; t < size_t(wanted) && t < count; ++t) {
        try {
            helpers.emplace_back(work);
        } catch (const std::system_error &) {
            break; // fewer threads, same result
        }
    }
    work();
    for (std::thread &helper : helpers)
        helper.join();

    // The document is only touched here, on the scanning thread.
    for (size_t i = 0; i < count; ++i)
        setChecksums(pending[i].element, results[i]);
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
    // Filled in by hashPendingFiles() in a threaded scan; the attribute is
    // set now so that the attributes keep their order.
    file.setAttribute(QStringLiteral("crc"), QString());
    file.setAttribute(QStringLiteral("size"), QString::number(entry.size()));
    // Relative to the scanned folder, components separated by "/".
    const QString url = m_dir->relativeFilePath(entry.absoluteFilePath());
    file.setAttribute(QStringLiteral("url"), url);
    parent.appendChild(file);
    const PendingFile pending{file, entry.filePath(), url, entry.size()};
    if (m_pending)
        m_pending->push_back(pending);
    else
        setChecksums(file, hashFile(pending));
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
