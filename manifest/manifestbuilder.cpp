#include "manifestbuilder.h"

#include "folderscanner.h"
#include "manifest.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>

namespace {

// Puts `prefix` in front of the url of every file below `element`.
void prefixUrls(QDomElement element, const QString &prefix)
{
    for (QDomElement child = element.firstChildElement(); !child.isNull(); child = child.nextSiblingElement()) {
        if (isFile(child) && child.hasAttribute(QStringLiteral("url")))
            child.setAttribute(QStringLiteral("url"), prefix + child.attribute(QStringLiteral("url")));
        else if (isDirectory(child))
            prefixUrls(child, prefix);
    }
}

void removeFile(QDomElement element, const QString &path)
{
    for (QDomElement child = element.firstChildElement(); !child.isNull(); child = child.nextSiblingElement()) {
        if (isFile(child) && elementPath(child) == path) {
            element.removeChild(child);
            return;
        }
        if (isDirectory(child) && path.startsWith(elementPath(child) + QLatin1Char('/')))
            removeFile(child, path);
    }
}

} // namespace

namespace ManifestBuilder {

QString timestamp()
{
    return QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-ddThh:mm:ss.zzz"));
}

QDomDocument fromFolder(const QString &folder, const QString &excludedFile, int hashThreads,
                        FolderScanner::ContentObserverFactory observerFactory, bool followInternalLinks,
                        QStringList *problems)
{
    FolderScanner scanner;
    scanner.setHashThreads(hashThreads);
    scanner.setContentObserverFactory(std::move(observerFactory));
    scanner.setFollowInternalLinks(followInternalLinks);
    QDomDocument document = scanner.scan(folder);
    if (problems)
        *problems = scanner.problems();
    QDomElement root = document.documentElement();
    if (!excludedFile.isEmpty())
        removeFile(root, excludedFile);
    Manifest manifest(root);
    root.setAttribute(QStringLiteral("name"), QStringLiteral("ROOT"));
    root.setAttribute(QStringLiteral("crc"), manifest.globalChecksum());
    root.setAttribute(QStringLiteral("date"), timestamp());
    sortTree(root);
    return document;
}

bool appendFolder(QDomDocument document, const QString &folder)
{
    QDomElement root = document.documentElement();
    if (root.isNull())
        return false;

    FolderScanner scanner;
    const QDomDocument scanned = scanner.scan(folder);
    QDomElement directory = document.importNode(scanned.documentElement(), true).toElement();
    const QString name = QFileInfo(QDir::cleanPath(folder)).fileName();
    directory.setTagName(QStringLiteral("directory"));
    directory.setAttribute(QStringLiteral("name"), name);
    prefixUrls(directory, name + QLatin1Char('/'));
    root.appendChild(directory);

    Manifest manifest(root);
    root.setAttribute(QStringLiteral("crc"), manifest.globalChecksum());
    root.setAttribute(QStringLiteral("date"), timestamp());
    sortTree(root);
    return true;
}

} // namespace ManifestBuilder
