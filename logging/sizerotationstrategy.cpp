#include "sizerotationstrategy.h"

#include "reportproblem.h"

#include <QFile>

#include <algorithm>

namespace Logging {

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

    for (int i = shiftStart; i >= 1; --i) {
        QFile::remove(backupName(i + 1));
        QFile backup(backupName(i));
        if (!backup.rename(backupName(i + 1)))
            reportProblem(QStringLiteral("Log: could not rename backup ") + backupName(i)
                              + QStringLiteral(" to ") + backupName(i + 1),
                          backup.errorString());
    }

    if (QFile::exists(backupName(1)))
        QFile::remove(backupName(1));
    QFile log(m_fileName);
    if (!log.rename(backupName(1)))
        reportProblem(QStringLiteral("Log: could not rename log ") + m_fileName + QStringLiteral(" to ")
                          + backupName(1),
                      log.errorString());
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
