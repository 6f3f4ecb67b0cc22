#ifndef DESTINATION_H
#define DESTINATION_H

#include "loglevel.h"

#include <QString>

namespace Logging {

// Somewhere finished records go. The logger serialises calls to write(),
// so an implementation needs no locking of its own, but it must not log.
class Destination
{
public:
    virtual ~Destination();
    virtual void write(const QString &record, LogLevel level) = 0;
    virtual bool isValid() const = 0;
};

} // namespace Logging

#endif // DESTINATION_H
