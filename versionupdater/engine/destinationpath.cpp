#include "destinationpath.h"

#include <QStringList>

namespace {

// The levels of an acceptable relative file name, without "." levels;
// empty when the name is refused.
QStringList levelsOf(const QString &fileName)
{
    // Both separators count: the names are written for Windows as well.
    QString name = fileName;
    name.replace(QLatin1Char('\\'), QLatin1Char('/'));
    if (name.isEmpty() || name.startsWith(QLatin1Char('/')) || name.endsWith(QLatin1Char('/')))
        return {};
    // A colon makes a drive-relative path ("C:x") or an alternate data
    // stream on Windows; neither belongs in a plain relative name. A NUL
    // would end the name early at the system call ("a\0b" becomes "a").
    if (name.contains(QLatin1Char(':')) || name.contains(QChar(0)))
        return {};
    QStringList levels;
    const QStringList components = name.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    for (const QString &component : components) {
        if (component == QLatin1String(".."))
            return {};
        if (component != QLatin1String("."))
            levels << component;
    }
    return levels;
}

} // namespace

bool DestinationPath::resolve(const QString &folder, const QString &fileName, QString *target)
{
    if (levelsOf(fileName).isEmpty())
        return false;
    QString name = fileName;
    name.replace(QLatin1Char('\\'), QLatin1Char('/'));
    *target = folder.isEmpty() ? name : folder + QLatin1Char('/') + name;
    return true;
}

bool DestinationPath::split(const QString &fileName, QString *folder, QString *name)
{
    QStringList levels = levelsOf(fileName);
    if (levels.isEmpty())
        return false;
    *name = levels.takeLast();
    *folder = levels.join(QLatin1Char('/'));
    return true;
}
