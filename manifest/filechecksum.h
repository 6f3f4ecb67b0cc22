#ifndef FILECHECKSUM_H
#define FILECHECKSUM_H

#include <QCryptographicHash>
#include <QString>

// Digest of a file's content as lower-case hex text, or an empty string
// when the file cannot be opened or read to its end.
QString fileChecksum(const QString &path, QCryptographicHash::Algorithm algorithm);

#endif // FILECHECKSUM_H
