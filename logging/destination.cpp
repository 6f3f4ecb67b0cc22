#include "destination.h"

namespace Logging {

// Defined out of line so the vtable has one home.
Destination::~Destination() = default;

} // namespace Logging
