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

// The local time of a record. Working out the local time zone means a look
// at the system's zone file each time, and a large update logs thousands of
// records a second: the offset from UTC is reused for a second.
QDateTime localNow()
{
    thread_local qint64 offsetValidUntil = 0;
    thread_local int offsetSeconds = 0;
    const QDateTime utc = QDateTime::currentDateTimeUtc();
    const qint64 now = utc.toMSecsSinceEpoch();
    if (now >= offsetValidUntil || now < offsetValidUntil - 1000) {
        offsetSeconds = utc.toLocalTime().offsetFromUtc();
        offsetValidUntil = now + 1000;
    }
    return utc.toOffsetFromUtc(offsetSeconds);
}

} // namespace

LogRecordStream::LogRecordStream(LogLevel level)
    : m_level(level)
    , m_stream(&m_buffer)
{
}

LogRecordStream::~LogRecordStream()
{
    // QDebug escapes a line feed inside a value, but not these two: a
    // viewer that breaks lines at them would show one record as two.
    m_buffer.replace(QChar(0x2028), QLatin1String("\\u2028")).replace(QChar(0x2029), QLatin1String("\\u2029"));
    // Built before the logger's lock is taken. The message goes in last so
    // that percent sequences inside it are left as they are.
    const QString record = QStringLiteral("%1 %2 %3")
                               .arg(levelText(m_level), 5)
                               .arg(localNow().toString(timestampFormat()))
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
