#ifndef FILECHECKSUM_H
#define FILECHECKSUM_H

#include <QCryptographicHash>
#include <QIODevice>
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

// Sees a file's content block by block, in order, while fileChecksums()
// reads it, so that more work on the content costs no second read.
class FileContentObserver
{
public:
    virtual ~FileContentObserver() = default;
    virtual void addBlock(const char *data, qint64 size) = 0;
    // Called once after the last block, only when the whole file was read.
    virtual void finish() = 0;
};

// SHA-1 and SHA-256 of a file's content from a single read of it; both
// empty when the file cannot be opened or read to its end. `observer`, if
// any, sees the same bytes. Safe to call from several threads at once.
FileChecksums fileChecksums(const QString &path, FileContentObserver *observer = nullptr);

// The same from a device already open, read from its position to its end,
// with the number of bytes read in *bytes. The observer's finish() is left
// to the caller, who knows whether the read stands (the file may have
// changed meanwhile).
FileChecksums readChecksums(QIODevice &device, FileContentObserver *observer, qint64 *bytes);

#endif // FILECHECKSUM_H
