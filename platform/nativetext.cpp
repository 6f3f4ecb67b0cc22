#include "nativetext.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace platform {

#ifdef _WIN32

NativeText::String NativeText::fromUtf8(const std::string &text)
{
    if (text.empty())
        return String();
    const int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0);
    String wide(size_t(length > 0 ? length : 0), L'\0');
    if (length > 0)
        MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), &wide[0], length);
    return wide;
}

std::string NativeText::toUtf8(const String &text)
{
    if (text.empty())
        return std::string();
    const int length = WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0, nullptr, nullptr);
    std::string narrow(size_t(length > 0 ? length : 0), '\0');
    if (length > 0)
        WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), &narrow[0], length, nullptr, nullptr);
    return narrow;
}

#else

NativeText::String NativeText::fromUtf8(const std::string &text)
{
    return text;
}

std::string NativeText::toUtf8(const String &text)
{
    return text;
}

#endif

std::string NativeText::quoted(const String &text)
{
    return "'" + toUtf8(text) + "'";
}

} // namespace platform
