#ifndef PLATFORM_ENTRYNAME_H
#define PLATFORM_ENTRYNAME_H

#include "nativetext.h"

#include <string>

namespace platform {

// The rules for a single name in a folder (one path component).
class EntryName
{
public:
    // Why Windows cannot hold `name` (UTF-8) as a file or folder name, or
    // an empty text when it can: a reserved device name with or without an
    // extension ("CON", "aux.txt", "COM1", "LPT¹"), a trailing dot or space
    // (Windows strips them, so the entry would get another name), one of
    // < > : " | ? * \ /, or a control character.
    static std::string windowsProblem(const std::string &name);

    // The key under which Windows compares names: two names of one folder
    // with the same key are the same entry there ("Readme.txt" and
    // "README.TXT").
    static std::string windowsKey(const std::string &name);

    // A single component this layer works with at all: not empty, not "."
    // or "..", no separator and no NUL.
    static bool isPlain(const NativeText::String &name);
};

} // namespace platform

#endif // PLATFORM_ENTRYNAME_H
