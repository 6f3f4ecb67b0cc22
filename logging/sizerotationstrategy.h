#ifndef SIZEROTATIONSTRATEGY_H
#define SIZEROTATIONSTRATEGY_H

#include "rotationstrategy.h"

namespace Logging {

// Rotates once the log grows past a maximum size, keeping numbered backups:
// name.1 is the newest, name.N the oldest.
class SizeRotationStrategy : public RotationStrategy
{
public:
    static constexpr int MaxBackups = 10;

    void initFromFile(const QFile &file) override;
    void countMessage(const QString &record) override;
    bool isRotationDue() override;
    void rotate() override;
    QIODevice::OpenMode openModeFlag() override;

    void setMaximumSize(qint64 size);
    void setBackupCount(int backups);

private:
    QString backupName(int index) const;

    QString m_fileName;
    qint64 m_currentSize = 0;
    qint64 m_maxSize = 0;
    int m_backupsCount = 0;
};

} // namespace Logging

#endif // SIZEROTATIONSTRATEGY_H
