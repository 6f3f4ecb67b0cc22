#include "manifestcomparison.h"

#include "log.h"
#include "manifest.h"

#include <QDomDocument>
#include <QHash>
#include <QIODevice>
#include <QSet>

#include <memory>
#include <vector>

namespace {

const QString kNameAttr = QStringLiteral("name");

QString lookupName(const QDomElement &element)
{
    return element.attribute(kNameAttr);
}

void appendRecord(QList<DOM_DIFF *> *list, const QDomElement &distant, const QDomElement &local,
                  int type)
{
    list->append(new DOM_DIFF{distant, local, type});
}

// A directory of the local tree: the first child element of each name, in
// document order, so that a lookup costs what a hash lookup costs instead
// of a scan of the whole directory.
class LocalLevel
{
public:
    explicit LocalLevel(const QDomElement &directory)
        : m_directory(directory)
    {
        for (QDomElement child = directory.firstChildElement(); !child.isNull();
             child = child.nextSiblingElement()) {
            const QString name = lookupName(child);
            if (!m_firstByName.contains(name))
                m_firstByName.insert(name, child);
        }
    }

    QDomElement find(const QString &name) const { return m_firstByName.value(name); }

    // Appends a shallow copy of a distant directory. The copy's name was not
    // found here, so it becomes the first of its name. On a null local
    // element the copy stays detached and nothing can find it.
    QDomElement appendCopyOf(const QDomElement &distantDirectory, const QString &name)
    {
        QDomElement copy = distantDirectory.cloneNode(false).toElement();
        if (!m_directory.isNull()) {
            m_directory.appendChild(copy);
            m_firstByName.insert(name, copy);
        }
        return copy;
    }

private:
    QDomElement m_directory;
    QHash<QString, QDomElement> m_firstByName;
};

// One directory level being compared. The walk keeps its own stack of
// these, so deep trees do not exhaust the call stack.
struct Level
{
    Level(const QDomElement &distant, const QDomElement &local)
        : distant(distant)
        , local(local)
        , localIndex(local)
        , next(distant.firstChildElement())
    {
    }

    QDomElement distant;
    QDomElement local;
    LocalLevel localIndex;
    QSet<QString> distantNames; // of the distant children visited so far
    QDomElement next;           // next distant child to visit
};

// Every local child whose name no distant child has is removed. Runs once
// all distant children are visited, so `distantNames` is complete.
void recordRemovals(const Level &level, QList<DOM_DIFF *> *list)
{
    for (QDomElement child = level.local.firstChildElement(); !child.isNull();
         child = child.nextSiblingElement()) {
        if (!level.distantNames.contains(lookupName(child)))
            appendRecord(list, child, child, REMOVED);
    }
}

} // namespace

QPair<QDomElement, QDomElement> *loadManifestRoots(QIODevice *distantFile, QIODevice *localFile)
{
    return new QPair<QDomElement, QDomElement>(readManifestRoot(distantFile),
                                               readManifestRoot(localFile));
}

QList<DOM_DIFF *> *compareManifests(QPair<QDomElement, QDomElement> *roots)
{
    auto *list = new QList<DOM_DIFF *>();
    if (!roots)
        return list;
    // An unreadable distant manifest cannot be told from an empty release by
    // the comparison itself; read literally it would remove everything that
    // is installed. Nothing is compared instead.
    if (roots->first.isNull()) {
        LOG_WARN() << "The distant manifest has no root element; nothing is compared.";
        return list;
    }
    compareDirectories(roots->first, roots->second, list);
    return list;
}

void compareDirectories(QDomElement distant, QDomElement local, QList<DOM_DIFF *> *list)
{
    std::vector<std::unique_ptr<Level>> stack;
    stack.push_back(std::make_unique<Level>(distant, local));
    while (!stack.empty()) {
        Level &level = *stack.back();
        if (level.next.isNull()) {
            recordRemovals(level, list);
            stack.pop_back();
            continue;
        }
        const QDomElement entry = level.next;
        level.next = entry.nextSiblingElement();

        const QString name = lookupName(entry);
        level.distantNames.insert(name);
        const QDomElement match = level.localIndex.find(name);
        const bool directory = isDirectory(entry);
        if (match.isNull()) {
            if (directory) {
                const QDomElement copy = level.localIndex.appendCopyOf(entry, name);
                appendRecord(list, entry, level.local, NEW);
                addNewSubtree(entry, copy, list);
            } else {
                appendRecord(list, entry, level.local, NEW);
            }
        } else if (directory) {
            // Compared as a directory whatever the local tag: under a local
            // file everything comes out NEW.
            stack.push_back(std::make_unique<Level>(entry, match));
        } else if (needsUpdate(entry, match)) {
            appendRecord(list, entry, match, CHANGED);
        }
    }
}

void addNewSubtree(QDomElement distantDirectory, QDomElement localCopy, QList<DOM_DIFF *> *list)
{
    // Pairs of (distant child still to visit, local copy of its parent).
    std::vector<QPair<QDomElement, QDomElement>> stack;
    stack.emplace_back(distantDirectory.firstChildElement(), localCopy);
    while (!stack.empty()) {
        const QDomElement child = stack.back().first;
        const QDomElement parentCopy = stack.back().second;
        if (child.isNull()) {
            stack.pop_back();
            continue;
        }
        stack.back().first = child.nextSiblingElement();
        if (isDirectory(child)) {
            QDomElement copy = child.cloneNode(false).toElement();
            QDomElement(parentCopy).appendChild(copy);
            stack.emplace_back(child.firstChildElement(), copy);
        } else {
            appendRecord(list, child, parentCopy, NEW);
        }
    }
}

QDomElement findChildByName(QDomElement parent, QString name)
{
    for (QDomElement child = parent.firstChildElement(); !child.isNull();
         child = child.nextSiblingElement()) {
        if (lookupName(child) == name)
            return child;
    }
    return QDomElement();
}

bool needsUpdate(QDomElement distant, QDomElement local)
{
    if (elementDate(distant) > elementDate(local))
        return true;
    return elementCrc(distant) != elementCrc(local) || elementSize(distant) != elementSize(local)
        || elementVersion(distant) != elementVersion(local)
        || elementUrl(distant) != elementUrl(local);
}
