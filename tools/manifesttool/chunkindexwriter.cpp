#include "chunkindexwriter.h"

#include "chunker.h"
#include "chunkindex.h"
#include "filechecksum.h"
#include "manifest.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QHash>
#include <QSaveFile>

#include <algorithm>
#include <mutex>

// What the hashing threads hand over: each chunked file's index, by url.
struct ChunkIndexWriter::Collected
{
    std::mutex mutex;
    QHash<QString, QByteArray> indexes;
    QString error;

    void store(const QString &url, const QByteArray &index, const QString &failure)
    {
        const std::lock_guard<std::mutex> lock(mutex);
        if (failure.isEmpty())
            indexes.insert(url, index);
        else if (error.isEmpty())
            error = QStringLiteral("cannot chunk '%1': %2").arg(url, failure);
    }
};

// Chunks one file as the scan reads it.
class ChunkIndexWriter::Observer : public FileContentObserver
{
public:
    Observer(std::shared_ptr<Collected> collected, const QString &url)
        : m_collected(std::move(collected))
        , m_url(url)
    {
    }

    void addBlock(const char *data, qint64 size) override
    {
        if (m_ok)
            m_ok = m_chunker.addData(data, size, &m_chunks);
    }

    void finish() override
    {
        if (m_ok)
            m_ok = m_chunker.finish(&m_chunks);
        // Kept as index bytes, which take a third of the chunk list's memory.
        m_collected->store(m_url, m_ok ? ChunkIndex(m_chunks).toBytes() : QByteArray(),
                           m_ok ? QString() : m_chunker.errorString());
    }

private:
    std::shared_ptr<Collected> m_collected;
    QString m_url;
    Chunker m_chunker;
    QVector<Chunk> m_chunks;
    bool m_ok = true;
};

namespace {

const QString kSuffix = QStringLiteral(".idx");

} // namespace

const QString &ChunkIndexWriter::folderName()
{
    static const QString name = QStringLiteral(".chunks");
    return name;
}

ChunkIndexWriter::ChunkIndexWriter(const QString &folder, qint64 threshold)
    : m_folder(folder)
    , m_threshold(threshold)
    , m_collected(std::make_shared<Collected>())
{
}

ChunkIndexWriter::~ChunkIndexWriter() = default;

FolderScanner::ContentObserverFactory ChunkIndexWriter::observerFactory() const
{
    const std::shared_ptr<Collected> collected = m_collected;
    const qint64 threshold = m_threshold;
    return [collected, threshold](const QString &url, qint64 size) -> std::unique_ptr<FileContentObserver> {
        if (size <= threshold)
            return nullptr;
        return std::make_unique<Observer>(collected, url);
    };
}

bool ChunkIndexWriter::fail(const QString &reason)
{
    m_error = reason;
    return false;
}

bool ChunkIndexWriter::write(QDomElement root)
{
    if (!m_collected->error.isEmpty())
        return fail(m_collected->error);
    const QFileInfo chunks(QDir(m_folder).filePath(folderName()));
    if (chunks.isSymLink())
        return fail(QStringLiteral("'%1' is a link; the indexes are only written into the folder itself")
                        .arg(chunks.filePath()));
    if (chunks.exists() && !chunks.isDir())
        return fail(QStringLiteral("'%1' is not a folder").arg(chunks.filePath()));
    QSet<QString> current;
    return writeIndexes(root, &current) && removeStale(current);
}

bool ChunkIndexWriter::writeIndexes(QDomElement element, QSet<QString> *current)
{
    for (QDomElement child = element.firstChildElement(); !child.isNull(); child = child.nextSiblingElement()) {
        if (isDirectory(child)) {
            if (!writeIndexes(child, current))
                return false;
            continue;
        }
        const QString url = child.attribute(QStringLiteral("url"));
        if (!isFile(child) || !m_collected->indexes.contains(url))
            continue;
        const QByteArray index = m_collected->indexes.value(url);
        const QString relative = folderName() + QLatin1Char('/') + url + kSuffix;
        if (!makeFolder(QFileInfo(relative).path()))
            return false;
        QSaveFile file(QDir(m_folder).filePath(relative));
        if (!file.open(QIODevice::WriteOnly) || file.write(index) != index.size() || !file.commit())
            return fail(QStringLiteral("cannot write '%1': %2").arg(file.fileName(), file.errorString()));
        child.setAttribute(QStringLiteral("chunks"), relative);
        child.setAttribute(QStringLiteral("chunks_sha256"),
                           QString::fromLatin1(QCryptographicHash::hash(index, QCryptographicHash::Sha256).toHex()));
        current->insert(relative);
        ++m_written;
    }
    return true;
}

bool ChunkIndexWriter::makeFolder(const QString &relative)
{
    const QDir folder(m_folder);
    QString path;
    for (const QString &part : relative.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        path += (path.isEmpty() ? QString() : QStringLiteral("/")) + part;
        const QFileInfo info(folder.filePath(path));
        if (info.isSymLink())
            return fail(QStringLiteral("'%1' is a link; the indexes are only written into the folder itself")
                            .arg(info.filePath()));
        if (info.isDir())
            continue;
        if (info.exists() || !folder.mkdir(path))
            return fail(QStringLiteral("cannot make the folder '%1'").arg(info.filePath()));
    }
    return true;
}

bool ChunkIndexWriter::removeStale(const QSet<QString> &current)
{
    const QString base = QDir(m_folder).absolutePath() + QLatin1Char('/');
    const QString chunks = base + folderName();
    if (!QFileInfo(chunks).isDir())
        return true;
    // Links are removed as links, never followed.
    QDirIterator files(chunks, QDir::Files | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot,
                       QDirIterator::Subdirectories);
    while (files.hasNext()) {
        const QString path = files.next();
        if (!path.endsWith(kSuffix) || current.contains(path.mid(base.size())))
            continue;
        QFile stale(path);
        if (!stale.remove())
            return fail(QStringLiteral("cannot remove the stale index '%1': %2").arg(path, stale.errorString()));
        ++m_removed;
    }
    // Folders left empty go too, deepest first; rmdir keeps the others.
    QStringList folders;
    QDirIterator dirs(chunks, QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (dirs.hasNext())
        folders.append(dirs.next());
    std::sort(folders.begin(), folders.end(),
              [](const QString &a, const QString &b) { return a.count(QLatin1Char('/')) > b.count(QLatin1Char('/')); });
    folders.append(chunks);
    for (const QString &path : qAsConst(folders)) {
        if (!QFileInfo(path).isSymLink())
            QDir().rmdir(path);
    }
    return true;
}
