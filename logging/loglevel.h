#ifndef LOGLEVEL_H
#define LOGLEVEL_H

namespace Logging {

// A record passes when its level is at or above the logger's threshold.
// Fixed to int so that any integer is a valid value (printed as "INFO").
enum LogLevel : int {
    Trace = 0,
    Debug = 1,
    Info = 2,
    Warn = 3,
    Error = 4,
    Fatal = 5,
    Off = 6
};

} // namespace Logging

#endif // LOGLEVEL_H
