#include "manifest.h"

#include "manifestelements.h"
#include "manifestreader.h"

#include <QFile>
#include <QIODevice>
#include <QSaveFile>
#include <QTextStream>

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

const QString kNameAttr = QStringLiteral("name");
const QString kDirectoryTag = QStringLiteral("directory");
const QString kFileTag = QStringLiteral("file");

QString attributeOf(const QDomNode &node, const QString &name, const QString &fallback)
{
    // QDomNode::toElement() of a non-element is a null element, whose
    // attribute() already returns the fallback.
    return node.toElement().attribute(name, fallback);
}

// Sort key of a child during canonical ordering: files before directories.
enum EntryKind { OtherKind = -1, FileKind = 0, DirectoryKind = 1 };

EntryKind entryKind(const QDomNode &node)
{
    if (!node.isElement())
        return OtherKind;
    const QString tag = node.nodeName();
    if (tag == kFileTag)
        return FileKind;
    if (tag == kDirectoryTag)
        return DirectoryKind;
    return OtherKind;
}

// A child node as the canonical order and the checksum see it.
struct Child
{
    QDomNode node;
    EntryKind kind;
    QString name; // empty when absent, as the order reads it
    QString crc;  // files only, and only when a checksum is being built
};

bool childLess(const Child &a, const Child &b)
{
    if (a.kind != b.kind)
        return a.kind < b.kind;
    return a.name < b.name; // ordinal, by UTF-16 code unit
}

// Brings children[begin, end), a run of file/directory elements, into
// canonical order, in the list and in the document, where the run sits in
// front of `barrier` (or at the end when there is none). The adjacent
// exchanges that define the order never swap equal keys and never cross a
// node that is not a file or directory element, so a stable sort of each run
// gives the same result.
void sortRun(QDomNode &parent, std::vector<Child> &children, size_t begin, size_t end,
             const QDomNode &barrier)
{
    if (std::is_sorted(children.begin() + long(begin), children.begin() + long(end), childLess))
        return;
    std::stable_sort(children.begin() + long(begin), children.begin() + long(end), childLess);
    for (size_t i = begin; i < end; ++i) {
        // insertBefore() with a null reference would prepend, so the last
        // run of the list is re-appended instead.
        if (barrier.isNull())
            parent.appendChild(children[i].node);
        else
            parent.insertBefore(children[i].node, barrier);
    }
}

// What one walk over a tree does.
struct WalkMode
{
    bool reorder;  // put directories in canonical order (from the start node down)
    bool checksum; // collect the checksum input
};

// Lists the children of `parent`, reading what the mode needs, and sorts
// them when `reorder` is set.
void listChildren(QDomNode parent, bool reorder, bool withCrc, std::vector<Child> &children)
{
    static const QString crcAttr = QStringLiteral("crc");
    children.clear();
    for (QDomNode node = parent.firstChild(); !node.isNull(); node = node.nextSibling()) {
        Child child{node, entryKind(node), QString(), QString()};
        if (child.kind != OtherKind) {
            const QDomElement element = node.toElement();
            child.name = element.attribute(kNameAttr);
            if (withCrc && child.kind == FileKind)
                child.crc = element.attribute(crcAttr);
        }
        children.push_back(std::move(child));
    }
    if (!reorder)
        return;
    size_t begin = 0;
    while (begin < children.size()) {
        if (children[begin].kind == OtherKind) {
            ++begin;
            continue;
        }
        size_t end = begin;
        while (end < children.size() && children[end].kind != OtherKind)
            ++end;
        sortRun(parent, children, begin, end,
                end < children.size() ? children[end].node : QDomNode());
        begin = end;
    }
}

// One depth-first walk that sorts, builds the checksum input, or both, so
// that the global checksum reads every element once. Without recursion:
// manifests may nest deeper than the call stack would like.
void walkTree(QDomNode start, WalkMode mode, QString *out)
{
    struct Frame
    {
        std::vector<Child> children;
        size_t next;
    };
    std::vector<Frame> stack;
    size_t depth = 0; // frames in use; deeper ones keep their buffers
    std::vector<bool> reorderAt;
    auto enter = [&](const QDomNode &node, bool reorder) {
        if (stack.size() == depth)
            stack.push_back(Frame{});
        if (reorderAt.size() == depth)
            reorderAt.push_back(false);
        listChildren(node, reorder, mode.checksum, stack[depth].children);
        stack[depth].next = 0;
        reorderAt[depth] = reorder;
        ++depth;
    };
    enter(start, mode.reorder);
    while (depth > 0) {
        Frame &frame = stack[depth - 1];
        if (frame.next == frame.children.size()) {
            --depth;
            continue;
        }
        const Child &child = frame.children[frame.next++];
        switch (child.kind) {
        case FileKind:
            if (out)
                out->append(child.crc);
            break;
        case DirectoryKind: {
            const QDomNode node = child.node; // `child` may move when the stack grows
            if (out) {
                // A directory without a name counts as "NULL"; one with an
                // empty name adds nothing.
                if (child.name.isEmpty() && !node.toElement().hasAttribute(kNameAttr))
                    out->append(QStringLiteral("NULL"));
                else
                    out->append(child.name);
            }
            // Below a directory the order is canonical only if it is above.
            enter(node, reorderAt[depth - 1]);
            break;
        }
        case OtherKind:
            // Other elements are never reordered, nor anything below them,
            // but their content counts for the checksum.
            if (out && child.node.isElement()) {
                const QDomNode node = child.node;
                enter(node, false);
            }
            break;
        }
    }
}

bool writeNodeTo(QIODevice *device, const QDomNode &node)
{
    QTextStream stream(device);
    // Names are not always ASCII; a fixed UTF-8 output reads back the same
    // on every machine, whatever the locale's codec.
    stream.setCodec("UTF-8");
    node.save(stream, 0, QDomNode::EncodingFromTextStream);
    stream.flush();
    return stream.status() == QTextStream::Ok;
}

bool writeNode(const QString &path, const QDomNode &node, QString *error)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        if (error)
            *error = file.errorString();
        return false;
    }
    if (!writeNodeTo(&file, node) || !file.commit()) {
        if (error)
            *error = file.errorString();
        file.cancelWriting();
        return false;
    }
    return true;
}

} // namespace

QString elementName(QDomNode node)
{
    return attributeOf(node, kNameAttr, QStringLiteral("NULL"));
}

QString elementSize(QDomNode node)
{
    return attributeOf(node, QStringLiteral("size"), QStringLiteral("0"));
}

QString elementCrc(QDomNode node)
{
    return attributeOf(node, QStringLiteral("crc"), QString());
}

QString elementVersion(QDomNode node)
{
    return attributeOf(node, QStringLiteral("version"), QStringLiteral("0"));
}

QString elementUrl(QDomNode node)
{
    return attributeOf(node, QStringLiteral("url"), QStringLiteral("."));
}

QDate elementDate(QDomNode node)
{
    const QString value =
        attributeOf(node, QStringLiteral("date"), QStringLiteral("0000-00-00T00:00:00+00:00"));
    return QDate::fromString(value.left(10), Qt::ISODate);
}

bool isDirectory(QDomNode node)
{
    return entryKind(node) == DirectoryKind;
}

bool isFile(QDomNode node)
{
    return entryKind(node) == FileKind;
}

QString elementPath(QDomElement element)
{
    QString path = element.attribute(kNameAttr);
    for (QDomNode ancestor = element.parentNode(); isDirectory(ancestor);
         ancestor = ancestor.parentNode()) {
        path.prepend(QLatin1Char('/'));
        path.prepend(ancestor.toElement().attribute(kNameAttr));
    }
    return path;
}

QString hashHex(const QString &text, QCryptographicHash::Algorithm algorithm)
{
    return QString::fromLatin1(QCryptographicHash::hash(text.toLatin1(), algorithm).toHex());
}

void sortTree(QDomNode node)
{
    walkTree(node, WalkMode{true, false}, nullptr);
}

namespace {

QString canonicalStringOf(const QDomElement &element, bool reorder)
{
    if (element.isNull())
        return QString();
    if (isFile(element)) {
        if (reorder)
            sortTree(element);
        return element.attribute(QStringLiteral("crc"));
    }
    QString out;
    if (isDirectory(element))
        out += elementName(element);
    walkTree(element, WalkMode{reorder, true}, &out);
    return out;
}

} // namespace

QString canonicalString(QDomElement element)
{
    return canonicalStringOf(element, false);
}

namespace {

QDomDocument readDocument(QIODevice *device, const QString &name, QString *error)
{
    // The same reader as the updater's: a DOM is then built from its records
    // through the DOM's own calls, which is faster than the DOM's parser.
    ManifestTree tree;
    ManifestReader reader(device, name);
    if (reader.read(&tree))
        return ManifestElements::document(tree);
    if (error)
        *error = reader.errorString();
    return QDomDocument();
}

} // namespace

QDomDocument readManifestDocument(QIODevice *device)
{
    return readDocument(device, ManifestReader::deviceName(device), nullptr);
}

QDomDocument readManifestDocument(QIODevice *device, QString *error)
{
    return readDocument(device, ManifestReader::deviceName(device), error);
}

QDomDocument readManifestDocument(const QString &path)
{
    return readManifestDocument(path, nullptr);
}

QDomDocument readManifestDocument(const QString &path, QString *error)
{
    QFile file(path);
    return readDocument(&file, path, error);
}

bool saveManifestRoot(const QString &path, const QDomElement &root, QString *error)
{
    return writeNode(path, root, error);
}

bool saveManifestDocument(const QString &path, const QDomDocument &document, QString *error)
{
    return writeNode(path, document, error);
}

bool writeManifestDocument(QIODevice *device, const QDomDocument &document)
{
    return device && device->isWritable() && writeNodeTo(device, document);
}

bool writeManifestRoot(QIODevice *device, const QDomElement &root)
{
    return device && device->isWritable() && writeNodeTo(device, root);
}

Manifest::Manifest(QDomElement root, QObject *parent)
    : QObject(parent)
    , root(root)
    , crc(root.attribute(QStringLiteral("crc")))
    , version(root.attribute(QStringLiteral("version")))
    , date(root.attribute(QStringLiteral("date")))
{
}

QString Manifest::globalChecksum()
{
    // Sorting and reading the checksum input in one walk: the same result as
    // sortTree() followed by canonicalString(), with one visit per element.
    return hashHex(canonicalStringOf(root, true), QCryptographicHash::Sha1);
}
