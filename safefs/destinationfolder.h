#ifndef DESTINATIONFOLDER_H
#define DESTINATIONFOLDER_H

#include <QHash>
#include <QString>

// The folder an update installs into, and the one place where a relative
// path from a manifest or a version list becomes a folder on disk.
//
// Names are checked elsewhere; this class settles what the disk says: a
// folder inside the installation may be a link, and following it could lead
// anywhere. Every level is resolved, and a level that resolves outside the
// canonical destination is refused, so nothing outside it is ever created,
// written, replaced or deleted. Links that stay inside may be used.
class DestinationFolder
{
public:
    explicit DestinationFolder(const QString &root = QString());

    // The canonical absolute path of the folder; empty when it does not exist.
    QString root() const { return m_root; }

    // The canonical path of the folder at relativeDir ("" is the root itself,
    // levels separated by "/"), created level by level where missing. Empty,
    // with *error saying why, when a level is not a folder, cannot be
    // created, or lies outside the destination.
    QString makeFolder(const QString &relativeDir, QString *error) const;

    // The same without creating anything: empty when a level is missing.
    QString existingFolder(const QString &relativeDir, QString *error) const;

    // Whether an absolute, canonical path is the destination or lies below it.
    bool contains(const QString &canonicalPath) const;

    // Flushes what was written below the folder to the disk, so that a
    // record saved afterwards never lists data a power cut could still lose.
    bool sync(QString *error) const;

private:
    QString resolve(const QString &relativeDir, bool create, QString *error) const;

    QString m_root;
    // Folders already resolved in this run: an update writes thousands of
    // files into the same few folders, and each resolution costs a system
    // call per level and link.
    mutable QHash<QString, QString> m_resolved;
};

#endif // DESTINATIONFOLDER_H
