#ifndef REGULARFILE_H
#define REGULARFILE_H

#include <QByteArray>
#include <QString>

// Reads what is signed or checked: keys, signatures, release files. Only a
// regular file is read (a link to one is followed), never a FIFO, a device
// or a folder, and opening one never blocks. The whole file is read or
// nothing: a file that changes size while it is read is refused, so that
// nothing is ever signed or verified on a short read.
class RegularFile
{
public:
    enum Result {
        Read,
        Missing,    // nothing at the path (a dangling link included)
        Unreadable, // not a regular file, or it cannot be opened or read
        TooLarge,   // over the limit; nothing was read
    };

    // The most any file is read whole: 1 GiB, held in memory at once.
    static constexpr qint64 maximumLimit = qint64(1) << 30;

    // Reads a file of at most `limit` bytes (at most maximumLimit). On
    // anything but Read, *error says why and *content is empty.
    static Result read(const QString &path, qint64 limit, QByteArray *content, QString *error);
};

#endif // REGULARFILE_H
