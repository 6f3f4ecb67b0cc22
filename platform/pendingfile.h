#ifndef PLATFORM_PENDINGFILE_H
#define PLATFORM_PENDINGFILE_H

#include "folderhandle.h"

#include <cstdint>

namespace platform {

// A new file written in an opened folder and then put in place under its
// final name in one step: the entry there is the whole old file or the
// whole new one, never a mixture, and a link there is replaced, never
// written through.
//
// On Linux the file has no name until it is placed (O_TMPFILE), so a
// process killed meanwhile leaves nothing; elsewhere, or where the file
// system cannot, it has a hidden name (".~staged-<16 hex>.part", the writer's
// process id and a random number) that removeLeftovers() clears in a later
// run. A file neither placed nor kept
// is removed when the object goes.
class PendingFile
{
public:
    using String = NativeText::String;

    PendingFile();
    ~PendingFile();
    PendingFile(const PendingFile &) = delete;
    PendingFile &operator=(const PendingFile &) = delete;

    Result create(const FolderHandle &folder);

    // The C runtime descriptor to write through; -1 when none. Owned here.
    int descriptor() const { return m_descriptor; }
    const FolderHandle &folder() const { return m_folder; }
    // Whether the file has a name before it is placed.
    bool isNamed() const { return !m_temporaryName.empty(); }

    // Writes what was written to the disk.
    Result sync() const;

    // Puts the file at `name` in `target` (its own folder, or another on the
    // same volume). An existing file there is replaced and keeps its
    // permissions (a read-only one included); a link there is replaced as a
    // link; a folder there is never replaced. On failure the target is as it
    // was. Closes the file either way.
    Result place(const FolderHandle &target, const String &name);
    Result place(const String &name) { return place(m_folder, name); }

    // Closes and removes the file unless it was placed.
    void discard();

    static bool isLeftoverName(const String &name);
    // Removes from `folder` the hidden files that processes left when they
    // ended before placing them: regular files of this naming whose writer
    // (its process id is the name's first 8 hex digits) is no longer
    // running, or that are unchanged for at least `minimumAge` seconds, so
    // that a live writer's file is left alone. Returns how many went.
    static int removeLeftovers(const FolderHandle &folder, std::int64_t minimumAge);

private:
    void closeDescriptor();

    FolderHandle m_folder;
    int m_descriptor = -1;
    String m_temporaryName;
};

} // namespace platform

#endif // PLATFORM_PENDINGFILE_H
