#include "nullrotationstrategy.h"

namespace Logging {

void NullRotationStrategy::initFromFile(const QFile &file)
{
    Q_UNUSED(file)
}

void NullRotationStrategy::countMessage(const QString &record)
{
    Q_UNUSED(record)
}

bool NullRotationStrategy::isRotationDue()
{
    return false;
}

void NullRotationStrategy::rotate()
{
}

QIODevice::OpenMode NullRotationStrategy::openModeFlag()
{
    return QIODevice::Truncate;
}

} // namespace Logging
