#ifndef PLATFORM_NATIVETEXT_H
#define PLATFORM_NATIVETEXT_H

#include <string>

namespace platform {

// Names and paths as the system takes them: bytes on POSIX (UTF-8 by
// convention), UTF-16 on Windows, where only the wide functions reach long
// paths and every name a user can make.
class NativeText
{
public:
#ifdef _WIN32
    using String = std::wstring;
#else
    using String = std::string;
#endif

    static String fromUtf8(const std::string &text);
    static std::string toUtf8(const String &text);
    // A path as error texts show it: UTF-8, in single quotes.
    static std::string quoted(const String &text);
};

} // namespace platform

#endif // PLATFORM_NATIVETEXT_H
