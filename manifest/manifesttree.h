#ifndef MANIFESTTREE_H
#define MANIFESTTREE_H

#include <QByteArray>
#include <QString>

#include <memory>
#include <vector>

// A manifest's root element and everything below it as compact records:
// one fixed-size record per node, attribute values as UTF-8 bytes in a
// shared store (digests as their bytes), names interned. A DOM takes about
// 6 KiB per file for the two trees of a run; this takes about 200 bytes.
//
// Nodes are numbered; numbers stay valid for the tree's life, also when a
// node is taken out of its parent. The node kinds are those a manifest
// reader keeps: elements, text (whitespace-only text is dropped, as the DOM
// parser drops it), CDATA sections, comments and processing instructions.
// Trees made from one another (ManifestTree(const ManifestTree &)) share
// their store, so that nodes copied between them copy no strings.
class ManifestTree
{
public:
    using Node = quint32;
    static constexpr Node kNone = 0xffffffffu;

    enum Kind : quint8 { Element, Text, CData, Comment, Instruction };
    // What an element is to the updater, from its tag.
    enum Role : quint8 { Other, File, Directory };

    // Attribute and tag names every part of the updater asks for; they have
    // these ids in every store.
    enum KnownName : quint32 {
        NameAttribute,
        CrcAttribute,
        SizeAttribute,
        VersionAttribute,
        UrlAttribute,
        DateAttribute,
        Sha256Attribute,
        FileTag,
        DirectoryTag,
        KnownNameCount
    };

    // Bytes of a value as stored: UTF-8 text, or the bytes of a lower-case
    // hexadecimal text of 40 or 64 digits (hex set), which is how SHA-1 and
    // SHA-256 digests are kept.
    struct Value
    {
        const char *data = nullptr;
        int size = 0;
        bool hex = false;
        bool operator==(const Value &other) const;
        bool operator!=(const Value &other) const { return !(*this == other); }
        // The text the value was read from.
        QString toString() const;
        QByteArray toUtf8() const;
    };

    // An attribute as the tree keeps it: its name's id and where its value
    // is stored.
    struct Attribute
    {
        quint32 name;
        quint32 offset;
        quint32 length; // the top bit marks a value kept as hex
    };

    // An empty tree with a store of its own.
    ManifestTree();
    // An empty tree sharing `other`'s store.
    explicit ManifestTree(const ManifestTree &other);
    ~ManifestTree();
    ManifestTree &operator=(const ManifestTree &) = delete;
    // Moves nodes and the store; `other` is left empty.
    ManifestTree(ManifestTree &&other) noexcept;
    ManifestTree &operator=(ManifestTree &&other) noexcept;

    bool sharesStoreWith(const ManifestTree &other) const { return m_store == other.m_store; }

    // Names.
    quint32 nameId(const char *utf8, int size);
    quint32 nameId(const QString &name);
    QByteArray nameText(quint32 id) const;

    // Values: stored once, referred to by attributes.
    Attribute storeValue(quint32 name, const char *utf8, int size);
    Value value(const Attribute &attribute) const;

    // Makes room for what a manifest of `bytes` bytes holds.
    void reserve(qint64 bytes);
    // Building: the first element appended without a parent is the root.
    Node appendElement(Node parent, quint32 tag, const Attribute *attributes, int count);
    Node appendContent(Node parent, Kind kind, quint32 target, const Attribute &value);

    // Nodes outside the root element (the XML declaration, comments and
    // instructions before or after it) belong to the document too; the
    // reader adds them, and the root, in order.
    void addToDocument(Node node) { m_documentNodes.push_back(node); }
    const std::vector<Node> &documentNodes() const { return m_documentNodes; }

    // Reading.
    Node root() const { return m_root; }
    bool isEmpty() const { return m_root == kNone; }
    size_t nodeCount() const { return m_nodes.size(); }
    Node parent(Node node) const { return m_nodes[node].parent; }
    Node firstChild(Node node) const { return m_nodes[node].first; }
    Node nextSibling(Node node) const { return m_nodes[node].next; }
    Kind kind(Node node) const { return Kind(m_nodes[node].kind); }
    Role role(Node node) const { return Role(m_nodes[node].role); }
    bool isElement(Node node) const { return m_nodes[node].kind == Element; }
    bool isFile(Node node) const { return m_nodes[node].role == File; }
    bool isDirectory(Node node) const { return m_nodes[node].role == Directory; }
    // Tag of an element, target of a processing instruction.
    quint32 tag(Node node) const { return m_nodes[node].tag; }
    QString tagName(Node node) const;
    // The text of a text, CDATA, comment or instruction node.
    Value content(Node node) const;

    int attributeCount(Node node) const { return m_nodes[node].attributeCount; }
    const Attribute &attributeAt(Node node, int index) const { return m_attributes[m_nodes[node].attributes + index]; }
    // The attribute's value; `found` says whether the element has it.
    Value attribute(Node node, quint32 name, bool *found = nullptr) const;
    bool hasAttribute(Node node, quint32 name) const;
    // The value as text, `fallback` when absent.
    QString attributeText(Node node, quint32 name, const QString &fallback = QString()) const;
    // The order in which a DOM writer puts the element's attributes: the
    // iteration order of a QHash filled in the order the attributes were
    // added, which is what the DOM keeps them in. Indexes into the
    // element's attributes.
    const std::vector<quint8> &attributeSaveOrder(Node node) const;

    // The path of an entry from the tree's root ("bin/plugins/a.dll"): the
    // names of its "directory" ancestors and its own.
    QString path(Node node) const;
    // The path of the entry's folder with a final "/", or empty below the root.
    QString folder(Node node) const;

    // Editing, as the DOM calls of the same names do.
    // Appends a copy of `source` of `from` (which shares this store) to
    // `parent`, with its content when `deep`. The copy's attributes are
    // added in the order the original is written, as a DOM clone does.
    // A parent of kNone leaves the copy detached.
    Node appendCopy(Node parent, const ManifestTree &from, Node source, bool deep);
    void setAttribute(Node node, const Attribute &attribute);
    void setAttribute(Node node, quint32 name, const QString &value);
    void removeAttribute(Node node, quint32 name);
    // Gives an element another tag (and so another role), as
    // QDomElement::setTagName does.
    void setTag(Node node, quint32 tag);
    // Takes the node out of its parent; it and its content stay readable.
    void remove(Node node);
    // Puts a detached node where `node` is, and takes `node` out, as
    // QDomNode::replaceChild does.
    void replace(Node node, Node detached);

    // Canonical order and the global checksum, as sortTree() and
    // Manifest::globalChecksum() compute them on a DOM.
    void sortTree(Node node);
    // Puts the tree in canonical order and returns its checksum.
    QString globalChecksum();

    // Compares names in the canonical order: by UTF-16 code unit.
    static int compareNames(const Value &a, const Value &b);

private:
    struct Record
    {
        Node parent;
        Node first;
        Node last;
        Node next;
        Node previous;
        quint32 tag;
        quint32 attributes; // first index in m_attributes
        quint16 attributeCount;
        quint8 kind;
        quint8 role;
    };
    struct Store;

    Node appendRecord(Node parent, Kind kind, quint32 tag, quint32 attributes, int count);
    void link(Node parent, Node node);
    // Gives the element its own attribute range at the end, room for one more.
    void detachAttributes(Node node);
    void walkChecksum(Node start, bool reorder, class QCryptographicHash *hash);
    void listChildren(Node node, bool reorder, std::vector<Node> *children);

    std::shared_ptr<Store> m_store;
    std::vector<Record> m_nodes;
    std::vector<Attribute> m_attributes;
    std::vector<Node> m_documentNodes;
    Node m_root = kNone;
};

#endif // MANIFESTTREE_H
