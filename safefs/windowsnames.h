#ifndef WINDOWSNAMES_H
#define WINDOWSNAMES_H

#include <QHash>
#include <QString>

// Names Windows cannot hold, for the clients and the manifest tool: a
// reserved device name with or without an extension, a trailing dot or
// space, one of < > : " | ? * \ /, a control character, and two entries of
// one folder that differ only in case (platform::EntryName).
class WindowsNames
{
public:
    // Why Windows cannot hold `name`; empty when it can.
    static QString problem(const QString &name);
    // Equal for two names Windows takes for the same entry.
    static QString key(const QString &name);
    // The same as problem() for one entry of a folder whose entries so far
    // are in *seen (the first name of each key), including a name that
    // differs from an earlier one only in case. Adds the name to *seen.
    static QString problemInFolder(const QString &name, QHash<QString, QString> *seen);
    // Whether the clients refuse such names here (on Windows), rather than
    // install them with a warning.
    static bool refusedHere();
};

#endif // WINDOWSNAMES_H
