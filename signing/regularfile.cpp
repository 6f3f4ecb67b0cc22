#include "regularfile.h"

#include <QFile>
#include <QFileInfo>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

QString tooLarge(qint64 limit)
{
    return QStringLiteral("larger than %1 bytes").arg(limit);
}

QString changed(qint64 read, qint64 expected)
{
    return QStringLiteral("changed while it was read (%1 bytes where %2 were expected)")
        .arg(read > expected ? QStringLiteral("more") : QString::number(read))
        .arg(expected);
}

} // namespace

RegularFile::Result RegularFile::read(const QString &path, qint64 limit, QByteArray *content, QString *error)
{
    content->clear();
    limit = qBound<qint64>(0, limit, maximumLimit);
#ifdef Q_OS_UNIX
    const QByteArray native = QFile::encodeName(path);
    // Looked at before it is opened: opening a device or a FIFO may block
    // or have effects of its own.
    struct stat info;
    if (::stat(native.constData(), &info) != 0) {
        const int code = errno;
        *error = qt_error_string(code);
        return code == ENOENT || code == ENOTDIR ? Missing : Unreadable;
    }
    if (!S_ISREG(info.st_mode)) {
        *error = QStringLiteral("not a regular file");
        return Unreadable;
    }
    if (info.st_size > limit) {
        *error = tooLarge(limit);
        return TooLarge;
    }
    // Never blocks, even if a FIFO has taken the file's place meanwhile.
    const int fd = ::open(native.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        const int code = errno;
        *error = qt_error_string(code);
        return code == ENOENT ? Missing : Unreadable;
    }
    Result result = Unreadable;
    if (::fstat(fd, &info) != 0) {
        *error = qt_error_string(errno);
    } else if (!S_ISREG(info.st_mode)) {
        *error = QStringLiteral("not a regular file");
    } else if (info.st_size > limit) {
        *error = tooLarge(limit);
        result = TooLarge;
    } else {
        // One byte more than the size is asked for: a file that grew is
        // caught as surely as one that shrank.
        const qint64 size = info.st_size;
        content->resize(int(size) + 1);
        qint64 done = 0;
        ssize_t n = 1;
        while (done <= size && n != 0) {
            n = ::read(fd, content->data() + done, size_t(size + 1 - done));
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                break;
            done += n;
        }
        if (n < 0)
            *error = qt_error_string(errno);
        else if (done != size)
            *error = changed(done, size);
        else
            result = Read;
        content->resize(int(qMin(done, size)));
    }
    ::close(fd);
    if (result != Read)
        content->clear();
    return result;
#else
    const QFileInfo info(path);
    if (!info.exists() && !info.isSymLink()) {
        *error = QStringLiteral("no such file");
        return Missing;
    }
    if (!info.isFile()) {
        *error = QStringLiteral("not a regular file");
        return Unreadable;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = file.errorString();
        return Unreadable;
    }
    const qint64 size = file.size();
    if (size > limit) {
        *error = tooLarge(limit);
        return TooLarge;
    }
    *content = file.read(size + 1);
    if (file.error() != QFileDevice::NoError) {
        *error = file.errorString();
        content->clear();
        return Unreadable;
    }
    if (content->size() != size) {
        *error = changed(content->size(), size);
        content->clear();
        return Unreadable;
    }
    return Read;
#endif
}
