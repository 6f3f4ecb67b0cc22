#include "manifest.h"

#include <QFile>
#include <QIODevice>
#include <QSaveFile>
#include <QTextStream>

#include <algorithm>
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

// One run of file/directory children between nodes that never move.
struct Run
{
    std::vector<QDomNode> nodes;
    std::vector<EntryKind> kinds;
    std::vector<QString> names;
    std::vector<int> order;

    void clear()
    {
        nodes.clear();
        kinds.clear();
        names.clear();
    }

    bool less(int a, int b) const
    {
        if (kinds[size_t(a)] != kinds[size_t(b)])
            return kinds[size_t(a)] < kinds[size_t(b)];
        return names[size_t(a)] < names[size_t(b)]; // ordinal, by UTF-16 code unit
    }

    bool inOrder() const
    {
        for (size_t i = 1; i < nodes.size(); ++i) {
            if (less(int(i), int(i - 1)))
                return false;
        }
        return true;
    }
};

// Brings one run into canonical order and puts it back in front of
// `barrier` (or at the end when there is none). The adjacent exchanges that
// define the order never swap equal keys, so a stable sort gives the same
// result.
void placeRun(QDomNode &parent, Run &run, const QDomNode &barrier)
{
    if (run.nodes.size() < 2 || run.inOrder())
        return;
    run.order.resize(run.nodes.size());
    for (size_t i = 0; i < run.order.size(); ++i)
        run.order[i] = int(i);
    std::stable_sort(run.order.begin(), run.order.end(),
                     [&run](int a, int b) { return run.less(a, b); });
    for (int index : run.order) {
        // insertBefore() with a null reference would prepend, so the last
        // run of the list is re-appended instead.
        if (barrier.isNull())
            parent.appendChild(run.nodes[size_t(index)]);
        else
            parent.insertBefore(run.nodes[size_t(index)], barrier);
    }
}

// Orders the children of one node and collects its directory children so
// the caller can visit them without recursion.
void sortChildren(QDomNode parent, Run &run, std::vector<QDomNode> &pendingDirectories)
{
    QDomNode child = parent.firstChild();
    for (;;) {
        run.clear();
        while (!child.isNull()) {
            const EntryKind kind = entryKind(child);
            if (kind == OtherKind)
                break;
            if (kind == DirectoryKind)
                pendingDirectories.push_back(child);
            run.nodes.push_back(child);
            run.kinds.push_back(kind);
            run.names.push_back(child.toElement().attribute(kNameAttr));
            child = child.nextSibling();
        }
        placeRun(parent, run, child);
        if (child.isNull())
            break;
        child = child.nextSibling();
    }
}

bool writeNode(const QString &path, const QDomNode &node)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    QTextStream stream(&file);
    // Names are not always ASCII; a fixed UTF-8 output reads back the same
    // on every machine, whatever the locale's codec.
    stream.setCodec("UTF-8");
    node.save(stream, 0, QDomNode::EncodingFromTextStream);
    stream.flush();
    if (stream.status() != QTextStream::Ok) {
        file.cancelWriting();
        return false;
    }
    return file.commit();
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
    // Depth-first over an explicit list: manifests may nest deeper than the
    // call stack would like.
    std::vector<QDomNode> pending{node};
    Run run; // reused, so its buffers are allocated once
    while (!pending.empty()) {
        QDomNode current = pending.back();
        pending.pop_back();
        sortChildren(current, run, pending);
    }
}

QString canonicalString(QDomElement element)
{
    if (element.isNull())
        return QString();
    if (isFile(element))
        return element.attribute(QStringLiteral("crc"));

    QString out;
    if (isDirectory(element))
        out += elementName(element);

    // Pre-order walk of the element's subtree without recursion. Files are
    // leaves; every other element contributes its children.
    QDomElement current = element.firstChildElement();
    while (!current.isNull()) {
        const EntryKind kind = entryKind(current);
        if (kind == FileKind) {
            out += current.attribute(QStringLiteral("crc"));
        } else {
            if (kind == DirectoryKind)
                out += current.attribute(kNameAttr, QStringLiteral("NULL"));
            const QDomElement firstChild = current.firstChildElement();
            if (!firstChild.isNull()) {
                current = firstChild;
                continue;
            }
        }
        // Next element in document order, climbing back up as needed.
        for (;;) {
            const QDomElement next = current.nextSiblingElement();
            if (!next.isNull()) {
                current = next;
                break;
            }
            const QDomNode parent = current.parentNode();
            if (parent == element) {
                current = QDomElement();
                break;
            }
            current = parent.toElement();
        }
    }
    return out;
}

QDomElement readManifestRoot(QIODevice *device)
{
    QDomDocument document;
    if (!device || !document.setContent(device))
        return QDomElement();
    return document.documentElement();
}

QDomElement readManifestRoot(const QString &path)
{
    QFile file(path);
    return readManifestRoot(&file);
}

bool saveManifestRoot(const QString &path, const QDomElement &root)
{
    return writeNode(path, root);
}

bool saveManifestDocument(const QString &path, const QDomDocument &document)
{
    return writeNode(path, document);
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
    sortTree(root);
    return hashHex(canonicalString(root), QCryptographicHash::Sha1);
}
