#include "result.h"

#include "nativetext.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <cerrno>
#include <cstring>
#endif

namespace platform {

namespace {

#ifdef _WIN32
Result::Kind kindOf(int code)
{
    switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return Result::Kind::Missing;
    case ERROR_ALREADY_EXISTS:
    case ERROR_FILE_EXISTS:
        return Result::Kind::Exists;
    case ERROR_DIRECTORY:
        return Result::Kind::NotFolder;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
        return Result::Kind::Busy;
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
        return Result::Kind::BadName;
    default:
        return Result::Kind::Failed;
    }
}

std::string reasonOf(int code)
{
    wchar_t *text = nullptr;
    const DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM
                                            | FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, DWORD(code), 0, reinterpret_cast<wchar_t *>(&text), 0, nullptr);
    std::wstring message = length ? std::wstring(text, length) : std::wstring();
    if (text)
        LocalFree(text);
    while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r' || message.back() == L' '
                                || message.back() == L'.'))
        message.pop_back();
    std::string reason = NativeText::toUtf8(message);
    // The number is what a search or a support request needs.
    return (reason.empty() ? std::string("system error") : reason) + " (error " + std::to_string(code) + ")";
}
#else
Result::Kind kindOf(int code)
{
    switch (code) {
    case ENOENT:
        return Result::Kind::Missing;
    case EEXIST:
        return Result::Kind::Exists;
    case ELOOP:
        return Result::Kind::Link;
    case ENOTDIR:
        return Result::Kind::NotFolder;
    case EISDIR:
        return Result::Kind::IsFolder;
    case EWOULDBLOCK:
    case EBUSY:
        return Result::Kind::Busy;
    case ENAMETOOLONG:
        return Result::Kind::BadName;
    default:
        return Result::Kind::Failed;
    }
}

std::string reasonOf(int code)
{
    return std::strerror(code);
}
#endif

} // namespace

Result Result::failure(Kind kind, const std::string &text)
{
    Result result;
    result.m_kind = kind == Kind::Ok ? Kind::Failed : kind;
    result.m_error = text;
    return result;
}

Result Result::systemFailure(const std::string &what, int code)
{
    Result result = failure(kindOf(code), what + ": " + reasonOf(code));
    result.m_reason = reasonOf(code);
    return result;
}

} // namespace platform
