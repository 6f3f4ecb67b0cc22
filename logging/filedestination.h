#ifndef FILEDESTINATION_H
#define FILEDESTINATION_H

#include "destination.h"
#include "rotationstrategy.h"

#include <QFile>
#include <QSharedPointer>
#include <QTextStream>

namespace Logging {

// A UTF-8 text log file, rotated as its strategy decides. Every record is
// flushed, so a crash loses at most the record being written.
class FileDestination : public Destination
{
public:
    FileDestination(const QString &filePath, const QSharedPointer<RotationStrategy> &rotationStrategy);
    ~FileDestination() override;

    void write(const QString &record, LogLevel level) override;
    bool isValid() const override;

private:
    Q_DISABLE_COPY(FileDestination)

    QIODevice::OpenMode openMode() const;

    QFile m_file;
    QTextStream m_outputStream;
    QSharedPointer<RotationStrategy> m_rotationStrategy;
};

} // namespace Logging

#endif // FILEDESTINATION_H
