#ifndef FILECHECKSUM_H
#define FILECHECKSUM_H

#include <QCryptographicHash>
#include <QString>

// Digest of a file's content as lower-case hex text, or an empty string
// when the file cannot be opened or read to its end.
QString fileChecksum(const QString &path, QCryptographicHash::Algorithm algorithm);

// The two digests a manifest records for a file, as lower-case hex text.
struct FileChecksums
{
    QString sha1;   // the "crc" attribute
    QString sha256; // the "sha256" attribute
};

// SHA-1 and SHA-256 of a file's content from a single read of it; both
// empty when the file cannot be opened or read to its end. Safe to call
// from several threads at once.
FileChecksums fileChecksums(const QString &path);

#endif // FILECHECKSUM_H
