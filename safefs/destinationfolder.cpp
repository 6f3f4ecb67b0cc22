#include "destinationfolder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include <cerrno>
#include <cstring>

#ifdef Q_OS_LINUX
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

Qt::CaseSensitivity pathCase()
{
#ifdef Q_OS_WIN
    return Qt::CaseInsensitive;
#else
    return Qt::CaseSensitive;
#endif
}

void setError(QString *error, const QString &text)
{
    if (error)
        *error = text;
}

} // namespace

DestinationFolder::DestinationFolder(const QString &root)
    : m_root(root.isEmpty() ? QString() : QFileInfo(root).canonicalFilePath())
{
}

bool DestinationFolder::contains(const QString &canonicalPath) const
{
    if (m_root.isEmpty() || canonicalPath.isEmpty())
        return false;
    if (canonicalPath.compare(m_root, pathCase()) == 0)
        return true;
    const QString prefix = m_root.endsWith(QLatin1Char('/')) ? m_root : m_root + QLatin1Char('/');
    return canonicalPath.startsWith(prefix, pathCase());
}

QString DestinationFolder::makeFolder(const QString &relativeDir, QString *error) const
{
    return resolve(relativeDir, true, error);
}

QString DestinationFolder::existingFolder(const QString &relativeDir, QString *error) const
{
    return resolve(relativeDir, false, error);
}

QString DestinationFolder::resolve(const QString &relativeDir, bool create, QString *error) const
{
    if (m_root.isEmpty()) {
        setError(error, QStringLiteral("the destination folder does not exist"));
        return QString();
    }
    const QStringList levels = relativeDir.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    const QString key = levels.join(QLatin1Char('/'));
    const auto known = m_resolved.constFind(key);
    if (known != m_resolved.constEnd())
        return known.value();
    QString current = m_root;
    for (const QString &level : levels) {
        if (level == QLatin1String(".") || level == QLatin1String("..")) {
            setError(error, QStringLiteral("'%1' is not a folder name").arg(level));
            return QString();
        }
        const QString next = current + QLatin1Char('/') + level;
        const QFileInfo info(next);
        if (info.exists() || info.isSymLink()) {
            // The canonical path has every link resolved: a link that leads
            // out of the installation shows up as a path outside it.
            const QString canonical = info.canonicalFilePath();
            if (canonical.isEmpty()) {
                setError(error, QStringLiteral("%1 is a broken link").arg(next));
                return QString();
            }
            if (!contains(canonical)) {
                setError(error, QStringLiteral("%1 leads outside the destination folder (to %2)").arg(next, canonical));
                return QString();
            }
            if (!QFileInfo(canonical).isDir()) {
                setError(error, QStringLiteral("%1 is not a folder").arg(next));
                return QString();
            }
            current = canonical;
            continue;
        }
        if (!create) {
            setError(error, QStringLiteral("%1 does not exist").arg(next));
            return QString();
        }
        errno = 0;
        if (!QDir().mkdir(next)) {
            const int code = errno;
            setError(error, QStringLiteral("cannot create folder %1%2")
                                .arg(next, code ? QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(code))
                                                : QString()));
            return QString();
        }
        current = next;
    }
    m_resolved.insert(key, current);
    return current;
}

bool DestinationFolder::sync(QString *error) const
{
#ifdef Q_OS_LINUX
    // One call for the whole file system: far cheaper than a flush per file
    // when an update writes thousands of small ones.
    const int fd = ::open(QFile::encodeName(m_root).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0 || ::syncfs(fd) != 0) {
        setError(error, QString::fromLocal8Bit(std::strerror(errno)));
        if (fd >= 0)
            ::close(fd);
        return false;
    }
    ::close(fd);
#else
    // Elsewhere each placed file was written through when it was renamed.
    Q_UNUSED(error)
#endif
    return true;
}
