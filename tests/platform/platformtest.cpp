// The platform layer as each system runs it: built natively on Linux
// (tst_platform), and cross-built with mingw-w64 and run under Wine
// (tst_platform_wine), where the same cases meet the Windows behaviours
// none of the Qt programs can be run against here. Plain C++: no Qt for
// Windows on these machines.
//
//   platformtest [--outside-link NAME] [--outside-file-link FILE] [PE-FILE ...]
//                [--damaged PE-FILE ...]
//       runs every case in the current folder, which it fills; NAME is a
//       link to the folder "outside" and FILE one to outside/secret.txt, made
//       beforehand by the caller, and each
//       PE-FILE is read by versionupdater's reader and, on Windows, by the
//       system's version functions (those after --damaged are images built
//       to be wrong). Exit status 0 when every check held.
//   platformtest --hold-lock FOLDER | --stage-and-wait FOLDER
//       helpers: take the lock FOLDER/run.lock, or leave a staged file in
//       FOLDER, then make FOLDER/ready and wait to be killed.

#include "entryname.h"
#include "folderhandle.h"
#include "pendingfile.h"
#include "peversionreader.h"
#include "runlock.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#include <winioctl.h>
#else
#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

using platform::EntryName;
using platform::FolderHandle;
using platform::NativeText;
using platform::PendingFile;
using platform::Result;
using platform::RunLock;
using String = NativeText::String;
using Kind = FolderHandle::EntryKind;

namespace {

int g_failures = 0;
std::string g_case;

#define CHECK(condition, text) check(bool(condition), (text), __LINE__)

void check(bool ok, const std::string &text, int line)
{
    if (ok)
        return;
    ++g_failures;
    std::printf("FAIL %s (line %d): %s\n", g_case.c_str(), line, text.c_str());
}

String N(const std::string &utf8)
{
    return NativeText::fromUtf8(utf8);
}

std::string U(const String &native)
{
    return NativeText::toUtf8(native);
}

bool writeAll(int fd, const std::string &data)
{
#ifdef _WIN32
    return _write(fd, data.data(), unsigned(data.size())) == int(data.size());
#else
    return ::write(fd, data.data(), data.size()) == ssize_t(data.size());
#endif
}

// The content of a file of `folder`, read through the layer itself;
// "<missing>" when it cannot be opened.
std::string readAll(const FolderHandle &folder, const String &name)
{
    int fd = -1;
    if (!folder.openFile(name, FolderHandle::FileAccess::Read, &fd))
        return "<missing>";
    std::string content;
    char buffer[4096];
    for (;;) {
#ifdef _WIN32
        const int n = _read(fd, buffer, sizeof buffer);
#else
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
#endif
        if (n <= 0)
            break;
        content.append(buffer, size_t(n));
    }
#ifdef _WIN32
    _close(fd);
#else
    ::close(fd);
#endif
    return content;
}

bool writeFile(const FolderHandle &folder, const String &name, const std::string &content)
{
    int fd = -1;
    if (!folder.openFile(name, FolderHandle::FileAccess::Truncate, &fd))
        return false;
    const bool ok = writeAll(fd, content);
#ifdef _WIN32
    _close(fd);
#else
    ::close(fd);
#endif
    return ok;
}

// Stages `content` in `folder` and puts it at `name`.
Result place(const FolderHandle &folder, const String &name, const std::string &content)
{
    PendingFile file;
    Result result = file.create(folder);
    if (!result)
        return result;
    if (!writeAll(file.descriptor(), content))
        return Result::failure(Result::Kind::Failed, "write failed");
    return file.place(name);
}

std::vector<std::string> names(const FolderHandle &folder)
{
    std::vector<FolderHandle::Entry> entries;
    folder.list(&entries);
    std::vector<std::string> list;
    for (const auto &entry : entries)
        list.push_back(U(entry.name));
    std::sort(list.begin(), list.end());
    return list;
}

std::string joinedNames(const FolderHandle &folder)
{
    std::string text;
    for (const std::string &name : names(folder))
        text += (text.empty() ? "" : ",") + name;
    return "[" + text + "]";
}

// A fresh folder for one case, below the current one.
FolderHandle caseFolder(const FolderHandle &work, const std::string &name)
{
    g_case = name;
    Result result;
    FolderHandle folder = work.openFolder(N(name), true, &result);
    CHECK(result, "case folder: " + result.error());
    return folder;
}

void setReadOnly(const FolderHandle &folder, const String &name)
{
#ifdef _WIN32
    SetFileAttributesW(folder.childPath(name).c_str(), FILE_ATTRIBUTE_READONLY);
#else
    ::fchmodat(folder.native(), name.c_str(), 0444, 0);
#endif
}

bool isReadOnly(const FolderHandle &folder, const String &name)
{
#ifdef _WIN32
    const DWORD attributes = GetFileAttributesW(folder.childPath(name).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY);
#else
    struct stat status;
    return ::fstatat(folder.native(), name.c_str(), &status, 0) == 0 && (status.st_mode & 0777) == 0444;
#endif
}

// ---------------------------------------------------------------- helpers
// processes of their own, killed as a crash or an impatient user would.

#ifdef _WIN32
using Helper = HANDLE;
#else
using Helper = pid_t;
#endif

int runHelper(const std::string &what, const String &folderName);

// Runs this program as a helper in the case folder `folderName`.
Helper startHelper(const std::string &what, const std::string &folderName)
{
#ifdef _WIN32
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring command = L"\"" + std::wstring(self) + L"\" " + N(what) + L" \"" + N(folderName) + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(self, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return nullptr;
    CloseHandle(process.hThread);
    return process.hProcess;
#else
    const pid_t pid = ::fork();
    if (pid == 0)
        ::_exit(runHelper(what, folderName));
    return pid;
#endif
}

void killHelper(Helper helper)
{
#ifdef _WIN32
    TerminateProcess(helper, 9);
    WaitForSingleObject(helper, 30000);
    CloseHandle(helper);
#else
    ::kill(helper, SIGKILL);
    ::waitpid(helper, nullptr, 0);
#endif
}

bool waitForFile(const FolderHandle &folder, const String &name)
{
    for (int i = 0; i < 600; ++i) {
        if (folder.kindOf(name) != Kind::None)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

int runHelper(const std::string &what, const String &folderName)
{
    Result result;
    const FolderHandle folder = FolderHandle::open(N("."), &result).openFolder(folderName, false, &result);
    RunLock lock;
    PendingFile file;
    if (result && what == "--hold-lock") {
        result = lock.acquire(N(U(folderName) + "/run.lock"));
    } else if (result) {
        result = file.create(folder);
        if (result && !writeAll(file.descriptor(), "unfinished"))
            result = Result::failure(Result::Kind::Failed, "write failed");
    }
    if (!result) {
        std::printf("helper %s: %s\n", what.c_str(), result.error().c_str());
        return 3;
    }
    writeFile(folder, N("ready"), "ready");
    for (;;)
        std::this_thread::sleep_for(std::chrono::seconds(1));
}

// ------------------------------------------------------------------ cases

// An existing file, a read-only one and one another handle holds open. On
// Windows the last is a sharing violation: the attempt fails with its
// reason and nothing is half-placed. The folder holds no staged file after.
void placing(const FolderHandle &work)
{
    const FolderHandle folder = caseFolder(work, "placing");
    CHECK(writeFile(folder, N("a.txt"), "old a") && writeFile(folder, N("ro.txt"), "old ro")
              && writeFile(folder, N("held.txt"), "old held"),
          "set-up");
    setReadOnly(folder, N("ro.txt"));

    Result result = place(folder, N("a.txt"), "new a");
    CHECK(result, "over an existing file: " + result.error());
    CHECK(readAll(folder, N("a.txt")) == "new a", "placed content");

    result = place(folder, N("ro.txt"), "new ro");
    CHECK(result, "over a read-only file: " + result.error());
    CHECK(readAll(folder, N("ro.txt")) == "new ro", "placed over the read-only file");
    CHECK(isReadOnly(folder, N("ro.txt")), "still read-only, as the file it replaced");

#ifdef _WIN32
    HANDLE held = CreateFileW(folder.childPath(N("held.txt")).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    CHECK(held != INVALID_HANDLE_VALUE, "holding held.txt");
    result = place(folder, N("held.txt"), "new held");
    std::printf("  placing over a file held open: %s\n", result ? "placed" : result.error().c_str());
    CHECK(!result && !result.error().empty(), "a file held open without sharing is not replaced, and says why");
    CloseHandle(held);
    CHECK(readAll(folder, N("held.txt")) == "old held", "the held file is whole and old");
#else
    // POSIX: an open file never blocks a rename; its reader keeps the old one.
    int reader = -1;
    CHECK(folder.openFile(N("held.txt"), FolderHandle::FileAccess::Read, &reader), "holding held.txt");
    result = place(folder, N("held.txt"), "new held");
    CHECK(result, "over a file held open: " + result.error());
    char first[3] = {};
    CHECK(::read(reader, first, 3) == 3 && std::string(first, 3) == "old", "the reader still sees the old file");
    ::close(reader);
    CHECK(readAll(folder, N("held.txt")) == "new held", "placed over the open file");
#endif
    CHECK(joinedNames(folder) == "[a.txt,held.txt,ro.txt]", "nothing else in the folder: " + joinedNames(folder));

    // A folder is never replaced by a file.
    Result made;
    folder.openFolder(N("sub"), true, &made);
    CHECK(writeFile(folder.openFolder(N("sub"), false, &made), N("inside"), "kept"), "a folder with a file");
    result = place(folder, N("sub"), "a file");
    CHECK(!result && result.kind() == Result::Kind::IsFolder, "a folder is not replaced: " + result.error());
    CHECK(readAll(folder.openFolder(N("sub"), false, &made), N("inside")) == "kept", "its content is kept");
}

// Names past 260 characters: every level opened from the one above, by
// \\?\ paths on Windows.
void longNames(const FolderHandle &work)
{
    FolderHandle folder = caseFolder(work, "long names");
    std::vector<FolderHandle> levels{folder};
    for (char c = 'a'; c < 'f'; ++c) {
        Result result;
        levels.push_back(levels.back().openFolder(N(std::string(60, c)), true, &result));
        CHECK(result, "level " + std::string(1, c) + ": " + result.error());
    }
    const FolderHandle &deepest = levels.back();
    CHECK(deepest.path().size() > 300, "the path is long: " + std::to_string(deepest.path().size()));
    Result result = place(deepest, N("deep.txt"), "deep");
    CHECK(result, "placed at the bottom: " + result.error());
    result = place(deepest, N("deep.txt"), "deeper");
    CHECK(result, "replaced at the bottom: " + result.error());
    CHECK(readAll(deepest, N("deep.txt")) == "deeper", "read back");
    CHECK(deepest.removeFile(N("deep.txt")), "removed");
    for (size_t i = levels.size() - 1; i > 0; --i) {
        const String name = N(std::string(60, char('a' + i - 1)));
        levels.pop_back(); // a folder held open cannot be removed on Windows
        result = levels.back().removeEmptyFolder(name);
        CHECK(result, "empty level removed: " + result.error());
    }
    CHECK(names(folder).empty(), "all gone: " + joinedNames(folder));
}

// The run lock, held by a second process, then freed by its death.
void lock(const FolderHandle &work)
{
    const FolderHandle folder = caseFolder(work, "lock");
    const std::string path = "lock/run.lock";
    Helper holder = startHelper("--hold-lock", "lock");
    CHECK(waitForFile(folder, N("ready")), "the helper took the lock");
    RunLock mine;
    Result result = mine.acquire(N(path));
    CHECK(!result && result.kind() == Result::Kind::Busy, "held by the other process: " + result.error());
    killHelper(holder);
    for (int i = 0; i < 100 && !result; ++i) {
        result = mine.acquire(N(path));
        if (!result)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    CHECK(result, "free once the holder is gone: " + result.error());
    RunLock second;
    result = second.acquire(N(path));
    CHECK(!result && result.kind() == Result::Kind::Busy, "a second holder in this process waits its turn too");
    mine.release();
    CHECK(second.acquire(N(path)), "released");
}

// Names Windows cannot hold: the rule, and on Windows the refusal before
// anything is written (a reserved name would reach a device).
void reservedNames(const FolderHandle &work)
{
    const FolderHandle folder = caseFolder(work, "names");
    const char *refused[] = {"CON", "con", "NUL", "aux.txt", "Prn.log.gz", "COM1", "lpt9.txt", "COM\xc2\xb9",
                             "CONOUT$", "CON .txt", "name.", "name ", "a<b", "a>b", "a:b", "a\"b", "a|b",
                             "a?b", "a*b", "a\\b", "tab\there", "bell\x07"};
    for (const char *name : refused)
        CHECK(!EntryName::windowsProblem(name).empty(), std::string("refused by the rule: ") + name);
    const char *accepted[] = {"CONSOLE", "COM10", "LPT", "aux_file.txt", "normal.txt", ".hidden", "x.y.z",
                              "\xc3\x84rger.txt", "nul-terminated"};
    for (const char *name : accepted)
        CHECK(EntryName::windowsProblem(name).empty(), std::string("accepted by the rule: ") + name);

    for (const char *name : {"aux.txt", "CON", "trailing.", "trailing "}) {
        Result result = place(folder, N(name), "x");
#ifdef _WIN32
        CHECK(!result && result.kind() == Result::Kind::BadName, std::string("not placed: ") + name);
        Result opened;
        folder.openFolder(N(name), true, &opened);
        CHECK(!opened && opened.kind() == Result::Kind::BadName, std::string("no folder made: ") + name);
#else
        CHECK(result, std::string("other systems hold it: ") + name + ": " + result.error());
#endif
    }
#ifdef _WIN32
    CHECK(names(folder).empty(), "nothing written: " + joinedNames(folder));
#endif
    // No name leads out of its folder, on any system.
    for (const char *name : {"..", ".", "a/b", ""}) {
        Result opened;
        folder.openFolder(N(name), true, &opened);
        CHECK(!opened && opened.kind() == Result::Kind::BadName, std::string("no level: '") + name + "'");
        CHECK(!place(folder, N(name), "x"), std::string("nothing placed: '") + name + "'");
    }
}

// Two names that differ only in case are one entry on Windows.
void caseTwins(const FolderHandle &work)
{
    const FolderHandle folder = caseFolder(work, "case");
    CHECK(EntryName::windowsKey("Readme.txt") == EntryName::windowsKey("README.TXT"), "ASCII");
    CHECK(EntryName::windowsKey("\xc3\xa4rger") == EntryName::windowsKey("\xc3\x84RGER"), "beyond ASCII");
    CHECK(EntryName::windowsKey("a.txt") != EntryName::windowsKey("b.txt"), "different names");
    CHECK(place(folder, N("Readme.txt"), "first"), "first name");
    CHECK(place(folder, N("README.TXT"), "second"), "second name");
    Result result;
    const FolderHandle lower = folder.openFolder(N("sub"), true, &result);
    const FolderHandle upper = folder.openFolder(N("SUB"), true, &result);
#ifdef _WIN32
    CHECK(names(folder).size() == 2, "one file and one folder: " + joinedNames(folder));
    CHECK(readAll(folder, N("readme.txt")) == "second", "the second replaced the first");
    CHECK(lower.identity() == upper.identity(), "sub and SUB are one folder");
#else
    CHECK(names(folder).size() == 4, "two files and two folders: " + joinedNames(folder));
    CHECK(lower.identity() != upper.identity(), "sub and SUB are two folders");
#endif
}

// A staged file whose process was killed: none on Linux (it has no name
// yet); elsewhere the next run removes it, its writer having ended, and
// never a live one or a user's file of a similar name.
void leftovers(const FolderHandle &work)
{
    const FolderHandle folder = caseFolder(work, "leftovers");
    Helper writer = startHelper("--stage-and-wait", "leftovers");
    CHECK(waitForFile(folder, N("ready")), "the helper staged a file");
    killHelper(writer);
    CHECK(folder.removeFile(N("ready")), "set-up");
    const std::vector<std::string> left = names(folder);
    std::printf("  left by the killed process: %s\n", joinedNames(folder).c_str());
    for (const std::string &name : left)
        CHECK(PendingFile::isLeftoverName(N(name)), "only a staged file: " + name);
    CHECK(writeFile(folder, N(".~staged-notes.part"), "the user's"), "a user's file of a similar name");
    PendingFile live;
    CHECK(live.create(folder), "a live staged file");
    CHECK(PendingFile::removeLeftovers(folder, 3600) == int(left.size()),
          "the killed process's file removed at once: its writer has ended");
    CHECK(PendingFile::removeLeftovers(folder, 3600) == 0, "the live one and the user's file stay");
    CHECK(live.descriptor() >= 0 && live.place(N("done.txt")), "the live one is placed");
    CHECK(joinedNames(folder) == "[.~staged-notes.part,done.txt]", "what remains: " + joinedNames(folder));
}

#ifdef _WIN32
// A directory symbolic link and a junction, made by the system when it
// can. Returns what stopped it, or an empty text.
std::string makeSymbolicLink(const FolderHandle &folder, const String &name, const String &target)
{
    if (!CreateSymbolicLinkW(folder.childPath(name).c_str(), target.c_str(),
                             SYMBOLIC_LINK_FLAG_DIRECTORY | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE))
        return "CreateSymbolicLinkW failed with error " + std::to_string(GetLastError());
    if (GetFileAttributesW(folder.childPath(name).c_str()) == INVALID_FILE_ATTRIBUTES)
        return "CreateSymbolicLinkW reported success but made no link";
    return std::string();
}

std::string makeJunction(const FolderHandle &folder, const String &name, const String &target)
{
    if (!CreateDirectoryW(folder.childPath(name).c_str(), nullptr))
        return "cannot make the folder";
    HANDLE handle = CreateFileW(folder.childPath(name).c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    // The mount point layout: tag, length, then the substitute and print
    // names, each ended by a NUL.
    const std::wstring substitute = L"\\??\\" + target.substr(target.compare(0, 4, L"\\\\?\\") == 0 ? 4 : 0);
    std::vector<char> buffer(8 + 8 + (substitute.size() + 2) * sizeof(wchar_t));
    auto *words = reinterpret_cast<unsigned short *>(buffer.data() + 8);
    *reinterpret_cast<DWORD *>(buffer.data()) = IO_REPARSE_TAG_MOUNT_POINT;
    *reinterpret_cast<unsigned short *>(buffer.data() + 4) = static_cast<unsigned short>(buffer.size() - 8);
    words[0] = 0;
    words[1] = static_cast<unsigned short>(substitute.size() * sizeof(wchar_t));
    words[2] = static_cast<unsigned short>(words[1] + sizeof(wchar_t));
    words[3] = 0;
    std::memcpy(buffer.data() + 16, substitute.c_str(), substitute.size() * sizeof(wchar_t));
    DWORD returned = 0;
    const BOOL ok = DeviceIoControl(handle, FSCTL_SET_REPARSE_POINT, buffer.data(), DWORD(buffer.size()), nullptr, 0,
                                    &returned, nullptr);
    const DWORD code = GetLastError();
    CloseHandle(handle);
    if (!ok) {
        RemoveDirectoryW(folder.childPath(name).c_str());
        return "FSCTL_SET_REPARSE_POINT failed with error " + std::to_string(code);
    }
    return std::string();
}
#endif

// A link (or junction) inside the destination that leads outside is
// never opened as a level, never written through and, removed, goes as a
// link; what it leads to never changes.
void linksOutside(const FolderHandle &work, const std::string &hostLink, const std::string &hostFileLink)
{
    const FolderHandle folder = caseFolder(work, "links");
    Result result;
    const FolderHandle outside = work.openFolder(N("outside"), true, &result);
    CHECK(writeFile(outside, N("secret.txt"), "outside"), "set-up");

    std::vector<String> links;
#ifdef _WIN32
    for (const auto &[kind, problem] :
         {std::make_pair(std::string("symbolic link"), makeSymbolicLink(folder, N("symlink"), outside.path())),
          std::make_pair(std::string("junction"), makeJunction(folder, N("junction"), outside.path()))}) {
        if (problem.empty())
            links.push_back(N(kind == "junction" ? "junction" : "symlink"));
        else
            std::printf("SKIP links: a %s cannot be made here: %s\n", kind.c_str(), problem.c_str());
    }
#else
    CHECK(::symlinkat("../outside", folder.native(), "symlink") == 0, "a symbolic link");
    links.push_back("symlink");
#endif
    if (!hostLink.empty()) {
        // Made by the caller on the host: a Unix link, which Wine shows as a
        // reparse point.
        links.push_back(N(hostLink));
        CHECK(work.kindOf(N(hostLink)) == Kind::Link, "the host's link is seen as a link");
    }
    for (const String &name : links) {
        const FolderHandle &parent = name == N(hostLink) ? work : folder;
        Result opened;
        parent.openFolder(name, true, &opened);
        CHECK(!opened && opened.kind() == Result::Kind::Link, U(name) + " refused as a level: " + opened.error());
        CHECK(parent.kindOf(name) == Kind::Link, U(name) + " is a link");
        Result placed = place(parent, name, "in place of the link");
#ifdef _WIN32
        // MoveFileEx cannot replace a folder link: it is left as it is.
        CHECK(!placed && parent.kindOf(name) == Kind::Link, U(name) + ": not replaced by a file");
#else
        // The link itself is replaced, as any link in place of a file.
        CHECK(placed && parent.kindOf(name) == Kind::File, U(name) + ": replaced by a file: " + placed.error());
#endif
        const Result removed = parent.removeFile(name);
#ifdef _WIN32
        // Wine cannot remove the host's links: either way, what they lead
        // to stays (checked below).
        if (!removed)
            std::printf("  %s not removed: %s\n", U(name).c_str(), removed.error().c_str());
#else
        CHECK(removed && parent.kindOf(name) == Kind::None, U(name) + " removed: " + removed.error());
#endif
    }

    // A link to a file outside: never opened, replaced as itself. Wine does
    // not mark the host's links to files at all, so there only the final
    // path of the opened handle tells.
    String fileLink = N(hostFileLink);
#ifndef _WIN32
    CHECK(::symlinkat("../outside/secret.txt", folder.native(), "file-link") == 0, "a link to a file");
    fileLink = "file-link";
#endif
    if (!fileLink.empty()) {
        const FolderHandle &parent = hostFileLink.empty() ? folder : work;
        int descriptor = -1;
        const Result opened = parent.openFile(fileLink, FolderHandle::FileAccess::Truncate, &descriptor);
        CHECK(!opened && opened.kind() == Result::Kind::Link, U(fileLink) + " not opened: " + opened.error());
        const Result placed = place(parent, fileLink, "in place of the link");
        CHECK(placed && readAll(parent, fileLink) == "in place of the link", U(fileLink) + " replaced: " + placed.error());
        links.push_back(fileLink);
    }
    CHECK(joinedNames(outside) == "[secret.txt]" && readAll(outside, N("secret.txt")) == "outside",
          "nothing outside changed: " + joinedNames(outside));
    std::printf("  links tried: %zu\n", links.size());
}

// An opened folder stays the one that was opened. On Windows it cannot be
// renamed while held; on POSIX it can, and what is written goes where the
// handle is, never to the new entry at the old name.
void heldFolder(const FolderHandle &work)
{
    const FolderHandle folder = caseFolder(work, "held folder");
    Result result;
    const FolderHandle sub = folder.openFolder(N("sub"), true, &result);
    CHECK(sub.checkLocation(), "where it was opened");
#ifdef _WIN32
    const BOOL moved = MoveFileExW(folder.childPath(N("sub")).c_str(), folder.childPath(N("moved")).c_str(), 0);
    CHECK(!moved, "a held folder cannot be renamed");
    std::printf("  renaming a held folder: error %lu\n", moved ? 0UL : GetLastError());
#else
    CHECK(::renameat(folder.native(), "sub", folder.native(), "moved") == 0, "renamed away");
    CHECK(::mkdirat(folder.native(), "sub", 0777) == 0, "another folder under the old name");
    CHECK(place(sub, N("f.txt"), "into the handle"), "placed through the handle");
    const FolderHandle moved = folder.openFolder(N("moved"), false, &result);
    const FolderHandle impostor = folder.openFolder(N("sub"), false, &result);
    CHECK(readAll(moved, N("f.txt")) == "into the handle", "the file is in the folder that was opened");
    CHECK(names(impostor).empty(), "the new folder at the old name got nothing");
#endif
}

#ifdef _WIN32
std::string systemVersionOf(const std::wstring &path)
{
    DWORD handle = 0;
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &handle);
    std::vector<unsigned char> block(size ? size : 1);
    VS_FIXEDFILEINFO *info = nullptr;
    UINT length = 0;
    if (size > 0 && GetFileVersionInfoW(path.c_str(), handle, size, block.data())
        && VerQueryValueW(block.data(), L"\\", reinterpret_cast<void **>(&info), &length) && info
        && length >= sizeof(VS_FIXEDFILEINFO) && info->dwSignature == 0xfeef04bd)
        return std::to_string(HIWORD(info->dwFileVersionMS)) + "." + std::to_string(LOWORD(info->dwFileVersionMS))
               + "." + std::to_string(HIWORD(info->dwFileVersionLS)) + "." + std::to_string(LOWORD(info->dwFileVersionLS));
    return "none";
}

// The system's reading of each image's file version, in a process of its
// own: the version functions may crash on a damaged image (Wine's do).
// Appends "FILE<tab>" before and "VERSION<newline>" after each reading
// ("none" when there is none) to `out`, so that a crash shows where.
int systemVersionHelper(const std::wstring &out, const std::vector<std::string> &files)
{
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    // A crash ends the process at once and quietly, without a debugger.
    AddVectoredExceptionHandler(1, [](EXCEPTION_POINTERS *) -> LONG {
        TerminateProcess(GetCurrentProcess(), 99);
        return EXCEPTION_CONTINUE_SEARCH;
    });
    Result result;
    const FolderHandle here = FolderHandle::open(L".", &result);
    int fd = -1;
    if (!here.openFile(out, FolderHandle::FileAccess::Append, &fd))
        return 3;
    for (const std::string &file : files) {
        writeAll(fd, file + "\t");
        writeAll(fd, systemVersionOf(N(file)) + "\n");
    }
    _close(fd);
    return 0;
}

// What the system reads from each file: a version, "none", or "crashed".
std::vector<std::string> systemVersions(const FolderHandle &work, const std::vector<std::string> &files)
{
    std::vector<std::string> versions;
    work.removeFile(L"versions.txt");
    while (versions.size() < files.size()) {
        wchar_t self[MAX_PATH];
        GetModuleFileNameW(nullptr, self, MAX_PATH);
        std::wstring command = L"\"" + std::wstring(self) + L"\" --system-versions versions.txt";
        for (size_t i = versions.size(); i < files.size(); ++i)
            command += L" \"" + N(files[i]) + L"\"";
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION process = {};
        if (!CreateProcessW(self, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
            break;
        WaitForSingleObject(process.hProcess, 120000);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
        const std::string text = readAll(work, L"versions.txt");
        versions.clear();
        size_t at = 0;
        for (size_t end; (end = text.find('\n', at)) != std::string::npos; at = end + 1)
            versions.push_back(text.substr(text.find('\t', at) + 1, end - text.find('\t', at) - 1));
        if (at < text.size()) {
            // Started and never finished: the crash is the system's answer.
            versions.push_back("crashed");
            writeFile(work, L"versions.txt", text + "crashed\n");
        } else if (versions.size() < files.size()) {
            break; // the helper could not run at all
        }
    }
    versions.resize(files.size(), "not read");
    return versions;
}
#endif

// versionupdater's own reader and the system's version functions agree on
// every image: both read the same version, or neither reads one. A damaged
// image (`hostile`) is never given a version the system does not read;
// where the system reads past what the image declares, ours refuses.
void peVersions(const FolderHandle &work, const std::vector<std::string> &files, const std::vector<std::string> &hostile)
{
    g_case = "PE versions";
#ifdef _WIN32
    int readBySystem = 0;
    const std::vector<std::string> bySystem = systemVersions(work, files);
    for (const std::string &file : files) {
        std::vector<unsigned char> bytes;
        if (FILE *in = _wfopen(N(file).c_str(), L"rb")) {
            unsigned char buffer[65536];
            size_t n;
            while ((n = std::fread(buffer, 1, sizeof buffer, in)) > 0)
                bytes.insert(bytes.end(), buffer, buffer + n);
            std::fclose(in);
        }
        CHECK(!bytes.empty(), "readable: " + file);
        PeVersionReader::FileVersion version{};
        const std::string ours = PeVersionReader::read(bytes.data(), bytes.size(), &version)
                                     ? std::to_string(version[0]) + "." + std::to_string(version[1]) + "."
                                           + std::to_string(version[2]) + "." + std::to_string(version[3])
                                     : "none";
        const std::string system = bySystem[size_t(&file - files.data())];
        const bool damaged = std::find(hostile.begin(), hostile.end(), file) != hostile.end();
        std::printf("  %s%s: system %s, ours %s\n", file.c_str(), damaged ? " (damaged)" : "", system.c_str(),
                    ours.c_str());
        if (system.find('.') != std::string::npos)
            ++readBySystem;
        if (damaged)
            CHECK(ours == "none" || ours == system, file + ": ours reads a version the system does not");
        else
            CHECK(ours == system, file + ": the two readers differ");
    }
    CHECK(files.empty() || readBySystem > 0, "the system read at least one image");
#else
    (void)work;
    (void)hostile;
    if (!files.empty())
        std::printf("SKIP PE versions: the system's version functions exist on Windows only\n");
#endif
}

} // namespace

int main(int argc, char *argv[])
{
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    if (argc == 3 && (std::strcmp(argv[1], "--hold-lock") == 0 || std::strcmp(argv[1], "--stage-and-wait") == 0))
        return runHelper(argv[1], N(argv[2]));
#ifdef _WIN32
    if (argc >= 3 && std::strcmp(argv[1], "--system-versions") == 0)
        return systemVersionHelper(N(argv[2]), std::vector<std::string>(argv + 3, argv + argc));
#endif
    std::string hostLink;
    std::string hostFileLink;
    std::vector<std::string> peFiles;
    std::vector<std::string> hostile;
    bool damaged = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--outside-link") == 0 && i + 1 < argc) {
            hostLink = argv[++i];
        } else if (std::strcmp(argv[i], "--outside-file-link") == 0 && i + 1 < argc) {
            hostFileLink = argv[++i];
        } else if (std::strcmp(argv[i], "--damaged") == 0) {
            damaged = true;
        } else {
            peFiles.push_back(argv[i]);
            if (damaged)
                hostile.push_back(argv[i]);
        }
    }
    Result result;
    const FolderHandle work = FolderHandle::open(N("."), &result);
    if (!result) {
        std::printf("FAIL cannot open the current folder: %s\n", result.error().c_str());
        return 1;
    }
    std::printf("platformtest in %s\n", U(work.path()).c_str());
    placing(work);
    longNames(work);
    lock(work);
    reservedNames(work);
    caseTwins(work);
    leftovers(work);
    linksOutside(work, hostLink, hostFileLink);
    heldFolder(work);
    peVersions(work, peFiles, hostile);
    std::printf("%s: %d failed check(s)\n", g_failures ? "FAILED" : "PASSED", g_failures);
    return g_failures ? 1 : 0;
}
