#ifndef DESTINATIONPATH_H
#define DESTINATIONPATH_H

#include <QString>

// Where a downloaded file goes. The file names come from the server's
// version list, so a name that would climb out of the destination folder
// (absolute, drive-qualified, "..") or that the file system would cut short
// (a NUL character) is refused rather than followed. Links on disk are
// settled later, by the destination folder itself.
class DestinationPath
{
public:
    // Sets *target to folder/fileName (fileName alone when folder is empty)
    // and returns true only when that path stays inside the folder.
    static bool resolve(const QString &folder, const QString &fileName, QString *target);

    // The same rules; splits an accepted name into its folder part ("" for
    // the destination itself, levels joined by "/", "." levels dropped) and
    // its last component, the file's own name.
    static bool split(const QString &fileName, QString *folder, QString *name);
};

#endif // DESTINATIONPATH_H
