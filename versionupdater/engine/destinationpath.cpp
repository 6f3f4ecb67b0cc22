#include "destinationpath.h"

#include <QStringList>

bool DestinationPath::resolve(const QString &folder, const QString &fileName, QString *target)
{
    // Both separators count: the names are written for Windows as well.
    QString name = fileName;
    name.replace(QLatin1Char('\\'), QLatin1Char('/'));
    if (name.isEmpty() || name.startsWith(QLatin1Char('/')))
        return false;
    // A colon makes a drive-relative path ("C:x") or an alternate data
    // stream on Windows; neither belongs in a plain relative name.
    if (name.contains(QLatin1Char(':')))
        return false;
    bool hasFileComponent = false;
    const QStringList components = name.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    for (const QString &component : components) {
        if (component == QLatin1String(".."))
            return false;
        if (component != QLatin1String("."))
            hasFileComponent = true;
    }
    // "." or "./" names the folder itself, not a file in it.
    if (!hasFileComponent || name.endsWith(QLatin1Char('/')))
        return false;
    *target = folder.isEmpty() ? name : folder + QLatin1Char('/') + name;
    return true;
}
