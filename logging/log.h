#ifndef LOG_H
#define LOG_H

// The logging front end: include this, configure Logger::instance() once at
// start-up, then write  LOG_INFO() << "text" << value << Qt::endl;

#include "debugoutputdestination.h"
#include "destination.h"
#include "filedestination.h"
#include "logger.h"
#include "loglevel.h"
#include "logrecordstream.h"
#include "nullrotationstrategy.h"
#include "rotationstrategy.h"
#include "sizerotationstrategy.h"

#include <QSharedPointer>
#include <QString>

namespace Logging {

// With rotate false the log is truncated now and never rotated, and the two
// sizes are ignored; otherwise it is rotated past maxSize bytes, keeping
// backupCount numbered backups (at most 10).
QSharedPointer<Destination> createFileDestination(const QString &filePath, bool rotate,
                                                  qint64 maxSize, int backupCount);
QSharedPointer<Destination> createDebugOutputDestination();

} // namespace Logging

// The threshold is tested before anything is streamed, so the values of a
// statement below it are never evaluated. The loop runs its body at most
// once; unlike an if/else it leaves no dangling else behind, so a statement
// is safe as the body of an unbraced if.
#define LOGGING_STATEMENT(lvl)                                                            \
    for (bool logging_enabled_ = Logging::Logger::instance().level() <= Logging::lvl;    \
         logging_enabled_; logging_enabled_ = false)                                      \
        Logging::LogRecordStream(Logging::lvl).stream()

#define LOG_TRACE() LOGGING_STATEMENT(Trace)
#define LOG_DEBUG() LOGGING_STATEMENT(Debug)
#define LOG_INFO() LOGGING_STATEMENT(Info)
#define LOG_WARN() LOGGING_STATEMENT(Warn)
#define LOG_ERROR() LOGGING_STATEMENT(Error)
#define LOG_FATAL() LOGGING_STATEMENT(Fatal)

#endif // LOG_H
