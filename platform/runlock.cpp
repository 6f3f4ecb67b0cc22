#include "runlock.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace platform {

#ifdef _WIN32

RunLock::RunLock()
    : m_handle(INVALID_HANDLE_VALUE)
{
}

Result RunLock::acquire(const NativeText::String &path)
{
    release();
    HANDLE handle = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return Result::systemFailure("cannot open the lock file " + NativeText::quoted(path), int(GetLastError()));
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(handle, &info)
        || (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY))) {
        CloseHandle(handle);
        return Result::failure(Result::Kind::Link, "the lock file " + NativeText::quoted(path) + " is a link or a folder");
    }
    OVERLAPPED at = {};
    if (!LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
        const DWORD code = GetLastError();
        CloseHandle(handle);
        if (code == ERROR_LOCK_VIOLATION || code == ERROR_IO_PENDING)
            return Result::failure(Result::Kind::Busy, NativeText::quoted(path) + " is locked by another run");
        return Result::systemFailure("cannot lock " + NativeText::quoted(path), int(code));
    }
    m_handle = handle;
    return Result();
}

void RunLock::release()
{
    if (m_handle != INVALID_HANDLE_VALUE) {
        OVERLAPPED at = {};
        UnlockFileEx(m_handle, 0, 1, 0, &at);
        CloseHandle(m_handle);
    }
    m_handle = INVALID_HANDLE_VALUE;
}

bool RunLock::isHeld() const
{
    return m_handle != INVALID_HANDLE_VALUE;
}

#else

RunLock::RunLock() = default;

Result RunLock::acquire(const NativeText::String &path)
{
    release();
    // Never through a link: the lock file is created, and a link could
    // make that happen anywhere.
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0644);
    if (fd < 0) {
        const int code = errno;
        struct stat status;
        if (::lstat(path.c_str(), &status) == 0 && S_ISLNK(status.st_mode))
            return Result::failure(Result::Kind::Link, "the lock file " + NativeText::quoted(path) + " is a link");
        return Result::systemFailure("cannot open the lock file " + NativeText::quoted(path), code);
    }
    struct stat status;
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(fd);
        return Result::failure(Result::Kind::Failed, "the lock file " + NativeText::quoted(path) + " is not a regular file");
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int code = errno;
        ::close(fd);
        if (code == EWOULDBLOCK)
            return Result::failure(Result::Kind::Busy, NativeText::quoted(path) + " is locked by another run");
        return Result::systemFailure("cannot lock " + NativeText::quoted(path), code);
    }
    m_fd = fd;
    return Result();
}

void RunLock::release()
{
    if (m_fd >= 0)
        ::close(m_fd); // releases the lock
    m_fd = -1;
}

bool RunLock::isHeld() const
{
    return m_fd >= 0;
}

#endif

RunLock::~RunLock()
{
    release();
}

} // namespace platform
