#include "sizerotationstrategy.h"

#include "reportproblem.h"

#include <QFile>

#include <algorithm>
#ifndef Q_OS_WIN
#include <cerrno>
#include <cstdio>
#include <cstring>
#endif

namespace Logging {

namespace {

// Renames `from` to `to`, replacing whatever is there. With the default
// size the log turns over every few records, so this is on the path of
// nearly every file an update writes: one call where the platform can.
bool replaceFile(const QString &from, const QString &to, QString *error)
{
#ifdef Q_OS_WIN
    QFile::remove(to);
    QFile file(from);
    if (file.rename(to))
        return true;
    *error = file.errorString();
    return false;
#else
    if (std::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0)
        return true;
    *error = QString::fromLocal8Bit(std::strerror(errno));
    return false;
#endif
}

} // namespace

void SizeRotationStrategy::initFromFile(const QFile &file)
{
    m_fileName = file.fileName();
    // An appended-to log already holds this much.
    m_currentSize = QFile(m_fileName).size();
}

void SizeRotationStrategy::countMessage(const QString &record)
{
    m_currentSize += record.toUtf8().size();
}

bool SizeRotationStrategy::isRotationDue()
{
    return m_currentSize > m_maxSize;
}

QString SizeRotationStrategy::backupName(int index) const
{
    return m_fileName + QStringLiteral(".%1").arg(index);
}

void SizeRotationStrategy::rotate()
{
    if (m_backupsCount == 0) {
        QFile log(m_fileName);
        if (!log.remove())
            reportProblem(QStringLiteral("Log: backup delete failed ") + m_fileName, log.errorString());
        return;
    }

    // Only the unbroken run from backup 1 moves up; a backup past a gap, or
    // numbered above the count, is left alone. With every backup present
    // the oldest is overwritten by the one below it.
    int shiftStart = 0;
    for (int i = 1; i <= m_backupsCount; ++i) {
        if (!QFile::exists(backupName(i)))
            break;
        shiftStart = std::min(i, m_backupsCount - 1);
    }

    QString error;
    for (int i = shiftStart; i >= 1; --i) {
        if (!replaceFile(backupName(i), backupName(i + 1), &error))
            reportProblem(QStringLiteral("Log: could not rename backup ") + backupName(i)
                              + QStringLiteral(" to ") + backupName(i + 1),
                          error);
    }

    if (!replaceFile(m_fileName, backupName(1), &error))
        reportProblem(QStringLiteral("Log: could not rename log ") + m_fileName + QStringLiteral(" to ")
                          + backupName(1),
                      error);
}

QIODevice::OpenMode SizeRotationStrategy::openModeFlag()
{
    return QIODevice::Append;
}

void SizeRotationStrategy::setMaximumSize(qint64 size)
{
    m_maxSize = size;
}

void SizeRotationStrategy::setBackupCount(int backups)
{
    m_backupsCount = std::min(backups, MaxBackups);
}

} // namespace Logging
