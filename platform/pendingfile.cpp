#include "pendingfile.h"

#include "entryname.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <random>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace platform {

namespace {

const char kPrefix[] = ".~staged-";
const char kSuffix[] = ".part";
const int kNameAttempts = 8;

unsigned long processId()
{
#ifdef _WIN32
    return static_cast<unsigned long>(GetCurrentProcessId());
#else
    return static_cast<unsigned long>(getpid());
#endif
}

// A hidden name that no release file uses. It starts with the writer's
// process id, so that a later run can tell a file whose writer was killed
// from one a live process is still writing.
NativeText::String temporaryName()
{
    thread_local std::mt19937 generator{std::random_device{}()};
    char name[64];
    std::snprintf(name, sizeof name, "%s%08lx%08lx%s", kPrefix, processId() & 0xffffffffUL,
                  static_cast<unsigned long>(generator()), kSuffix);
    return NativeText::fromUtf8(name);
}

// Whether the process that wrote the leftover `name` has ended. A process
// id in use again only delays the file's removal to the age rule.
bool writerEnded(const std::string &name)
{
    const unsigned long pid = std::strtoul(name.substr(sizeof kPrefix - 1, 8).c_str(), nullptr, 16);
    if (pid == 0 || pid == processId())
        return false;
#ifdef _WIN32
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(pid));
    if (!process)
        return GetLastError() == ERROR_INVALID_PARAMETER;
    const bool ended = WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
    CloseHandle(process);
    return ended;
#else
    return ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
#endif
}

Result checkTarget(const NativeText::String &name)
{
    if (!EntryName::isPlain(name))
        return Result::failure(Result::Kind::BadName, NativeText::quoted(name) + " is not a plain name");
#ifdef _WIN32
    const std::string problem = EntryName::windowsProblem(NativeText::toUtf8(name));
    if (!problem.empty())
        return Result::failure(Result::Kind::BadName, NativeText::quoted(name) + " cannot be used on Windows: " + problem);
#endif
    return Result();
}

} // namespace

PendingFile::PendingFile() = default;

PendingFile::~PendingFile()
{
    discard();
}

bool PendingFile::isLeftoverName(const String &name)
{
    const std::string text = NativeText::toUtf8(name);
    const size_t prefix = sizeof kPrefix - 1;
    const size_t suffix = sizeof kSuffix - 1;
    if (text.size() != prefix + 16 + suffix || text.compare(0, prefix, kPrefix) != 0
        || text.compare(prefix + 16, suffix, kSuffix) != 0)
        return false;
    for (size_t i = prefix; i < prefix + 16; ++i) {
        const char c = text[i];
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    }
    return true;
}

int PendingFile::removeLeftovers(const FolderHandle &folder, std::int64_t minimumAge)
{
    std::vector<FolderHandle::Entry> entries;
    if (!folder.list(&entries))
        return 0;
    const std::int64_t now = std::int64_t(std::time(nullptr));
    int removed = 0;
    for (const FolderHandle::Entry &entry : entries) {
        if (entry.kind == FolderHandle::EntryKind::File && isLeftoverName(entry.name)
            && (now - entry.modified >= minimumAge || writerEnded(NativeText::toUtf8(entry.name)))
            && folder.removeFile(entry.name))
            ++removed;
    }
    return removed;
}

#ifdef _WIN32

// ---------------------------------------------------------------- Windows

Result PendingFile::create(const FolderHandle &folder)
{
    discard();
    m_folder = folder;
    Result located = folder.checkLocation();
    if (!located)
        return located;
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        const std::wstring name = temporaryName();
        HANDLE handle = CreateFileW(folder.childPath(name).c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                                    nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle == INVALID_HANDLE_VALUE) {
            const DWORD code = GetLastError();
            if (code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS)
                continue; // taken by chance: another name
            return Result::systemFailure("cannot create a file in " + NativeText::quoted(folder.path()), int(code));
        }
        m_descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_BINARY | _O_RDWR);
        m_temporaryName = name;
        if (m_descriptor < 0) {
            CloseHandle(handle);
            discard();
            return Result::failure(Result::Kind::Failed, "cannot use a new file in " + NativeText::quoted(folder.path()));
        }
        return Result();
    }
    return Result::failure(Result::Kind::Exists, "cannot create a file in " + NativeText::quoted(folder.path()));
}

Result PendingFile::sync() const
{
    if (m_descriptor < 0)
        return Result::failure(Result::Kind::Failed, "no file");
    if (!FlushFileBuffers(reinterpret_cast<HANDLE>(_get_osfhandle(m_descriptor))))
        return Result::systemFailure("cannot flush the new file", int(GetLastError()));
    return Result();
}

Result PendingFile::place(const FolderHandle &target, const String &name)
{
    if (m_descriptor < 0 || m_temporaryName.empty())
        return Result::failure(Result::Kind::Failed, "nothing to put in place");
    Result checked = checkTarget(name);
    if (checked)
        checked = m_folder.checkLocation();
    if (checked)
        checked = target.checkLocation();
    if (!checked) {
        discard();
        return checked;
    }
    const std::wstring path = target.childPath(name);
    const DWORD attributes = GetFileAttributesW(path.c_str());
    const bool exists = attributes != INVALID_FILE_ATTRIBUTES;
    if (exists && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        discard();
        return Result::failure(Result::Kind::IsFolder, "cannot replace " + NativeText::quoted(path) + ": it is a folder");
    }
    const bool readOnly = exists && (attributes & FILE_ATTRIBUTE_READONLY);
    closeDescriptor();
    const std::wstring source = m_folder.childPath(m_temporaryName);
    if (readOnly)
        SetFileAttributesW(path.c_str(), attributes & ~DWORD(FILE_ATTRIBUTE_READONLY));
    // Without MOVEFILE_COPY_ALLOWED a move can never become a copy that is
    // cut short.
    if (!MoveFileExW(source.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        const DWORD code = GetLastError();
        if (readOnly)
            SetFileAttributesW(path.c_str(), attributes);
        discard();
        return Result::systemFailure("cannot replace " + NativeText::quoted(path), int(code));
    }
    // The file looks like the one it replaced.
    if (readOnly)
        SetFileAttributesW(path.c_str(), GetFileAttributesW(path.c_str()) | FILE_ATTRIBUTE_READONLY);
    m_temporaryName.clear();
    return Result();
}

void PendingFile::closeDescriptor()
{
    if (m_descriptor >= 0)
        _close(m_descriptor);
    m_descriptor = -1;
}

void PendingFile::discard()
{
    closeDescriptor();
    if (!m_temporaryName.empty() && m_folder.isOpen())
        DeleteFileW(m_folder.childPath(m_temporaryName).c_str());
    m_temporaryName.clear();
}

#else

// ------------------------------------------------------------------ POSIX

Result PendingFile::create(const FolderHandle &folder)
{
    discard();
    m_folder = folder;
    if (!folder.isOpen())
        return Result::failure(Result::Kind::Failed, "no folder");
#ifdef O_TMPFILE
    // Unnamed until placed: nothing to clean up after a crash. Not every
    // file system has it; the named way below works everywhere.
    m_descriptor = ::openat(folder.native(), ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
    if (m_descriptor >= 0)
        return Result();
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)
        return Result::systemFailure("cannot create a file in " + NativeText::quoted(folder.path()), errno);
#endif
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        const std::string name = temporaryName();
        m_descriptor = ::openat(folder.native(), name.c_str(), O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC | O_NOFOLLOW, 0666);
        if (m_descriptor >= 0) {
            m_temporaryName = name;
            return Result();
        }
        if (errno != EEXIST)
            break;
    }
    return Result::systemFailure("cannot create a file in " + NativeText::quoted(folder.path()), errno);
}

Result PendingFile::sync() const
{
    if (m_descriptor < 0)
        return Result::failure(Result::Kind::Failed, "no file");
    if (::fsync(m_descriptor) != 0)
        return Result::systemFailure("cannot flush the new file", errno);
    return Result();
}

Result PendingFile::place(const FolderHandle &target, const String &name)
{
    if (m_descriptor < 0)
        return Result::failure(Result::Kind::Failed, "nothing to put in place");
    Result checked = checkTarget(name);
    if (!checked || !target.isOpen()) {
        discard();
        return checked ? Result::failure(Result::Kind::Failed, "no folder") : checked;
    }
    const std::string path = target.childPath(name);
    // The installed file looks like the one it replaces (an executable
    // stays executable); a new one gets the mode of any new file.
    struct stat existing;
    const bool exists = ::fstatat(target.native(), name.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0;
    if (exists && S_ISDIR(existing.st_mode)) {
        discard();
        return Result::failure(Result::Kind::IsFolder, "cannot replace " + NativeText::quoted(path) + ": it is a folder");
    }
    if (exists && S_ISREG(existing.st_mode) && ::fchmod(m_descriptor, existing.st_mode & 07777) != 0) {
        const int code = errno;
        discard();
        return Result::systemFailure("cannot set the permissions of " + NativeText::quoted(path), code);
    }

    FolderHandle sourceFolder = m_folder;
    std::string source = m_temporaryName;
    if (source.empty()) {
        char self[64];
        std::snprintf(self, sizeof self, "/proc/self/fd/%d", m_descriptor);
        const auto linkUnnamed = [&](const std::string &linkName) {
            int linked = ::linkat(AT_FDCWD, self, target.native(), linkName.c_str(), AT_SYMLINK_FOLLOW);
            if (linked != 0 && errno == ENOENT) // no /proc: needs the privilege root has
                linked = ::linkat(m_descriptor, "", target.native(), linkName.c_str(), AT_EMPTY_PATH);
            return linked == 0;
        };
        // A new file gets its final name in one step: link() never replaces,
        // so a file that appeared meanwhile takes the replacing way below.
        if (!exists) {
            if (linkUnnamed(name)) {
                closeDescriptor();
                return Result();
            }
            if (errno != EEXIST) {
                const int code = errno;
                discard();
                return Result::systemFailure("cannot name the new " + NativeText::quoted(path), code);
            }
        }
        // Otherwise it gets a hidden name first, and the rename below
        // replaces the old entry in one step.
        for (int attempt = 0; attempt < kNameAttempts && source.empty(); ++attempt) {
            const std::string candidate = temporaryName();
            if (linkUnnamed(candidate)) {
                source = candidate;
                sourceFolder = target;
            } else if (errno != EEXIST) {
                const int code = errno;
                discard();
                return Result::systemFailure("cannot name the new " + NativeText::quoted(path), code);
            }
        }
        if (source.empty()) {
            discard();
            return Result::failure(Result::Kind::Exists, "cannot name the new " + NativeText::quoted(path));
        }
    }
    // Renamed at once: a process killed between the two steps leaves the
    // whole new file under its hidden name, for a later run to clear.
    const int renamed = ::renameat(sourceFolder.native(), source.c_str(), target.native(), name.c_str());
    const int code = errno;
    closeDescriptor();
    if (renamed != 0) {
        ::unlinkat(sourceFolder.native(), source.c_str(), 0);
        m_temporaryName.clear();
        return Result::systemFailure("cannot replace " + NativeText::quoted(path), code);
    }
    m_temporaryName.clear();
    return Result();
}

void PendingFile::closeDescriptor()
{
    if (m_descriptor >= 0)
        ::close(m_descriptor);
    m_descriptor = -1;
}

void PendingFile::discard()
{
    closeDescriptor();
    if (!m_temporaryName.empty() && m_folder.isOpen())
        ::unlinkat(m_folder.native(), m_temporaryName.c_str(), 0);
    m_temporaryName.clear();
}

#endif

} // namespace platform
