#include "rotationstrategy.h"

namespace Logging {

RotationStrategy::~RotationStrategy() = default;

} // namespace Logging
