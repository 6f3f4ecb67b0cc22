#ifndef FILEVERSION_H
#define FILEVERSION_H

#include "version.h"

#include <QString>

// The four-part file version from the version resource of the executable
// at path. Returns false, leaving *version alone, when the file is missing,
// has no readable version resource or is not an executable image at all.
bool readFileVersion(const QString &path, Version *version);

#endif // FILEVERSION_H
