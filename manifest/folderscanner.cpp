#include "folderscanner.h"

#include "filechecksum.h"
#include "parallelwork.h"

#include <QFile>

#include <algorithm>
#include <numeric>

#ifndef Q_OS_WIN
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

// A file is hashed once, and again at most twice when it changed meanwhile.
constexpr int kHashAttempts = 3;

QFileInfoList listEntries(const QString &folder)
{
    // No QDir::Hidden: hidden entries stay out. QDir::System lists links
    // that lead nowhere (and special files, which the scan leaves out).
    return QDir(folder).entryInfoList(QDir::Dirs | QDir::Files | QDir::System | QDir::NoDotAndDotDot,
                                      QDir::Name | QDir::DirsFirst);
}

bool isLink(const QFileInfo &entry)
{
    return entry.isSymbolicLink() || entry.isJunction();
}

// What tells a file that changed while it was read from one that did not.
struct FileState
{
    qint64 size = -1;
    qint64 modified = 0; // nanoseconds (POSIX), milliseconds (Windows)
    quint64 device = 0, inode = 0;
    bool operator==(const FileState &other) const
    {
        return size == other.size && modified == other.modified && device == other.device && inode == other.inode;
    }
};

#ifndef Q_OS_WIN
FileState stateOf(const struct stat &info)
{
    FileState state;
    state.size = qint64(info.st_size);
    state.modified = qint64(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
    state.device = quint64(info.st_dev);
    state.inode = quint64(info.st_ino);
    return state;
}
#endif

// Opens `path` for hashing, never through a link and never blocking on a
// special file, and gives the state of what was opened. False with
// *problem empty when it cannot be read, set when it is no regular file.
bool openForHashing(const QString &path, QFile *file, FileState *state, QString *problem)
{
#ifdef Q_OS_WIN
    file->setFileName(path);
    if (!file->open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return false;
    state->size = file->size();
    state->modified = file->fileTime(QFileDevice::FileModificationTime).toMSecsSinceEpoch();
    Q_UNUSED(problem)
    return true;
#else
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ELOOP)
            *problem = QStringLiteral("'%1' became a link while it was scanned").arg(path);
        return false;
    }
    struct stat info;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        *problem = QStringLiteral("'%1' is no longer a regular file").arg(path);
        ::close(fd);
        return false;
    }
    if (!file->open(fd, QIODevice::ReadOnly | QIODevice::Unbuffered, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return false;
    }
    *state = stateOf(info);
    return true;
#endif
}

// The state of the open file now, and of whatever its path names now: a
// file replaced under its name counts as changed.
bool stateNow(const QString &path, QFile *file, FileState *state)
{
#ifdef Q_OS_WIN
    Q_UNUSED(path)
    state->size = file->size();
    state->modified = file->fileTime(QFileDevice::FileModificationTime).toMSecsSinceEpoch();
    return true;
#else
    struct stat opened, named;
    if (::fstat(file->handle(), &opened) != 0 || ::lstat(QFile::encodeName(path).constData(), &named) != 0)
        return false;
    *state = stateOf(opened);
    return named.st_dev == opened.st_dev && named.st_ino == opened.st_ino;
#endif
}

} // namespace

QDomDocument FolderScanner::scan(const QString &folder)
{
    m_folder = folder;
    m_document = QDomDocument();
    m_links.clear();
    m_problems.clear();
    m_canonicalFolder = QFileInfo(folder).canonicalFilePath();
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
    resolveLinks();
    return m_document;
}

void FolderScanner::setHashThreads(int count)
{
    m_hashThreads = qBound(0, count, ParallelWork::kMaxThreads);
}

void FolderScanner::setFollowInternalLinks(bool follow)
{
    m_followInternalLinks = follow;
}

void FolderScanner::setContentObserverFactory(ContentObserverFactory factory)
{
    m_observerFactory = std::move(factory);
}

FolderScanner::Hashed FolderScanner::hashFile(const PendingFile &file) const
{
    Hashed hashed;
    for (int attempt = 0; attempt < kHashAttempts; ++attempt) {
        QFile device;
        FileState before, after;
        if (!openForHashing(file.path, &device, &before, &hashed.problem))
            return hashed;
        std::unique_ptr<FileContentObserver> observer;
        if (m_observerFactory)
            observer = m_observerFactory(file.url, before.size);
        qint64 bytes = 0;
        const FileChecksums checksums = readChecksums(device, observer.get(), &bytes);
        if (checksums.sha1.isEmpty())
            return hashed; // unreadable: the element keeps an empty crc
        if (stateNow(file.path, &device, &after) && after == before && bytes == before.size) {
            if (observer)
                observer->finish();
            hashed.checksums = checksums;
            hashed.size = bytes;
            return hashed;
        }
    }
    hashed.problem = QStringLiteral("'%1' changed while it was hashed, %2 times: it is still being written")
                         .arg(file.path)
                         .arg(kHashAttempts);
    return hashed;
}

void FolderScanner::setHashed(QDomElement file, const Hashed &hashed)
{
    file.setAttribute(QStringLiteral("crc"), hashed.checksums.sha1);
    if (!hashed.checksums.sha256.isEmpty()) {
        file.setAttribute(QStringLiteral("size"), QString::number(hashed.size));
        file.setAttribute(QStringLiteral("sha256"), hashed.checksums.sha256);
    }
    if (!hashed.problem.isEmpty())
        m_problems << hashed.problem;
}

void FolderScanner::hashPendingFiles()
{
    const std::vector<PendingFile> &pending = *m_pending;
    const size_t count = pending.size();
    std::vector<Hashed> results(count);
    // Largest files first, so that no thread is left with a big one at the
    // end while the others idle; each result still goes to its own file.
    std::vector<size_t> order(count);
    std::iota(order.begin(), order.end(), size_t(0));
    std::stable_sort(order.begin(), order.end(),
                     [&](size_t a, size_t b) { return pending[a].size > pending[b].size; });
    ParallelWork::run(count, m_hashThreads, [&](size_t i) { results[order[i]] = hashFile(pending[order[i]]); });

    // The document is only touched here, on the scanning thread.
    for (size_t i = 0; i < count; ++i)
        setHashed(pending[i].element, results[i]);
}

void FolderScanner::addEntries(QDomElement parent, const QString &folder)
{
    for (const QFileInfo &entry : listEntries(folder)) {
        if (isLink(entry))
            addLinkElement(parent, entry);
        else if (entry.isDir())
            addDirectoryElement(parent, entry);
        else if (entry.isFile())
            addFileElement(parent, entry);
    }
}

void FolderScanner::addLinkElement(QDomElement parent, const QFileInfo &entry)
{
    const QString path = entry.filePath();
    const QString shown = QFileInfo(entry.absoluteFilePath()).symLinkTarget();
    // The whole chain of links resolved; empty when it leads nowhere.
    const QString target = entry.canonicalFilePath();
    const QString prefix = m_canonicalFolder.endsWith(QLatin1Char('/')) ? m_canonicalFolder : m_canonicalFolder + QLatin1Char('/');
    if (target.isEmpty() || m_canonicalFolder.isEmpty()) {
        m_problems << QStringLiteral("'%1' is a link to '%2', which does not exist").arg(path, shown);
        return;
    }
    if (target != m_canonicalFolder && !target.startsWith(prefix)) {
        m_problems << QStringLiteral("'%1' is a link to '%2', outside the folder").arg(path, target);
        return;
    }
    const QString relative = target == m_canonicalFolder ? QString() : target.mid(prefix.size());
    if (!m_followInternalLinks || !m_dir) {
        m_problems << QStringLiteral("'%1' is a link to '%2' inside the folder, and links are not followed")
                          .arg(path, relative.isEmpty() ? QStringLiteral(".") : relative);
        return;
    }
    QDomElement element = m_document.createElement(QStringLiteral("file"));
    element.setAttribute(QStringLiteral("name"), entry.fileName());
    parent.appendChild(element);
    m_links.push_back({element, m_dir->relativeFilePath(entry.absoluteFilePath()), path, relative});
}

void FolderScanner::resolveLinks()
{
    if (m_links.empty())
        return;
    // The listed entries by their path from the folder; a link's target is
    // a real path, never one through another link.
    QHash<QString, QDomElement> elements;
    std::vector<std::pair<QDomElement, QString>> folders{{m_document.documentElement(), QString()}};
    while (!folders.empty()) {
        const auto [folder, prefix] = folders.back();
        folders.pop_back();
        for (QDomElement child = folder.firstChildElement(); !child.isNull(); child = child.nextSiblingElement()) {
            const QString path = prefix + child.attribute(QStringLiteral("name"));
            elements.insert(path, child);
            if (child.tagName() == QLatin1String("directory"))
                folders.push_back({child, path + QLatin1Char('/')});
        }
    }
    // Sorted by url, the links below one folder are neighbours.
    std::sort(m_links.begin(), m_links.end(), [](const PendingLink &a, const PendingLink &b) { return a.url < b.url; });
    std::vector<int> states(m_links.size(), 0);
    for (size_t i = 0; i < m_links.size(); ++i)
        resolveLink(i, elements, &states);
    m_links.clear();
}

bool FolderScanner::resolveLink(size_t index, const QHash<QString, QDomElement> &elements, std::vector<int> *states)
{
    enum { Unvisited, Resolving, Done };
    int &state = (*states)[index];
    if (state != Unvisited)
        return state == Done;
    state = Resolving;
    const PendingLink &link = m_links[index];
    const bool wholeFolder = link.target.isEmpty();
    const QDomElement target = wholeFolder ? m_document.documentElement() : elements.value(link.target);
    QDomElement parent = link.element.parentNode().toElement();
    if (target.isNull()) {
        m_problems << QStringLiteral("'%1' is a link to '%2', which the manifest does not list").arg(link.path, link.target);
        parent.removeChild(link.element);
        state = Done;
        return true;
    }
    if (wholeFolder || target.tagName() == QLatin1String("directory")) {
        // The links inside the target first, so that the copy holds theirs.
        const QString below = wholeFolder ? QString() : link.target + QLatin1Char('/');
        auto first = std::lower_bound(m_links.begin(), m_links.end(), below,
                                      [](const PendingLink &l, const QString &url) { return l.url < url; });
        for (auto it = first; it != m_links.end() && it->url.startsWith(below); ++it) {
            if (!resolveLink(size_t(it - m_links.begin()), elements, states)) {
                m_problems << QStringLiteral("'%1' is a link to '%2', which holds it or leads back to it through links")
                                  .arg(link.path, wholeFolder ? QStringLiteral(".") : link.target);
                parent.removeChild(link.element);
                return false;
            }
        }
    }
    QDomElement copy = target.cloneNode(true).toElement();
    if (wholeFolder)
        copy.setTagName(QStringLiteral("directory"));
    copy.setAttribute(QStringLiteral("name"), link.element.attribute(QStringLiteral("name")));
    parent.replaceChild(copy, link.element);
    state = Done;
    return true;
}

void FolderScanner::addFileElement(QDomElement parent, QFileInfo entry)
{
    // The listing may be stale by now: a file that vanished is skipped.
    entry.refresh();
    if (isLink(entry)) {
        addLinkElement(parent, entry);
        return;
    }
    if (!entry.isFile() || !entry.exists() || !m_dir)
        return;
    QDomElement file = m_document.createElement(QStringLiteral("file"));
    file.setAttribute(QStringLiteral("name"), entry.fileName());
    // Filled in once the file is hashed; the attributes are set now so that
    // they keep their order.
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
        setHashed(file, hashFile(pending));
}

void FolderScanner::addDirectoryElement(QDomElement parent, QFileInfo entry)
{
    entry.refresh();
    if (isLink(entry)) {
        addLinkElement(parent, entry);
        return;
    }
    if (!entry.isDir() || !entry.exists())
        return;
    QDomElement directory = m_document.createElement(QStringLiteral("directory"));
    directory.setAttribute(QStringLiteral("name"), entry.fileName());
    parent.appendChild(directory);
    addEntries(directory, entry.filePath());
}
