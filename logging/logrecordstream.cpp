#include "logrecordstream.h"

#include "logger.h"

#include <QDateTime>

namespace Logging {

namespace {

const QString &timestampFormat()
{
    static const QString format = QStringLiteral("yyyy-MM-ddThh:mm:ss.zzz");
    return format;
}

} // namespace

LogRecordStream::LogRecordStream(LogLevel level)
    : m_level(level)
    , m_stream(&m_buffer)
{
}

LogRecordStream::~LogRecordStream()
{
    // Built before the logger's lock is taken. The message goes in last so
    // that percent sequences inside it are left as they are.
    const QString record = QStringLiteral("%1 %2 %3")
                               .arg(levelText(m_level), 5)
                               .arg(QDateTime::currentDateTime().toString(timestampFormat()))
                               .arg(m_buffer);
    Logger::instance().dispatch(record, m_level);
}

QString LogRecordStream::levelText(LogLevel level)
{
    switch (level) {
    case Trace:
        return QStringLiteral("TRACE");
    case Debug:
        return QStringLiteral("DEBUG");
    case Info:
        return QStringLiteral("INFO");
    case Warn:
        return QStringLiteral("WARN");
    case Error:
        return QStringLiteral("ERROR");
    case Fatal:
        return QStringLiteral("FATAL");
    case Off:
        return QString();
    }
    return QStringLiteral("INFO");
}

} // namespace Logging
