#include "logger.h"

#include <QMutex>
#include <QMutexLocker>
#include <QVector>

namespace Logging {

class LoggerPrivate
{
public:
    LoggerPrivate() { destinations.reserve(2); }

    QMutex mutex; // non-recursive: a destination must not log
    LogLevel level = Info;
    QVector<QSharedPointer<Destination>> destinations;
};

Logger::Logger()
    : d(new LoggerPrivate)
{
}

Logger::~Logger() = default;

Logger &Logger::instance()
{
    // Destroyed at normal exit, which lets the file destination flush and close.
    static Logger logger;
    return logger;
}

void Logger::setLevel(LogLevel level)
{
    d->level = level;
}

LogLevel Logger::level() const
{
    return d->level;
}

void Logger::addDestination(const QSharedPointer<Destination> &destination)
{
    d->destinations.append(destination);
}

void Logger::dispatch(const QString &record, LogLevel level)
{
    QMutexLocker lock(&d->mutex);
    for (const QSharedPointer<Destination> &destination : qAsConst(d->destinations))
        destination->write(record, level);
}

} // namespace Logging
