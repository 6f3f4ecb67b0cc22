#ifndef NULLROTATIONSTRATEGY_H
#define NULLROTATIONSTRATEGY_H

#include "rotationstrategy.h"

namespace Logging {

// Never rotates; the log starts empty each time its destination is created.
class NullRotationStrategy : public RotationStrategy
{
public:
    void initFromFile(const QFile &file) override;
    void countMessage(const QString &record) override;
    bool isRotationDue() override;
    void rotate() override;
    QIODevice::OpenMode openModeFlag() override;
};

} // namespace Logging

#endif // NULLROTATIONSTRATEGY_H
