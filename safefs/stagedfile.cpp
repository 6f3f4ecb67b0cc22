#include "stagedfile.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QRegularExpression>

#include <cerrno>
#include <cstdio>
#include <cstring>

#ifdef Q_OS_WIN
#include <qt_windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

// How much is written before the disk is asked to start writing it out.
const qint64 kWriteBehind = 8 * 1024 * 1024;

QString systemError(int code)
{
    return QString::fromLocal8Bit(std::strerror(code));
}

// A hidden name in the folder that no release file uses.
QString temporaryName(const QString &folder)
{
    return folder + QStringLiteral("/.~staged-%1.part").arg(QRandomGenerator::global()->generate64(), 16, 16,
                                                              QLatin1Char('0'));
}

} // namespace

StagedFile::StagedFile(QObject *parent)
    : QFile(parent)
{
}

StagedFile::~StagedFile()
{
    discard();
}

bool StagedFile::fail(const QString &text)
{
    setErrorString(text);
    return false;
}

bool StagedFile::create(const QString &folder)
{
    m_folder = folder;
    m_written = 0;
    m_handedToDisk = 0;
    m_writeFailed = false;
    m_committed = false;
    m_digests.reset(m_sha256Enabled);
#ifdef O_TMPFILE
    // Unnamed until commit: nothing to clean up after a crash. Not every
    // file system has it; the named way below works everywhere.
    const int fd = ::open(QFile::encodeName(folder).constData(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
    if (fd >= 0) {
        if (QFile::open(fd, QIODevice::WriteOnly | QIODevice::Unbuffered, QFileDevice::AutoCloseHandle))
            return true;
        ::close(fd);
    } else if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
        return fail(QStringLiteral("cannot create a file in %1: %2").arg(folder, systemError(errno)));
    }
#endif
    for (int attempt = 0; attempt < 8; ++attempt) {
        setFileName(temporaryName(folder));
        if (QFile::open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Unbuffered)) {
            m_temporaryPath = fileName();
            return true;
        }
        if (QFileInfo::exists(fileName()))
            continue; // taken by chance: another name
        break;
    }
    return fail(QStringLiteral("cannot create a file in %1: %2").arg(folder, errorString()));
}

void StagedFile::setSha256Enabled(bool enabled)
{
    m_sha256Enabled = enabled;
    m_digests.reset(enabled);
}

bool StagedFile::restart()
{
    if (!isOpen() || !resize(0) || !seek(0))
        return fail(QStringLiteral("cannot empty the file: %1").arg(errorString()));
    m_written = 0;
    m_handedToDisk = 0;
    m_writeFailed = false;
    m_digests.reset(m_sha256Enabled);
    return true;
}

qint64 StagedFile::writeData(const char *data, qint64 length)
{
    // A short write is followed by another attempt at the rest: it either
    // goes through or fails with the system's reason ("No space left on
    // device"), which a short count alone does not give.
    qint64 total = 0;
    while (total < length) {
        const qint64 written = QFile::writeData(data + total, length - total);
        if (written <= 0)
            break;
        m_digests.update(data + total, written);
        total += written;
    }
    m_written += total;
#ifdef Q_OS_LINUX
    // Large files are handed to the disk while they arrive, not all at the
    // end: the flush before the manifest is saved then has little left, and
    // dirty pages do not pile up.
    if (m_written - m_handedToDisk >= kWriteBehind) {
        ::sync_file_range(handle(), m_handedToDisk, m_written - m_handedToDisk, SYNC_FILE_RANGE_WRITE);
        m_handedToDisk = m_written;
    }
#endif
    if (total != length) {
        m_writeFailed = true;
        if (error() == QFileDevice::NoError)
            setErrorString(QStringLiteral("short write (%1 of %2 bytes)").arg(total).arg(length));
    }
    return total > 0 ? total : -1;
}

QString StagedFile::sha1Hex() const
{
    return m_digests.sha1Hex();
}

QString StagedFile::sha256Hex() const
{
    return m_digests.sha256Hex();
}

bool StagedFile::commit(const QString &name)
{
    if (m_committed || !isOpen())
        return fail(QStringLiteral("nothing to put in place"));
    if (m_writeFailed)
        return fail(QStringLiteral("the file is incomplete: %1").arg(errorString()));
    const QString target = m_folder + QLatin1Char('/') + name;
#ifdef Q_OS_WIN
    const QString source = m_temporaryPath;
    close();
    const QString from = QDir::toNativeSeparators(source);
    const QString to = QDir::toNativeSeparators(target);
    // Without MOVEFILE_COPY_ALLOWED a move can never become a copy that is
    // cut short.
    if (!MoveFileExW(reinterpret_cast<const wchar_t *>(from.utf16()), reinterpret_cast<const wchar_t *>(to.utf16()),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        QFile::remove(source);
        return fail(QStringLiteral("cannot replace %1: error %2").arg(target).arg(GetLastError()));
    }
#else
    const QByteArray targetName = QFile::encodeName(target);
    // The installed file looks like the one it replaces (an executable stays
    // executable); a new one gets the mode of any freshly created file.
    struct stat existing;
    const bool exists = ::lstat(targetName.constData(), &existing) == 0;
    if (exists) {
        if (S_ISDIR(existing.st_mode))
            return fail(QStringLiteral("cannot replace %1: it is a folder").arg(target));
        if (S_ISREG(existing.st_mode) && ::fchmod(handle(), existing.st_mode & 07777) != 0)
            return fail(QStringLiteral("cannot set the permissions of %1: %2").arg(target, systemError(errno)));
    }

    QString source = m_temporaryPath;
    if (source.isEmpty()) {
        char self[64];
        std::snprintf(self, sizeof self, "/proc/self/fd/%d", handle());
        const auto linkUnnamed = [&](const QByteArray &path) {
            int linked = ::linkat(AT_FDCWD, self, AT_FDCWD, path.constData(), AT_SYMLINK_FOLLOW);
            if (linked != 0 && errno == ENOENT) // no /proc: needs the privilege root has
                linked = ::linkat(handle(), "", AT_FDCWD, path.constData(), AT_EMPTY_PATH);
            return linked == 0;
        };
        // A new file gets its final name in one step: link() never replaces,
        // so a file that appeared meanwhile takes the replacing way below.
        if (!exists) {
            if (linkUnnamed(targetName)) {
                close();
                m_committed = true;
                return true;
            }
            if (errno != EEXIST)
                return fail(QStringLiteral("cannot name the new %1: %2").arg(target, systemError(errno)));
        }
        // Otherwise it gets a hidden name first, and the rename below
        // replaces the old file in one step.
        for (int attempt = 0; attempt < 8 && source.isEmpty(); ++attempt) {
            const QString candidate = temporaryName(m_folder);
            if (linkUnnamed(QFile::encodeName(candidate)))
                source = candidate;
            else if (errno != EEXIST)
                return fail(QStringLiteral("cannot name the new %1: %2").arg(target, systemError(errno)));
        }
        if (source.isEmpty())
            return fail(QStringLiteral("cannot name the new %1").arg(target));
    }
    close();
    if (std::rename(QFile::encodeName(source).constData(), targetName.constData()) != 0) {
        const int code = errno;
        ::unlink(QFile::encodeName(source).constData());
        m_temporaryPath.clear();
        return fail(QStringLiteral("cannot replace %1: %2").arg(target, systemError(code)));
    }
#endif
    m_temporaryPath.clear();
    m_committed = true;
    return true;
}

void StagedFile::discard()
{
    if (isOpen())
        close();
    if (!m_committed && !m_temporaryPath.isEmpty())
        QFile::remove(m_temporaryPath);
    m_temporaryPath.clear();
}

int StagedFile::removeLeftovers(const QString &folder, qint64 minimumAge)
{
    static const QRegularExpression ownName(QStringLiteral("^\\.~staged-[0-9a-f]{16}\\.part$"));
    const QDateTime before = QDateTime::currentDateTimeUtc().addSecs(-minimumAge);
    int removed = 0;
    const QFileInfoList entries = QDir(folder).entryInfoList({QStringLiteral(".~staged-*.part")},
                                                             QDir::Files | QDir::Hidden | QDir::NoSymLinks);
    for (const QFileInfo &entry : entries) {
        if (ownName.match(entry.fileName()).hasMatch() && entry.lastModified().toUTC() < before
            && QFile::remove(entry.filePath()))
            ++removed;
    }
    return removed;
}
