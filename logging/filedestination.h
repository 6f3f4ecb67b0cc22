#ifndef FILEDESTINATION_H
#define FILEDESTINATION_H

#include "destination.h"
#include "rotationstrategy.h"

#include <QFile>
#include <QSharedPointer>
#include <QTextStream>

namespace Logging {

// A UTF-8 text log file, rotated as its strategy decides. Every record is
// flushed, so a crash loses at most the record being written. The file is
// never written through a link: one at its name is replaced by a regular
// file (and standard error says so), or, when that fails, logging goes on
// without the file and standard error says why.
class FileDestination : public Destination
{
public:
    FileDestination(const QString &filePath, const QSharedPointer<RotationStrategy> &rotationStrategy);
    ~FileDestination() override;

    void write(const QString &record, LogLevel level) override;
    bool isValid() const override;

private:
    Q_DISABLE_COPY(FileDestination)

    // Opens the log file without following a link: a link at its name is
    // replaced by a regular file. False with the reason otherwise.
    bool openLog(QString *reason);

    QString m_path;
    QFile m_file;
    QTextStream m_outputStream;
    QSharedPointer<RotationStrategy> m_rotationStrategy;
};

} // namespace Logging

#endif // FILEDESTINATION_H
