#ifndef PLATFORM_FOLDERHANDLE_H
#define PLATFORM_FOLDERHANDLE_H

#include "nativetext.h"
#include "result.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace platform {

// An opened folder. Below the folder the caller opened by its path, every
// level is opened from the one above and never through a link, and every
// operation names an entry relative to an opened folder, never through a
// path checked earlier: whatever is renamed or swapped meanwhile, nothing
// is reached that was not inside.
//
// POSIX: a descriptor (openat with O_DIRECTORY | O_NOFOLLOW, mkdirat,
// unlinkat). Windows: a handle opened without FILE_SHARE_DELETE, so the
// folder cannot be renamed or removed while it is held; a level opened
// below is checked to be exactly parent\name by the final path of its
// handle, and the folder's own final path is checked again before every
// rename and delete. Copies share one handle, closed with the last copy.
class FolderHandle
{
public:
    using String = NativeText::String;

    // What identifies a folder or a file on its volume, whatever its name.
    struct Identity
    {
        std::uint64_t volume = 0;
        std::uint64_t node = 0;
        bool valid = false;

        bool operator==(const Identity &other) const
        {
            return valid && other.valid && volume == other.volume && node == other.node;
        }
        bool operator!=(const Identity &other) const { return !(*this == other); }
    };

    // A link is reported as one, whatever it leads to.
    enum class EntryKind { None, File, Folder, Link, Other };

    struct Entry
    {
        String name;
        EntryKind kind = EntryKind::None;
        std::int64_t modified = 0; // seconds since 1970, UTC
    };

    enum class FileAccess {
        Read,     // an existing file
        Append,   // created when missing
        Truncate, // created when missing, emptied otherwise
    };

    FolderHandle();

    // Opens the folder at `path`, which the caller chose: links in it are
    // followed, once, here.
    static FolderHandle open(const String &path, Result *result);

    bool isOpen() const;
    // The path it was opened by (Windows: the final path of the handle),
    // for messages and for what only takes paths.
    const String &path() const;
    String childPath(const String &name) const;
    Identity identity() const;

    // The folder `name` inside this one, made first when missing and
    // `create` is set. Refused when it is a link or a junction (Link),
    // not a folder (NotFolder), or a name the system cannot hold.
    FolderHandle openFolder(const String &name, bool create, Result *result) const;

    // What is at `name` now, without following a link; its identity too
    // when asked.
    EntryKind kindOf(const String &name, Identity *identity = nullptr) const;

    Result list(std::vector<Entry> *entries) const;

    // A regular file in this folder, never through a link, as a C runtime
    // descriptor the caller owns.
    Result openFile(const String &name, FileAccess access, int *descriptor) const;

    // Removes a file, or a link as itself; never a folder.
    Result removeFile(const String &name) const;
    // Removes an empty folder; never a link or a file.
    Result removeEmptyFolder(const String &name) const;

    // Whether the folder is still where it was opened. On POSIX every
    // operation is relative to the descriptor and this always holds.
    Result checkLocation() const;

    // Flushes what was written on the folder's file system to the disk.
    Result sync() const;

#ifdef _WIN32
    void *native() const;
#else
    int native() const;
#endif

private:
    struct State;
    std::shared_ptr<State> m_state;
};

} // namespace platform

#endif // PLATFORM_FOLDERHANDLE_H
