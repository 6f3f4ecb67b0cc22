#include "folderhandle.h"

#include "entryname.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace platform {

#ifdef _WIN32

// ---------------------------------------------------------------- Windows

struct FolderHandle::State
{
    HANDLE handle = INVALID_HANDLE_VALUE;
    std::wstring path;     // \\?\ form: long paths and every name reachable
    std::wstring location; // final path below the volume, when opened
    Identity identity;

    ~State()
    {
        if (handle != INVALID_HANDLE_VALUE)
            CloseHandle(handle);
    }
};

namespace {

const DWORD kFolderAccess = FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
// Without FILE_SHARE_DELETE nobody can rename or remove the folder while
// it is held.
const DWORD kFolderShare = FILE_SHARE_READ | FILE_SHARE_WRITE;

bool sameText(const std::wstring &a, const std::wstring &b)
{
    return CompareStringOrdinal(a.data(), int(a.size()), b.data(), int(b.size()), TRUE) == CSTR_EQUAL;
}

// The final path of an opened handle below its volume ("\dir\sub"): what
// the handle really is, whatever path it was opened by.
std::wstring locationOf(HANDLE handle)
{
    std::vector<wchar_t> buffer(32768);
    const DWORD length = GetFinalPathNameByHandleW(handle, buffer.data(), DWORD(buffer.size()),
                                                   FILE_NAME_NORMALIZED | VOLUME_NAME_NONE);
    if (length > 0 && length < buffer.size())
        return std::wstring(buffer.data(), length);
    // Some implementations (Wine 8) give up past MAX_PATH; the name
    // information of the handle is the same path below the volume.
    std::vector<char> info(sizeof(FILE_NAME_INFO) + 65536);
    if (GetFileInformationByHandleEx(handle, FileNameInfo, info.data(), DWORD(info.size()))) {
        const auto *name = reinterpret_cast<const FILE_NAME_INFO *>(info.data());
        return std::wstring(name->FileName, name->FileNameLength / sizeof(wchar_t));
    }
    return std::wstring();
}

FolderHandle::Identity identityOf(HANDLE handle, DWORD *attributes = nullptr)
{
    FolderHandle::Identity identity;
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(handle, &info))
        return identity;
    identity.volume = info.dwVolumeSerialNumber;
    identity.node = (std::uint64_t(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    identity.valid = true;
    if (attributes)
        *attributes = info.dwFileAttributes;
    return identity;
}

std::wstring longForm(const std::wstring &path)
{
    DWORD needed = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (needed == 0)
        return path;
    std::wstring full(needed, L'\0');
    const DWORD length = GetFullPathNameW(path.c_str(), needed, &full[0], nullptr);
    full.resize(length);
    if (full.compare(0, 4, L"\\\\?\\") == 0)
        return full;
    if (full.compare(0, 2, L"\\\\") == 0)
        return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

std::wstring joined(const std::wstring &folder, const std::wstring &name)
{
    return !folder.empty() && folder.back() == L'\\' ? folder + name : folder + L"\\" + name;
}

Result checkName(const std::wstring &name)
{
    if (!EntryName::isPlain(name))
        return Result::failure(Result::Kind::BadName, NativeText::quoted(name) + " is not a plain name");
    const std::string problem = EntryName::windowsProblem(NativeText::toUtf8(name));
    if (!problem.empty())
        return Result::failure(Result::Kind::BadName, NativeText::quoted(name) + " cannot be used on Windows: " + problem);
    return Result();
}

FolderHandle::EntryKind kindOfAttributes(DWORD attributes)
{
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT)
        return FolderHandle::EntryKind::Link;
    if (attributes & FILE_ATTRIBUTE_DIRECTORY)
        return FolderHandle::EntryKind::Folder;
    if (attributes & FILE_ATTRIBUTE_DEVICE)
        return FolderHandle::EntryKind::Other;
    return FolderHandle::EntryKind::File;
}

} // namespace

FolderHandle::FolderHandle() = default;

FolderHandle FolderHandle::open(const String &path, Result *result)
{
    FolderHandle folder;
    const std::wstring full = longForm(path);
    HANDLE handle = CreateFileW(full.c_str(), kFolderAccess, kFolderShare, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        *result = Result::systemFailure("cannot open the folder " + NativeText::quoted(path), int(GetLastError()));
        return folder;
    }
    auto state = std::make_shared<State>();
    state->handle = handle;
    DWORD attributes = 0;
    state->identity = identityOf(handle, &attributes);
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        *result = Result::failure(Result::Kind::NotFolder, NativeText::quoted(path) + " is not a folder");
        return folder;
    }
    // The path every child is reached by is the one the handle really has.
    std::vector<wchar_t> buffer(32768);
    const DWORD length = GetFinalPathNameByHandleW(handle, buffer.data(), DWORD(buffer.size()),
                                                   FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    state->path = length > 0 && length < buffer.size() ? std::wstring(buffer.data(), length) : full;
    state->location = locationOf(handle);
    folder.m_state = state;
    *result = Result();
    return folder;
}

FolderHandle FolderHandle::openFolder(const String &name, bool create, Result *result) const
{
    FolderHandle child;
    if (!isOpen()) {
        *result = Result::failure(Result::Kind::Failed, "no folder");
        return child;
    }
    *result = checkName(name);
    if (!*result)
        return child;
    const std::wstring path = childPath(name);
    DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD code = GetLastError();
        const bool missing = code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND;
        if (!missing || !create) {
            *result = Result::systemFailure("cannot open the folder " + NativeText::quoted(path), int(code));
            return child;
        }
        if (!CreateDirectoryW(path.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
            *result = Result::systemFailure("cannot create the folder " + NativeText::quoted(path), int(GetLastError()));
            return child;
        }
        attributes = GetFileAttributesW(path.c_str());
    }
    const auto refuse = [&](DWORD found) {
        if (found & FILE_ATTRIBUTE_REPARSE_POINT)
            *result = Result::failure(Result::Kind::Link, NativeText::quoted(path) + " is a link or a junction");
        else if (!(found & FILE_ATTRIBUTE_DIRECTORY))
            *result = Result::failure(Result::Kind::NotFolder, NativeText::quoted(path) + " is not a folder");
        return !*result;
    };
    if (refuse(attributes))
        return child;
    HANDLE handle = CreateFileW(path.c_str(), kFolderAccess, kFolderShare, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        *result = Result::systemFailure("cannot open the folder " + NativeText::quoted(path), int(GetLastError()));
        return child;
    }
    auto state = std::make_shared<State>();
    state->handle = handle;
    state->path = path;
    state->identity = identityOf(handle, &attributes);
    if (refuse(attributes))
        return child;
    // What was opened must be exactly this folder's child: a link that the
    // system followed anyway (or that appeared meanwhile) leads elsewhere.
    state->location = locationOf(handle);
    const std::wstring expected = joined(m_state->location, name);
    if (state->identity.volume != m_state->identity.volume || !sameText(state->location, expected)) {
        *result = Result::failure(Result::Kind::Link, NativeText::quoted(path) + " leads elsewhere ("
                                                          + NativeText::toUtf8(state->location) + ")");
        return child;
    }
    child.m_state = state;
    *result = Result();
    return child;
}

FolderHandle::EntryKind FolderHandle::kindOf(const String &name, Identity *identity) const
{
    if (!isOpen() || !EntryName::isPlain(name))
        return EntryKind::None;
    const std::wstring path = childPath(name);
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return EntryKind::None;
    if (identity) {
        *identity = Identity();
        HANDLE handle = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        if (handle != INVALID_HANDLE_VALUE) {
            *identity = identityOf(handle);
            CloseHandle(handle);
        }
    }
    return kindOfAttributes(attributes);
}

Result FolderHandle::list(std::vector<Entry> *entries) const
{
    entries->clear();
    if (!isOpen())
        return Result::failure(Result::Kind::Failed, "no folder");
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileExW(childPath(L"*").c_str(), FindExInfoBasic, &data, FindExSearchNameMatch, nullptr, 0);
    if (find == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        return code == ERROR_FILE_NOT_FOUND ? Result()
                                            : Result::systemFailure("cannot list " + NativeText::quoted(path()), int(code));
    }
    do {
        const std::wstring name = data.cFileName;
        if (name == L"." || name == L"..")
            continue;
        const std::uint64_t ticks = (std::uint64_t(data.ftLastWriteTime.dwHighDateTime) << 32)
                                    | data.ftLastWriteTime.dwLowDateTime;
        entries->push_back(Entry{name, kindOfAttributes(data.dwFileAttributes),
                                 std::int64_t(ticks / 10000000) - 11644473600LL});
    } while (FindNextFileW(find, &data));
    FindClose(find);
    return Result();
}

Result FolderHandle::openFile(const String &name, FileAccess access, int *descriptor) const
{
    *descriptor = -1;
    if (!isOpen())
        return Result::failure(Result::Kind::Failed, "no folder");
    Result named = checkName(name);
    if (!named)
        return named;
    const std::wstring path = childPath(name);
    const DWORD desired = access == FileAccess::Read ? GENERIC_READ
                          : access == FileAccess::Append ? FILE_APPEND_DATA | SYNCHRONIZE | FILE_READ_ATTRIBUTES
                                                         : GENERIC_WRITE;
    // Emptied only once it is known to be the file it should be: a link
    // the system followed anyway must not cost its target its content.
    const DWORD disposition = access == FileAccess::Read ? OPEN_EXISTING : OPEN_ALWAYS;
    // A link is opened as itself, and then refused.
    HANDLE handle = CreateFileW(path.c_str(), desired, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                disposition, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return Result::systemFailure("cannot open " + NativeText::quoted(path), int(GetLastError()));
    DWORD attributes = 0;
    identityOf(handle, &attributes);
    Result opened;
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT)
        opened = Result::failure(Result::Kind::Link, NativeText::quoted(path) + " is a link");
    else if (attributes & FILE_ATTRIBUTE_DIRECTORY)
        opened = Result::failure(Result::Kind::IsFolder, NativeText::quoted(path) + " is a folder");
    else if (!sameText(locationOf(handle), joined(m_state->location, name)))
        opened = Result::failure(Result::Kind::Link, NativeText::quoted(path) + " leads elsewhere");
    else if (access == FileAccess::Truncate && !SetEndOfFile(handle))
        opened = Result::systemFailure("cannot empty " + NativeText::quoted(path), int(GetLastError()));
    if (!opened) {
        CloseHandle(handle);
        return opened;
    }
    const int flags = _O_BINARY | (access == FileAccess::Read ? _O_RDONLY : _O_WRONLY)
                      | (access == FileAccess::Append ? _O_APPEND : 0);
    *descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(handle), flags);
    if (*descriptor < 0) {
        CloseHandle(handle);
        return Result::failure(Result::Kind::Failed, "cannot use the handle of " + NativeText::quoted(path));
    }
    return Result();
}

Result FolderHandle::removeFile(const String &name) const
{
    Result checked = checkLocation();
    if (checked)
        checked = checkName(name);
    if (!checked)
        return checked;
    const std::wstring path = childPath(name);
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return Result::systemFailure("cannot remove " + NativeText::quoted(path), int(GetLastError()));
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT))
            return Result::failure(Result::Kind::IsFolder, "cannot remove " + NativeText::quoted(path) + ": it is a folder");
        // A link to a folder, or a junction: the link goes, never what it
        // leads to. Wine removes its links to folders as files.
        if (!RemoveDirectoryW(path.c_str()) && !DeleteFileW(path.c_str()))
            return Result::systemFailure("cannot remove " + NativeText::quoted(path), int(GetLastError()));
        return Result();
    }
    // A read-only file is still ours to replace or remove.
    if (attributes & FILE_ATTRIBUTE_READONLY)
        SetFileAttributesW(path.c_str(), attributes & ~DWORD(FILE_ATTRIBUTE_READONLY));
    if (!DeleteFileW(path.c_str())) {
        const DWORD code = GetLastError();
        if (attributes & FILE_ATTRIBUTE_READONLY)
            SetFileAttributesW(path.c_str(), attributes);
        return Result::systemFailure("cannot remove " + NativeText::quoted(path), int(code));
    }
    return Result();
}

Result FolderHandle::removeEmptyFolder(const String &name) const
{
    Result checked = checkLocation();
    if (checked)
        checked = checkName(name);
    if (!checked)
        return checked;
    const std::wstring path = childPath(name);
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return Result::systemFailure("cannot remove " + NativeText::quoted(path), int(GetLastError()));
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT)
        return Result::failure(Result::Kind::Link, "cannot remove " + NativeText::quoted(path) + ": it is a link");
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY))
        return Result::failure(Result::Kind::NotFolder, "cannot remove " + NativeText::quoted(path) + ": not a folder");
    if (!RemoveDirectoryW(path.c_str()))
        return Result::systemFailure("cannot remove " + NativeText::quoted(path), int(GetLastError()));
    return Result();
}

Result FolderHandle::checkLocation() const
{
    if (!isOpen())
        return Result::failure(Result::Kind::Failed, "no folder");
    const std::wstring now = locationOf(m_state->handle);
    if (now.empty() || !sameText(now, m_state->location))
        return Result::failure(Result::Kind::Changed, NativeText::quoted(path()) + " moved (now "
                                                          + NativeText::toUtf8(now) + ")");
    return Result();
}

Result FolderHandle::sync() const
{
    // Each file is written through when it is put in place (MoveFileEx
    // with MOVEFILE_WRITE_THROUGH); a folder handle cannot be flushed.
    return isOpen() ? Result() : Result::failure(Result::Kind::Failed, "no folder");
}

void *FolderHandle::native() const
{
    return isOpen() ? m_state->handle : INVALID_HANDLE_VALUE;
}

FolderHandle::String FolderHandle::childPath(const String &name) const
{
    return joined(path(), name);
}

#else

// ------------------------------------------------------------------ POSIX

struct FolderHandle::State
{
    int fd = -1;
    std::string path;
    Identity identity;

    ~State()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

namespace {

FolderHandle::Identity identityOf(const struct stat &status)
{
    FolderHandle::Identity identity;
    identity.volume = std::uint64_t(status.st_dev);
    identity.node = std::uint64_t(status.st_ino);
    identity.valid = true;
    return identity;
}

FolderHandle::EntryKind kindOfMode(mode_t mode)
{
    if (S_ISLNK(mode))
        return FolderHandle::EntryKind::Link;
    if (S_ISDIR(mode))
        return FolderHandle::EntryKind::Folder;
    if (S_ISREG(mode))
        return FolderHandle::EntryKind::File;
    return FolderHandle::EntryKind::Other;
}

Result checkName(const std::string &name)
{
    if (!EntryName::isPlain(name))
        return Result::failure(Result::Kind::BadName, NativeText::quoted(name) + " is not a plain name");
    return Result();
}

} // namespace

FolderHandle::FolderHandle() = default;

FolderHandle FolderHandle::open(const String &path, Result *result)
{
    FolderHandle folder;
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        *result = Result::systemFailure("cannot open the folder " + NativeText::quoted(path), errno);
        return folder;
    }
    auto state = std::make_shared<State>();
    state->fd = fd;
    state->path = path;
    struct stat status;
    if (::fstat(fd, &status) == 0)
        state->identity = identityOf(status);
    folder.m_state = state;
    *result = Result();
    return folder;
}

FolderHandle FolderHandle::openFolder(const String &name, bool create, Result *result) const
{
    FolderHandle child;
    if (!isOpen()) {
        *result = Result::failure(Result::Kind::Failed, "no folder");
        return child;
    }
    *result = checkName(name);
    if (!*result)
        return child;
    const std::string path = childPath(name);
    const int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    int fd = ::openat(m_state->fd, name.c_str(), flags);
    if (fd < 0 && errno == ENOENT && create) {
        if (::mkdirat(m_state->fd, name.c_str(), 0777) != 0 && errno != EEXIST) {
            *result = Result::systemFailure("cannot create the folder " + NativeText::quoted(path), errno);
            return child;
        }
        fd = ::openat(m_state->fd, name.c_str(), flags);
    }
    if (fd < 0) {
        const int code = errno;
        // O_NOFOLLOW with O_DIRECTORY reports a link as ELOOP or ENOTDIR,
        // depending on the system: what is there says which.
        const EntryKind kind = kindOf(name);
        if (kind == EntryKind::Link)
            *result = Result::failure(Result::Kind::Link, NativeText::quoted(path) + " is a link");
        else if (kind == EntryKind::File || kind == EntryKind::Other)
            *result = Result::failure(Result::Kind::NotFolder, NativeText::quoted(path) + " is not a folder");
        else
            *result = Result::systemFailure("cannot open the folder " + NativeText::quoted(path), code);
        return child;
    }
    auto state = std::make_shared<State>();
    state->fd = fd;
    state->path = path;
    struct stat status;
    if (::fstat(fd, &status) == 0)
        state->identity = identityOf(status);
    child.m_state = state;
    *result = Result();
    return child;
}

FolderHandle::EntryKind FolderHandle::kindOf(const String &name, Identity *identity) const
{
    if (identity)
        *identity = Identity();
    struct stat status;
    if (!isOpen() || !EntryName::isPlain(name)
        || ::fstatat(m_state->fd, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0)
        return EntryKind::None;
    if (identity)
        *identity = identityOf(status);
    return kindOfMode(status.st_mode);
}

Result FolderHandle::list(std::vector<Entry> *entries) const
{
    entries->clear();
    if (!isOpen())
        return Result::failure(Result::Kind::Failed, "no folder");
    // A descriptor of its own: reading moves its position.
    const int fd = ::openat(m_state->fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR *dir = fd >= 0 ? ::fdopendir(fd) : nullptr;
    if (!dir) {
        const int code = errno;
        if (fd >= 0)
            ::close(fd);
        return Result::systemFailure("cannot list " + NativeText::quoted(path()), code);
    }
    while (const dirent *entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        struct stat status;
        if (::fstatat(m_state->fd, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0)
            continue; // gone meanwhile
        entries->push_back(Entry{name, kindOfMode(status.st_mode), std::int64_t(status.st_mtime)});
    }
    ::closedir(dir);
    return Result();
}

Result FolderHandle::openFile(const String &name, FileAccess access, int *descriptor) const
{
    *descriptor = -1;
    if (!isOpen())
        return Result::failure(Result::Kind::Failed, "no folder");
    Result named = checkName(name);
    if (!named)
        return named;
    const std::string path = childPath(name);
    int flags = O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    flags |= access == FileAccess::Read ? O_RDONLY
             : access == FileAccess::Append ? O_WRONLY | O_CREAT | O_APPEND
                                            : O_WRONLY | O_CREAT;
    const int fd = ::openat(m_state->fd, name.c_str(), flags, 0666);
    if (fd < 0) {
        const int code = errno;
        if (kindOf(name) == EntryKind::Link)
            return Result::failure(Result::Kind::Link, NativeText::quoted(path) + " is a link");
        return Result::systemFailure("cannot open " + NativeText::quoted(path), code);
    }
    // Opened without waiting, so that a pipe or a device planted there
    // cannot hold the program; only a regular file is kept.
    struct stat status;
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(fd);
        return Result::failure(S_ISDIR(status.st_mode) ? Result::Kind::IsFolder : Result::Kind::Failed,
                               NativeText::quoted(path) + " is not a regular file");
    }
    if (::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0
        || (access == FileAccess::Truncate && ::ftruncate(fd, 0) != 0)) {
        const int code = errno;
        ::close(fd);
        return Result::systemFailure("cannot open " + NativeText::quoted(path), code);
    }
    *descriptor = fd;
    return Result();
}

Result FolderHandle::removeFile(const String &name) const
{
    if (!isOpen())
        return Result::failure(Result::Kind::Failed, "no folder");
    Result named = checkName(name);
    if (!named)
        return named;
    if (kindOf(name) == EntryKind::Folder)
        return Result::failure(Result::Kind::IsFolder, "cannot remove " + NativeText::quoted(childPath(name)) + ": it is a folder");
    if (::unlinkat(m_state->fd, name.c_str(), 0) != 0)
        return Result::systemFailure("cannot remove " + NativeText::quoted(childPath(name)), errno);
    return Result();
}

Result FolderHandle::removeEmptyFolder(const String &name) const
{
    if (!isOpen())
        return Result::failure(Result::Kind::Failed, "no folder");
    Result named = checkName(name);
    if (!named)
        return named;
    const EntryKind kind = kindOf(name);
    if (kind == EntryKind::Link)
        return Result::failure(Result::Kind::Link, "cannot remove " + NativeText::quoted(childPath(name)) + ": it is a link");
    if (::unlinkat(m_state->fd, name.c_str(), AT_REMOVEDIR) != 0)
        return Result::systemFailure("cannot remove " + NativeText::quoted(childPath(name)), errno);
    return Result();
}

Result FolderHandle::checkLocation() const
{
    return isOpen() ? Result() : Result::failure(Result::Kind::Failed, "no folder");
}

Result FolderHandle::sync() const
{
    if (!isOpen())
        return Result::failure(Result::Kind::Failed, "no folder");
#ifdef __linux__
    // One call for the whole file system: far cheaper than a flush per file
    // when an update writes thousands of small ones.
    if (::syncfs(m_state->fd) != 0)
#else
    if (::fsync(m_state->fd) != 0)
#endif
        return Result::systemFailure("cannot flush " + NativeText::quoted(path()), errno);
    return Result();
}

int FolderHandle::native() const
{
    return isOpen() ? m_state->fd : -1;
}

FolderHandle::String FolderHandle::childPath(const String &name) const
{
    return path() + "/" + name;
}

#endif

// ------------------------------------------------------------------- both

bool FolderHandle::isOpen() const
{
    return m_state != nullptr;
}

const FolderHandle::String &FolderHandle::path() const
{
    static const String none;
    return isOpen() ? m_state->path : none;
}

FolderHandle::Identity FolderHandle::identity() const
{
    return isOpen() ? m_state->identity : Identity();
}

} // namespace platform
