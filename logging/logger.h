#ifndef LOGGER_H
#define LOGGER_H

#include "destination.h"
#include "loglevel.h"

#include <QScopedPointer>
#include <QSharedPointer>

namespace Logging {

class LoggerPrivate;

// The one logger of the process: a threshold and the destinations every
// record goes to. Configure it (level, destinations) before other threads
// log; only dispatch() locks.
class Logger
{
public:
    static Logger &instance();

    void setLevel(LogLevel level);
    LogLevel level() const;

    // Appended in order; a record reaches the destinations in that order.
    void addDestination(const QSharedPointer<Destination> &destination);

    // Hands one finished record to every destination, under the lock.
    void dispatch(const QString &record, LogLevel level);

private:
    Logger();
    ~Logger();
    Q_DISABLE_COPY(Logger)

    QScopedPointer<LoggerPrivate> d;
};

} // namespace Logging

#endif // LOGGER_H
