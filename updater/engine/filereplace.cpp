#include "filereplace.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <cstdio>
#include <sys/stat.h>
#endif

bool replaceFileByRename(const QString &source, const QString &target)
{
#ifdef Q_OS_WIN
    // Without MOVEFILE_COPY_ALLOWED a move across volumes fails instead of
    // turning into a copy that could be cut short.
    const QString from = QDir::toNativeSeparators(source);
    const QString to = QDir::toNativeSeparators(target);
    return MoveFileExW(reinterpret_cast<const wchar_t *>(from.utf16()),
                       reinterpret_cast<const wchar_t *>(to.utf16()),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
#else
    // Temporary files are private to their owner (0600); the installed file
    // must look like one written in place.
    const QByteArray from = QFile::encodeName(source);
    const QByteArray to = QFile::encodeName(target);
    struct stat existing;
    mode_t mode;
    if (::lstat(to.constData(), &existing) == 0 && S_ISREG(existing.st_mode)) {
        mode = existing.st_mode & 07777;
    } else {
        // Reading the mask means setting it; no other thread of this program
        // creates files meanwhile.
        const mode_t mask = ::umask(0);
        ::umask(mask);
        mode = 0666 & ~mask;
    }
    if (::chmod(from.constData(), mode) != 0)
        return false;
    return std::rename(from.constData(), to.constData()) == 0;
#endif
}
