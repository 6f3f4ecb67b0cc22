#ifndef DESTINATIONFOLDER_H
#define DESTINATIONFOLDER_H

#include "folderhandle.h"

#include <QHash>
#include <QSet>
#include <QString>
#include <QStringList>

// The folder an update installs into, and the one place where a relative
// path from a manifest or a version list becomes a folder on disk.
//
// The folder is opened once; every level below it is opened from the one
// above and never through a link (platform::FolderHandle), and what is
// created, placed or removed is named relative to an opened level, never
// through a path checked earlier. A level that is a link, or that changes
// during the run (removed, renamed away, or replaced by another folder), is
// refused with a reason, so nothing outside the destination is ever
// created, written, replaced or deleted, whatever is swapped meanwhile.
class DestinationFolder
{
public:
    using Folder = platform::FolderHandle;

    explicit DestinationFolder(const QString &root = QString());

    // The folder's canonical path, for messages; empty when it could not be
    // opened (openError() says why).
    QString root() const { return m_rootPath; }
    QString openError() const { return m_openError; }
    // The path of relativePath below the folder, for messages.
    QString pathOf(const QString &relativePath) const;

    // The folder at relativeDir ("" is the destination itself, levels
    // separated by "/"), every missing level created. Not open, with *error
    // saying why, when a level is a link, not a folder, changed during the
    // run or cannot be created.
    Folder makeFolder(const QString &relativeDir, QString *error) const;
    // The same without creating anything; *missing tells a level that is
    // simply not there from a refusal.
    Folder existingFolder(const QString &relativeDir, QString *error, bool *missing = nullptr) const;
    // Where a new file for relativeDir is staged: that folder, or, when a
    // level of it is a file allowed to give way to a folder, the folder
    // above that level, so that the file goes only once its successor is
    // ready (commit it into makeFolder(relativeDir) then).
    Folder stagingFolder(const QString &relativeDir, QString *error) const;

    // The file at relativePath, which the installed tree's manifest lists,
    // may be removed to make room for a folder of the release.
    void allowFolderInPlaceOfFile(const QString &relativePath);
    bool fileGaveWayToFolder(const QString &relativePath) const { return m_gaveWay.contains(relativePath); }

    // Removes the file (or the link, as itself) `name` of relativeDir.
    // True when it is gone or was never there.
    bool removeFile(const QString &relativeDir, const QString &name, QString *error);

    // Removes the folder relativeDir/name, deleting only what `listed`
    // names (paths relative to that folder; folders end with "/"), and the
    // folder itself only when nothing else is left in it. *kept receives
    // what was left (same form). With allOrNothing, nothing at all is
    // removed when anything would be kept. A link there goes as itself.
    // True when the folder is gone (or was never there); *error is set only
    // for a failure, not for what was kept.
    bool removeFolder(const QString &relativeDir, const QString &name, const QSet<QString> &listed,
                      bool allOrNothing, QStringList *kept, QString *error);

    // Flushes what was written below the folder to the disk, so that a
    // record saved afterwards never lists data a power cut could still lose.
    bool sync(QString *error) const;

private:
    enum class Mode { Existing, Create, Staging };
    Folder resolve(const QString &relativeDir, Mode mode, QString *error, bool *missing) const;
    // Drops the levels at and below relativePath: they are about to go.
    void forget(const QString &relativePath) const;
    bool clearFolder(const Folder &folder, const QString &prefix, const QSet<QString> &listed, bool dryRun,
                     QStringList *kept, QString *error) const;

    Folder m_root;
    QString m_rootPath;
    QString m_openError;
    // Levels opened in this run: an update writes thousands of files into
    // the same few folders. Bounded, as each holds a descriptor.
    mutable QHash<QString, Folder> m_open;
    // What each level was when first opened: one that is something else
    // later has been swapped under the run.
    mutable QHash<QString, Folder::Identity> m_seen;
    QSet<QString> m_mayGiveWay;
    mutable QSet<QString> m_gaveWay;
};

#endif // DESTINATIONFOLDER_H
