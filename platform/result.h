#ifndef PLATFORM_RESULT_H
#define PLATFORM_RESULT_H

#include <string>

namespace platform {

// The outcome of an operation on the file system: success, or what kind of
// failure and a text that says why, ready for a log.
class Result
{
public:
    enum class Kind {
        Ok,
        Missing,   // no such entry
        Exists,    // an entry is in the way
        Link,      // a link (or a junction) where a plain entry was required
        NotFolder, // a file where a folder was required
        IsFolder,  // a folder where a file was required
        Changed,   // an opened folder is no longer where it was opened
        Busy,      // held by someone else: a lock, a sharing violation
        BadName,   // a name this system cannot hold
        Failed,    // anything else
    };

    Result() = default;
    static Result failure(Kind kind, const std::string &text);
    // `what` followed by the system's reason for `code` (errno, or
    // GetLastError() on Windows); the kind follows from the code.
    static Result systemFailure(const std::string &what, int code);

    bool ok() const { return m_kind == Kind::Ok; }
    explicit operator bool() const { return ok(); }
    Kind kind() const { return m_kind; }
    // UTF-8; empty on success.
    const std::string &error() const { return m_error; }
    // The system's reason alone ("No such file or directory"), or the
    // whole text when the failure is not the system's.
    const std::string &reason() const { return m_reason.empty() ? m_error : m_reason; }

private:
    Kind m_kind = Kind::Ok;
    std::string m_error;
    std::string m_reason;
};

} // namespace platform

#endif // PLATFORM_RESULT_H
