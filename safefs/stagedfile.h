#ifndef STAGEDFILE_H
#define STAGEDFILE_H

#include "folderhandle.h"
#include "pendingfile.h"
#include "streamdigests.h"

#include <QFile>
#include <QString>

// A new file being written in the folder of the file it will replace, and
// the one place where a file is put in place.
//
// Every byte written is checked and hashed as it goes, so the digests and
// the size always describe exactly what is on disk, and the caller can
// verify the very file that is about to be renamed without reading it
// again. commit() replaces the target in one rename on one file system:
// the target is the old file or the whole new one, never a mixture. The
// file is made in an opened folder and placed relative to one
// (platform::PendingFile): on Linux it has no name until then, so a process
// killed meanwhile leaves nothing behind; elsewhere it is a hidden
// temporary name. A file that is destroyed without commit() is removed.
class StagedFile : public QFile
{
    Q_OBJECT
public:
    explicit StagedFile(QObject *parent = nullptr);
    ~StagedFile() override;

    // Opens a new, empty file in an opened folder (see DestinationFolder).
    // False with errorString() when it cannot be created.
    bool create(const platform::FolderHandle &folder);
    // The same in the folder at `folder`, a path the caller chose (links in
    // it are followed): for a file beside one the user named.
    bool create(const QString &folder);

    // Also compute SHA-256 of what is written. Call before the first write.
    void setSha256Enabled(bool enabled);

    // Empties the file and its digests, for a transfer that starts over.
    bool restart();

    // Bytes written so far; all of them went to the file.
    qint64 writtenSize() const { return m_written; }
    // A write came up short or failed; errorString() says why. The content
    // is incomplete and must not be committed.
    bool writeFailed() const { return m_writeFailed; }

    // Lower-case hex digests of everything written so far (SHA-256 empty
    // unless enabled).
    QString sha1Hex() const;
    QString sha256Hex() const;

    // The folder's path, for messages.
    QString folder() const;
    const platform::FolderHandle &folderHandle() const { return m_pending.folder(); }

    // Writes what was written to the disk before it is placed: for a record
    // that must survive a power cut once it has replaced the old one.
    bool flushToDisk();

    // Puts the file at folder()/name in one rename. An existing regular file
    // there is replaced and its permissions kept; a link there is replaced
    // as a link, never written through; a folder there is never replaced.
    // False with errorString() leaves the target untouched. The file is
    // closed afterwards either way.
    bool commit(const QString &name);
    // The same into another opened folder of the same file system.
    bool commit(const platform::FolderHandle &target, const QString &name);

    // Opens the regular file `name` of the same folder for reading, never
    // through a link (the installed version a new one is rebuilt from).
    bool openSibling(const QString &name, QFile *file, QString *error) const;

    // Closes and removes the file if it was not committed.
    void discard();

    // Removes from `folder` the hidden files a process left when it ended
    // before commit() where files are named while written: regular files
    // of this class's own naming, unchanged for at least `minimumAge`
    // seconds, so that a live writer's file is left alone. Returns how many
    // went.
    static int removeLeftovers(const platform::FolderHandle &folder, qint64 minimumAge);

protected:
    qint64 writeData(const char *data, qint64 length) override;

private:
    bool fail(const QString &text);
    bool start();

    platform::PendingFile m_pending;
    // Reading a digest waits for the bytes still being hashed; the file
    // itself does not change.
    mutable StreamDigests m_digests;
    bool m_sha256Enabled = false;
    qint64 m_written = 0;
    qint64 m_handedToDisk = 0; // bytes the disk was asked to write out
    bool m_writeFailed = false;
    bool m_committed = false;
};

#endif // STAGEDFILE_H
