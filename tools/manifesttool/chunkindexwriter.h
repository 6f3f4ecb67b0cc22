#ifndef CHUNKINDEXWRITER_H
#define CHUNKINDEXWRITER_H

#include "folderscanner.h"

#include <QDomElement>
#include <QSet>
#include <QString>

#include <memory>

// The chunk indexes of a release folder, for `manifesttool create --chunks`.
// Files strictly larger than the threshold are chunked while the scan
// hashes them (the same read); write() then puts the index of the file with
// url U in FOLDER/.chunks/U.idx, names it on the file element ("chunks",
// "chunks_sha256") and removes the indexes of earlier runs that no longer
// belong to a listed file. The folder is hidden, so scans never list it.
class ChunkIndexWriter
{
public:
    static constexpr qint64 kDefaultThreshold = 1024 * 1024;
    static const QString &folderName(); // ".chunks"

    ChunkIndexWriter(const QString &folder, qint64 threshold);
    ~ChunkIndexWriter();

    // For FolderScanner::setContentObserverFactory.
    FolderScanner::ContentObserverFactory observerFactory() const;

    // Writes the index of every file below `root` that was chunked, each
    // replaced in one step, and sets the two attributes. False with
    // errorString() on the first failure.
    bool write(QDomElement root);
    int writtenCount() const { return m_written; }
    int removedCount() const { return m_removed; }
    QString errorString() const { return m_error; }

private:
    struct Collected;
    class Observer;

    bool writeIndexes(QDomElement element, QSet<QString> *current);
    // Creates FOLDER/`relative` one level at a time, never through a link.
    bool makeFolder(const QString &relative);
    bool removeStale(const QSet<QString> &current);
    bool fail(const QString &reason);

    QString m_folder;
    qint64 m_threshold;
    std::shared_ptr<Collected> m_collected;
    int m_written = 0;
    int m_removed = 0;
    QString m_error;
};

#endif // CHUNKINDEXWRITER_H
