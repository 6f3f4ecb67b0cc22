#include "reportproblem.h"

#include <cstdio>

namespace Logging {

void reportProblem(const QString &text, const QString &reason)
{
    const QString message = reason.isEmpty() ? text : text + QStringLiteral(" (") + reason + QLatin1Char(')');
    std::fputs(message.toLocal8Bit().constData(), stderr);
}

} // namespace Logging
