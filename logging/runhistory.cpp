#include "runhistory.h"

#include "reportproblem.h"
#include "stagedfile.h"

#include <QFile>
#include <QFileInfo>
#include <QMutexLocker>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <unistd.h>
#endif

namespace Logging {

namespace {

// A name or reason of absurd length is cut, so that the whole file stays
// small enough to be read back at once.
constexpr int kMaximumFieldLength = 512;
constexpr qint64 kMaximumLineBytes = 16 * 1024;

QString quoted(const QString &text)
{
    QString result = QStringLiteral("\"");
    const QString field = text.size() > kMaximumFieldLength ? text.left(kMaximumFieldLength) + QChar(0x2026) : text;
    for (const QChar c : field) {
        const ushort u = c.unicode();
        if (c == QLatin1Char('"') || c == QLatin1Char('\\'))
            result += QLatin1Char('\\') + c;
        else if (u < 0x20 || u == 0x7f || u == 0x85 || u == 0x2028 || u == 0x2029)
            result += QStringLiteral("\\u%1").arg(u, 4, 16, QLatin1Char('0'));
        else
            result += c;
    }
    return result + QLatin1Char('"');
}

QString orDash(const QString &text)
{
    return text.isEmpty() ? QStringLiteral("-") : quoted(text).mid(1).chopped(1);
}

// The earlier lines, read without following a link: what a link points to
// is not this program's history.
QByteArray readExisting(const QString &path)
{
    QFile file;
#ifdef Q_OS_UNIX
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0 || !file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        if (fd >= 0)
            ::close(fd);
        return QByteArray();
    }
#else
    if (QFileInfo(path).isSymLink())
        return QByteArray();
    file.setFileName(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
#endif
    const qint64 bound = RunHistory::maximumRuns * kMaximumLineBytes;
    if (file.size() <= bound)
        return file.read(bound);
    // Only the end is wanted, starting at a whole line.
    if (!file.seek(file.size() - bound))
        return QByteArray();
    const QByteArray tail = file.read(bound);
    return tail.mid(tail.indexOf('\n') + 1);
}

} // namespace

RunHistory &RunHistory::instance()
{
    static RunHistory history;
    return history;
}

void RunHistory::setPath(const QString &path)
{
    QMutexLocker lock(&m_mutex);
    m_path = path;
}

QString RunHistory::path() const
{
    QMutexLocker lock(&m_mutex);
    return m_path;
}

QString RunHistory::line(const Run &run)
{
    QString text = QStringLiteral("%1 %2 %3 -> %4 %5; fetched %6, failed %7, deleted %8; %9 bytes; %10 s")
                       .arg(run.ended.toString(QStringLiteral("yyyy-MM-ddThh:mm:ss")), run.program,
                            orDash(run.fromVersion), orDash(run.toVersion), run.outcome)
                       .arg(run.fetched)
                       .arg(run.failed)
                       .arg(run.deleted)
                       .arg(run.bytes)
                       .arg(run.seconds, 0, 'f', 1);
    if (!run.failures.isEmpty()) {
        QStringList parts;
        for (const Failure &failure : run.failures.mid(0, maximumFailures))
            parts << quoted(failure.name) + QLatin1Char(' ') + quoted(failure.reason);
        if (run.failures.size() > maximumFailures)
            parts << QStringLiteral("and %1 more").arg(run.failures.size() - maximumFailures);
        text += QStringLiteral("; failed: ") + parts.join(QStringLiteral(", "));
    }
    return text;
}

bool RunHistory::append(const Run &run)
{
    QMutexLocker lock(&m_mutex);
    if (m_path.isEmpty())
        return true;
    const QFileInfo info(m_path);
    // The earlier runs, the oldest dropped so that this one makes the last
    // maximumRuns.
    QList<QByteArray> lines = readExisting(m_path).split('\n');
    lines.removeAll(QByteArray());
    const QByteArray added = line(run).toUtf8().left(int(kMaximumLineBytes) - 1);
    while (lines.size() >= maximumRuns)
        lines.removeFirst();
    QByteArray content;
    for (const QByteArray &earlier : qAsConst(lines))
        content += earlier + '\n';
    content += added + '\n';

    StagedFile file;
    QString problem;
    if (!file.create(info.absolutePath()))
        problem = file.errorString();
    else if (file.write(content) != content.size() || file.writeFailed())
        problem = file.errorString();
    else if (!file.commit(info.fileName()))
        problem = file.errorString();
    if (problem.isEmpty())
        return true;
    file.discard();
    reportProblem(QStringLiteral("Log: could not write run history ") + m_path, problem);
    return false;
}

} // namespace Logging
