#include "log.h"

namespace Logging {

QSharedPointer<Destination> createFileDestination(const QString &filePath, bool rotate,
                                                  qint64 maxSize, int backupCount)
{
    QSharedPointer<RotationStrategy> strategy;
    if (rotate) {
        QSharedPointer<SizeRotationStrategy> sizeStrategy(new SizeRotationStrategy);
        sizeStrategy->setMaximumSize(maxSize);
        sizeStrategy->setBackupCount(backupCount);
        strategy = sizeStrategy;
    } else {
        strategy.reset(new NullRotationStrategy);
    }
    return QSharedPointer<Destination>(new FileDestination(filePath, strategy));
}

QSharedPointer<Destination> createDebugOutputDestination()
{
    return QSharedPointer<Destination>(new DebugOutputDestination);
}

} // namespace Logging
