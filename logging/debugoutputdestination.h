#ifndef DEBUGOUTPUTDESTINATION_H
#define DEBUGOUTPUTDESTINATION_H

#include "destination.h"

namespace Logging {

// The debugger output on Windows; elsewhere standard error stands in for it.
class DebugOutputDestination : public Destination
{
public:
    void write(const QString &record, LogLevel level) override;
    bool isValid() const override;
};

} // namespace Logging

#endif // DEBUGOUTPUTDESTINATION_H
