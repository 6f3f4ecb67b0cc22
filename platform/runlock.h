#ifndef PLATFORM_RUNLOCK_H
#define PLATFORM_RUNLOCK_H

#include "nativetext.h"
#include "result.h"

namespace platform {

// One run at a time: an exclusive lock on a lock file (flock on POSIX,
// LockFileEx on Windows), held until release() or the end of the object,
// and by the system until the process ends, however it ends. The file is
// made when missing and never removed: removing it would let a second run
// lock a new file while the first still holds the old one.
class RunLock
{
public:
    RunLock();
    ~RunLock();
    RunLock(const RunLock &) = delete;
    RunLock &operator=(const RunLock &) = delete;

    // Takes the lock without waiting. Kind Busy when another holder has
    // it; Link when the lock file is a link (never followed).
    Result acquire(const NativeText::String &path);
    void release();
    bool isHeld() const;

private:
#ifdef _WIN32
    void *m_handle;
#else
    int m_fd = -1;
#endif
};

} // namespace platform

#endif // PLATFORM_RUNLOCK_H
