#ifndef SAFEPATH_H
#define SAFEPATH_H

#include <QDomElement>
#include <QString>

// The one place that decides whether a manifest entry may become a path
// below the destination folder. Manifests come from outside (the server,
// a local file anyone may have edited); a name like ".." or "C:\x" must
// never make the updater fetch, write or delete anything elsewhere.

// True when name is a single, plain path component: not empty, not "." or
// "..", no "/", "\" or ":" (drive and absolute forms, alternate streams),
// no NUL, and not reduced to nothing by the trailing dots and blanks that
// Windows strips from names.
bool isSafeEntryName(const QString &name);

// True when the element's own "name" and the "name" of every enclosing
// "directory" element are safe: its nesting path stays below the folder.
bool isSafeEntryPath(const QDomElement &element);

#endif // SAFEPATH_H
