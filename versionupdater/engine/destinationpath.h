#ifndef DESTINATIONPATH_H
#define DESTINATIONPATH_H

#include <QString>

// Where a downloaded file goes. The file names come from the server's
// version list, so a name that would climb out of the destination folder
// (absolute, drive-qualified, "..") is refused rather than followed.
class DestinationPath
{
public:
    // Sets *target to folder/fileName (fileName alone when folder is empty)
    // and returns true only when that path stays inside the folder.
    static bool resolve(const QString &folder, const QString &fileName, QString *target);
};

#endif // DESTINATIONPATH_H
