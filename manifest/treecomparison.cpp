#include "treecomparison.h"

#include <QDate>

#include <algorithm>
#include <cstring>
#include <memory>

namespace {

using Node = ManifestTree::Node;
using Value = ManifestTree::Value;

const Value kEmpty{"", 0, false};
const Value kZero{"0", 1, false};
const Value kDot{".", 1, false};
const Value kNoDate{"0000-00-00T00:00:00+00:00", 25, false};

Value attributeOr(const ManifestTree &tree, Node node, quint32 name, const Value &fallback)
{
    bool found = false;
    const Value value = tree.attribute(node, name, &found);
    return found ? value : fallback;
}

// Byte order, only to bring equal names together.
bool nameLess(const Value &a, const Value &b)
{
    const int common = std::min(a.size, b.size);
    const int order = common > 0 ? std::memcmp(a.data, b.data, size_t(common)) : 0;
    if (order != 0)
        return order < 0;
    if (a.size != b.size)
        return a.size < b.size;
    return a.hex < b.hex;
}

// One directory level being compared.
struct Level
{
    Node distantDirectory;
    Node localDirectory;
    std::vector<Node> distantChildren; // elements, in document order
    std::vector<quint32> groupOf;      // per distant child: its name's group
    std::vector<Node> groupLocal;      // per group: the local match
    std::vector<Node> localChildren;   // elements there at the start
    std::vector<bool> onDistantSide;   // per local child
    size_t next = 0;
};

void elementChildren(const ManifestTree &tree, Node parent, std::vector<Node> *children)
{
    if (parent == ManifestTree::kNone)
        return;
    for (Node child = tree.firstChild(parent); child != ManifestTree::kNone; child = tree.nextSibling(child)) {
        if (tree.isElement(child))
            children->push_back(child);
    }
}

// Matches the names of one level: every distant child gets the first local
// child of its name (by document order), and every local child learns
// whether the distant side has its name.
std::unique_ptr<Level> enterLevel(const ManifestTree &distant, Node distantDirectory, const ManifestTree &local,
                                  Node localDirectory)
{
    auto level = std::make_unique<Level>();
    level->distantDirectory = distantDirectory;
    level->localDirectory = localDirectory;
    elementChildren(distant, distantDirectory, &level->distantChildren);
    elementChildren(local, localDirectory, &level->localChildren);
    level->onDistantSide.assign(level->localChildren.size(), false);
    level->groupOf.resize(level->distantChildren.size());

    struct Entry
    {
        Value name;
        quint32 index;
    };
    const auto byName = [](const Entry &a, const Entry &b) {
        if (nameLess(a.name, b.name))
            return true;
        if (nameLess(b.name, a.name))
            return false;
        return a.index < b.index;
    };
    std::vector<Entry> distantNames, localNames;
    distantNames.reserve(level->distantChildren.size());
    for (size_t i = 0; i < level->distantChildren.size(); ++i)
        distantNames.push_back(
            Entry{distant.attribute(level->distantChildren[i], ManifestTree::NameAttribute), quint32(i)});
    localNames.reserve(level->localChildren.size());
    for (size_t i = 0; i < level->localChildren.size(); ++i)
        localNames.push_back(Entry{local.attribute(level->localChildren[i], ManifestTree::NameAttribute), quint32(i)});
    std::sort(distantNames.begin(), distantNames.end(), byName);
    std::sort(localNames.begin(), localNames.end(), byName);

    // One pass over both, name group by name group.
    size_t d = 0, l = 0;
    while (d < distantNames.size()) {
        const Value name = distantNames[d].name;
        while (l < localNames.size() && nameLess(localNames[l].name, name))
            ++l;
        Node match = ManifestTree::kNone;
        while (l < localNames.size() && localNames[l].name == name) {
            if (match == ManifestTree::kNone)
                match = level->localChildren[localNames[l].index];
            level->onDistantSide[localNames[l].index] = true;
            ++l;
        }
        const quint32 group = quint32(level->groupLocal.size());
        level->groupLocal.push_back(match);
        while (d < distantNames.size() && distantNames[d].name == name)
            level->groupOf[distantNames[d++].index] = group;
    }
    return level;
}

void record(std::vector<TreeComparison::Difference> *list, int type, Node distant, Node local)
{
    list->push_back(TreeComparison::Difference{type, distant, local});
}

// The content of a directory that is new as a whole: its subdirectories are
// copied at once, every other entry gets a NEW record under its parent's copy.
void addNewSubtree(const ManifestTree &distant, Node directory, ManifestTree *local, Node copy,
                   std::vector<TreeComparison::Difference> *list)
{
    std::vector<std::pair<Node, Node>> stack; // (distant child to visit, copy of its parent)
    stack.emplace_back(distant.firstChild(directory), copy);
    while (!stack.empty()) {
        const auto [child, parentCopy] = stack.back();
        if (child == ManifestTree::kNone) {
            stack.pop_back();
            continue;
        }
        stack.back().first = distant.nextSibling(child);
        if (!distant.isElement(child))
            continue;
        if (distant.isDirectory(child)) {
            const Node childCopy = local->appendCopy(parentCopy, distant, child, false);
            stack.emplace_back(distant.firstChild(child), childCopy);
        } else {
            record(list, NEW, child, parentCopy);
        }
    }
}

} // namespace

bool TreeComparison::needsUpdate(const ManifestTree &distant, Node distantFile, const ManifestTree &local,
                                 Node localFile)
{
    // The content first: most pairs then need no date parsing at all.
    if (attributeOr(distant, distantFile, ManifestTree::CrcAttribute, kEmpty)
            != attributeOr(local, localFile, ManifestTree::CrcAttribute, kEmpty)
        || attributeOr(distant, distantFile, ManifestTree::SizeAttribute, kZero)
               != attributeOr(local, localFile, ManifestTree::SizeAttribute, kZero)
        || attributeOr(distant, distantFile, ManifestTree::VersionAttribute, kZero)
               != attributeOr(local, localFile, ManifestTree::VersionAttribute, kZero)
        || attributeOr(distant, distantFile, ManifestTree::UrlAttribute, kDot)
               != attributeOr(local, localFile, ManifestTree::UrlAttribute, kDot))
        return true;
    const Value distantDate = attributeOr(distant, distantFile, ManifestTree::DateAttribute, kNoDate);
    const Value localDate = attributeOr(local, localFile, ManifestTree::DateAttribute, kNoDate);
    // Only the first ten characters are read as the date.
    if (distantDate == localDate)
        return false;
    const QString distantText = distantDate.toString(), localText = localDate.toString();
    if (distantText.leftRef(10) == localText.leftRef(10))
        return false;
    return QDate::fromString(distantText.left(10), Qt::ISODate) > QDate::fromString(localText.left(10), Qt::ISODate);
}

std::vector<TreeComparison::Difference> TreeComparison::compare(const ManifestTree &distant, ManifestTree *local)
{
    Q_ASSERT(local->sharesStoreWith(distant));
    std::vector<Difference> list;
    std::vector<std::unique_ptr<Level>> stack;
    stack.push_back(enterLevel(distant, distant.root(), *local, local->root()));
    while (!stack.empty()) {
        Level &level = *stack.back();
        if (level.next == level.distantChildren.size()) {
            for (size_t i = 0; i < level.localChildren.size(); ++i) {
                if (!level.onDistantSide[i])
                    record(&list, REMOVED, level.localChildren[i], level.localChildren[i]);
            }
            stack.pop_back();
            continue;
        }
        const size_t index = level.next++;
        const Node entry = level.distantChildren[index];
        Node &match = level.groupLocal[level.groupOf[index]];
        const bool directory = distant.isDirectory(entry);
        if (match == ManifestTree::kNone) {
            if (directory) {
                const Node copy = local->appendCopy(level.localDirectory, distant, entry, false);
                // A later distant entry of the same name finds the copy;
                // on an empty local tree it stays detached.
                if (level.localDirectory != ManifestTree::kNone)
                    match = copy;
                record(&list, NEW, entry, level.localDirectory);
                addNewSubtree(distant, entry, local, copy, &list);
            } else {
                record(&list, NEW, entry, level.localDirectory);
            }
        } else if (directory) {
            // Compared as a directory whatever the local tag: under a local
            // file everything comes out NEW.
            const Node localDirectory = match;
            stack.push_back(enterLevel(distant, entry, *local, localDirectory));
        } else if (needsUpdate(distant, entry, *local, match)) {
            record(&list, CHANGED, entry, match);
        }
    }
    return list;
}
