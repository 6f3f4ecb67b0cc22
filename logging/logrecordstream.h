#ifndef LOGRECORDSTREAM_H
#define LOGRECORDSTREAM_H

#include "loglevel.h"

#include <QDebug>
#include <QString>

namespace Logging {

// Collects what one logging statement streams; the destructor, at the end
// of the statement, turns it into a record and dispatches it.
class LogRecordStream
{
public:
    explicit LogRecordStream(LogLevel level);
    ~LogRecordStream();

    QDebug &stream() { return m_stream; }

    // The level as it appears in a record ("INFO", ...; empty for Off).
    static QString levelText(LogLevel level);

private:
    Q_DISABLE_COPY(LogRecordStream)

    LogLevel m_level;
    QString m_buffer;
    QDebug m_stream;
};

} // namespace Logging

#endif // LOGRECORDSTREAM_H
