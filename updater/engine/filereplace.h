#ifndef FILEREPLACE_H
#define FILEREPLACE_H

#include <QString>

// Moves source over target in one step: afterwards target is either what it
// was or the whole of source, never a mixture. An existing target keeps its
// permissions; a new one gets those of a freshly created file. Fails,
// leaving both untouched, when the two lie on different file systems; the
// caller then copies instead.
bool replaceFileByRename(const QString &source, const QString &target);

#endif // FILEREPLACE_H
