#ifndef MANIFESTBUILDER_H
#define MANIFESTBUILDER_H

#include "folderscanner.h"

#include <QDomDocument>
#include <QString>

// Building manifests from folders on disk. The editor and the command-line
// tool both go through here, so a manifest made in either is the same.
namespace ManifestBuilder {

// The root's creation stamp, local time to the millisecond.
QString timestamp();

// A new manifest of `folder`: root "UPDATE_STRUCTURE" named "ROOT", with the
// tree's global checksum and the creation stamp, in canonical order.
// `excludedFile`, a path relative to the folder, is left out: a manifest
// written into the folder it describes cannot list itself. `hashThreads`
// is passed to FolderScanner::setHashThreads (0: every core),
// `observerFactory` to FolderScanner::setContentObserverFactory and
// `followInternalLinks` to FolderScanner::setFollowInternalLinks; what the
// manifest does not describe exactly goes to *problems.
QDomDocument fromFolder(const QString &folder, const QString &excludedFile = QString(), int hashThreads = 0,
                        FolderScanner::ContentObserverFactory observerFactory = {}, bool followInternalLinks = false,
                        QStringList *problems = nullptr);

// Appends `folder` as a "directory" named after its last path component
// below the root of `document`, then stamps the root with the new global
// checksum and date. The urls of the added files get the directory's name
// in front, so that they stay the entries' paths from the root. False when
// the document has no root element.
bool appendFolder(QDomDocument document, const QString &folder);

} // namespace ManifestBuilder

#endif // MANIFESTBUILDER_H
