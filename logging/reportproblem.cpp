#include "reportproblem.h"

#include <cstdio>

namespace Logging {

void reportProblem(const QString &text)
{
    std::fputs(text.toLocal8Bit().constData(), stderr);
}

} // namespace Logging
