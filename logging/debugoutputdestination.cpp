#include "debugoutputdestination.h"

#ifdef Q_OS_WIN
#include <qt_windows.h>
#else
#include <QByteArray>
#include <cstdio>
#endif

namespace Logging {

void DebugOutputDestination::write(const QString &record, LogLevel level)
{
    Q_UNUSED(level)
#ifdef Q_OS_WIN
    OutputDebugStringW(reinterpret_cast<const wchar_t *>(record.utf16()));
    OutputDebugStringW(L"\n");
#else
    // One fwrite per record keeps it in one piece next to other stderr output.
    QByteArray line = record.toLocal8Bit();
    line.append('\n');
    std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
    std::fflush(stderr);
#endif
}

bool DebugOutputDestination::isValid() const
{
    return true;
}

} // namespace Logging
