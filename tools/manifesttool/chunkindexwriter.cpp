#include "chunkindexwriter.h"

#include "blockhashes.h"
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

// What the hashing threads hand over: each chunked file's index and block
// hashes, by url.
struct ChunkIndexWriter::Collected
{
    std::mutex mutex;
    QHash<QString, QByteArray> indexes;
    QHash<QString, QByteArray> blocks;
    QString error;

    void store(const QString &url, const QByteArray &index, const QByteArray &blockHashes, const QString &failure)
    {
        const std::lock_guard<std::mutex> lock(mutex);
        if (failure.isEmpty()) {
            indexes.insert(url, index);
            blocks.insert(url, blockHashes);
        } else if (error.isEmpty()) {
            error = QStringLiteral("cannot chunk '%1': %2").arg(url, failure);
        }
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
        m_pending.append(data, int(size));
        if (m_ok)
            m_ok = m_chunker.addData(data, size, &m_chunks);
        hashNewChunks();
    }

    void finish() override
    {
        if (m_ok)
            m_ok = m_chunker.finish(&m_chunks);
        hashNewChunks();
        // Kept as index bytes, which take a third of the chunk list's memory.
        m_collected->store(m_url, m_ok ? ChunkIndex(m_chunks).toBytes() : QByteArray(),
                           m_ok ? BlockHashes::header() + m_blocks : QByteArray(),
                           m_ok ? QString() : m_chunker.errorString());
    }

private:
    // The block hashes of the chunks cut since the last call, from the
    // bytes kept since the end of the chunk before them.
    void hashNewChunks()
    {
        if (!m_ok)
            return;
        qint64 consumed = 0;
        for (; m_hashed < m_chunks.size(); ++m_hashed) {
            const Chunk &chunk = m_chunks.at(m_hashed);
            BlockHashes::appendChunk(m_pending.constData() + (chunk.offset - m_pendingStart), chunk.length, &m_blocks);
            consumed = chunk.offset + chunk.length - m_pendingStart;
        }
        if (consumed > 0) {
            m_pending.remove(0, int(consumed));
            m_pendingStart += consumed;
        }
    }

    QByteArray m_pending;     // bytes of the chunk being cut
    qint64 m_pendingStart = 0; // its offset in the file
    int m_hashed = 0;          // chunks whose blocks are hashed
    QByteArray m_blocks;

    std::shared_ptr<Collected> m_collected;
    QString m_url;
    Chunker m_chunker;
    QVector<Chunk> m_chunks;
    bool m_ok = true;
};

namespace {

const QString kSuffix = QStringLiteral(".idx");
const QString kBlockSuffix = QStringLiteral(".blk");

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
        // The block hashes beside the index; a client reads them by ranges.
        const QByteArray blocks = m_collected->blocks.value(url);
        const QString blockRelative = folderName() + QLatin1Char('/') + url + kBlockSuffix;
        QSaveFile blockFile(QDir(m_folder).filePath(blockRelative));
        if (!blockFile.open(QIODevice::WriteOnly) || blockFile.write(blocks) != blocks.size() || !blockFile.commit())
            return fail(QStringLiteral("cannot write '%1': %2").arg(blockFile.fileName(), blockFile.errorString()));
        child.setAttribute(QStringLiteral("blocks"), blockRelative);
        current->insert(blockRelative);
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
        if (!(path.endsWith(kSuffix) || path.endsWith(kBlockSuffix)) || current.contains(path.mid(base.size())))
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
