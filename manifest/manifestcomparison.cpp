#include "manifestcomparison.h"

#include "manifest.h"

#include <QDomDocument>
#include <QHash>
#include <QIODevice>

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

// needsUpdate() on handles the caller keeps: this runs for every file
// present on both sides, where the copies and conversions of the public
// accessors are a measurable share of the time. The content is compared
// before the dates: the answer is the same either way, and most pairs then
// need no date parsing at all.
bool contentDiffers(const QDomElement &distant, const QDomElement &local)
{
    static const QString crc = QStringLiteral("crc");
    static const QString size = QStringLiteral("size");
    static const QString version = QStringLiteral("version");
    static const QString url = QStringLiteral("url");
    static const QString date = QStringLiteral("date");
    static const QString zero = QStringLiteral("0");
    static const QString dot = QStringLiteral(".");
    static const QString noDate = QStringLiteral("0000-00-00T00:00:00+00:00");
    if (distant.attribute(crc) != local.attribute(crc)
        || distant.attribute(size, zero) != local.attribute(size, zero)
        || distant.attribute(version, zero) != local.attribute(version, zero)
        || distant.attribute(url, dot) != local.attribute(url, dot))
        return true;
    const QString distantDate = distant.attribute(date, noDate);
    const QString localDate = local.attribute(date, noDate);
    // Only the first ten characters are read as the date.
    if (distantDate.leftRef(10) == localDate.leftRef(10))
        return false;
    return elementDate(distant) > elementDate(local);
}

// The children of one local directory, indexed by name. A lookup returns
// the first child of that name in document order, as a scan would, but
// costs a hash lookup instead of a walk over the whole directory. It also
// notes which names the distant side has, so the removals need no second
// lookup on the distant directory.
class LocalLevel
{
public:
    explicit LocalLevel(const QDomElement &directory)
        : m_directory(directory)
    {
        for (QDomElement child = directory.firstChildElement(); !child.isNull();
             child = child.nextSiblingElement()) {
            const QString name = lookupName(child);
            auto found = m_idByName.constFind(name);
            int id;
            if (found == m_idByName.cend()) {
                id = int(m_names.size());
                m_idByName.insert(name, id);
                m_names.push_back(Name{child, false});
            } else {
                id = found.value();
            }
            m_children.push_back(Child{child, id});
        }
    }

    // The first local child called `name`; the name counts as present on
    // the distant side from now on.
    const QDomElement &directory() const { return m_directory; }

    QDomElement match(const QString &name)
    {
        const auto found = m_idByName.constFind(name);
        if (found == m_idByName.cend())
            return QDomElement();
        Name &entry = m_names[size_t(found.value())];
        entry.onDistantSide = true;
        return entry.first;
    }

    // Appends a shallow copy of a distant directory. Its name was not found
    // here, so the copy becomes the first of that name. On a null local
    // element the copy stays detached and nothing can find it.
    QDomElement appendCopyOf(const QDomElement &distantDirectory, const QString &name)
    {
        QDomElement copy = distantDirectory.cloneNode(false).toElement();
        if (!m_directory.isNull()) {
            m_directory.appendChild(copy);
            m_idByName.insert(name, int(m_names.size()));
            m_names.push_back(Name{copy, true});
        }
        return copy;
    }

    // Every local child whose name no distant child has, in document order.
    // Copies appended during the comparison come last and always have their
    // distant twin, so the children listed at the start are enough.
    void recordRemovals(QList<DOM_DIFF *> *list) const
    {
        for (const Child &child : m_children) {
            if (!m_names[size_t(child.nameId)].onDistantSide)
                appendRecord(list, child.element, child.element, REMOVED);
        }
    }

private:
    struct Name
    {
        QDomElement first;
        bool onDistantSide;
    };
    struct Child
    {
        QDomElement element;
        int nameId;
    };

    QDomElement m_directory;
    QHash<QString, int> m_idByName;
    std::vector<Name> m_names;
    std::vector<Child> m_children;
};

// One directory level being compared. The walk keeps its own stack of
// these, so deep trees do not exhaust the call stack.
struct Level
{
    Level(const QDomElement &distant, const QDomElement &local)
        : local(local)
        , next(distant.firstChildElement())
    {
    }

    LocalLevel local;
    QDomElement next; // next distant child to visit
};

} // namespace

QPair<QDomElement, QDomElement> *loadManifestRoots(QIODevice *distantFile, QIODevice *localFile)
{
    // The roots are used for the rest of the run, which is the rest of the
    // process; their documents must live as long.
    static QList<QDomDocument> documents;
    documents << readManifestDocument(distantFile) << readManifestDocument(localFile);
    return new QPair<QDomElement, QDomElement>(documents.at(documents.size() - 2).documentElement(),
                                               documents.last().documentElement());
}

QList<DOM_DIFF *> *compareManifests(QPair<QDomElement, QDomElement> *roots)
{
    auto *list = new QList<DOM_DIFF *>();
    if (!roots)
        return list;
    // A null distant root reads as an empty release: everything local comes
    // out REMOVED. Callers that act on the result refuse such a manifest
    // before they compare.
    compareDirectories(roots->first, roots->second, list);
    return list;
}

void addNewSubtree(QDomElement distantDirectory, QDomElement localCopy, QList<DOM_DIFF *> *list)
{
    // Pairs of (distant child still to visit, local copy of its parent).
    std::vector<QPair<QDomElement, QDomElement>> stack;
    stack.emplace_back(distantDirectory.firstChildElement(), localCopy);
    while (!stack.empty()) {
        const QDomElement child = stack.back().first;
        QDomElement parentCopy = stack.back().second;
        if (child.isNull()) {
            stack.pop_back();
            continue;
        }
        stack.back().first = child.nextSiblingElement();
        if (isDirectory(child)) {
            QDomElement copy = child.cloneNode(false).toElement();
            parentCopy.appendChild(copy);
            stack.emplace_back(child.firstChildElement(), copy);
        } else {
            appendRecord(list, child, parentCopy, NEW);
        }
    }
}

void compareDirectories(QDomElement distant, QDomElement local, QList<DOM_DIFF *> *list)
{
    std::vector<std::unique_ptr<Level>> stack;
    stack.push_back(std::make_unique<Level>(distant, local));
    while (!stack.empty()) {
        Level &level = *stack.back();
        if (level.next.isNull()) {
            level.local.recordRemovals(list);
            stack.pop_back();
            continue;
        }
        const QDomElement entry = level.next;
        level.next = entry.nextSiblingElement();

        const QString name = lookupName(entry);
        const QDomElement match = level.local.match(name);
        const bool directory = isDirectory(entry);
        if (match.isNull()) {
            if (directory) {
                const QDomElement copy = level.local.appendCopyOf(entry, name);
                appendRecord(list, entry, level.local.directory(), NEW);
                addNewSubtree(entry, copy, list);
            } else {
                appendRecord(list, entry, level.local.directory(), NEW);
            }
        } else if (directory) {
            // Compared as a directory whatever the local tag: under a local
            // file everything comes out NEW.
            stack.push_back(std::make_unique<Level>(entry, match));
        } else if (contentDiffers(entry, match)) {
            appendRecord(list, entry, match, CHANGED);
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
    return contentDiffers(distant, local);
}
