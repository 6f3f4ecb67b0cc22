#include "manifesttree.h"

#include <QCryptographicHash>
#include <QHash>

#include <algorithm>
#include <cstring>
#include <map>

namespace {

constexpr quint32 kHexFlag = 0x80000000u;
// Values live in segments of this size, addressed by a 32-bit offset; a
// larger value gets consecutive segments of one allocation.
constexpr quint32 kSegmentBits = 20;
constexpr quint32 kSegmentSize = 1u << kSegmentBits;
constexpr size_t kMaxSegments = size_t(1) << (32 - kSegmentBits);

const char *const kKnownNames[] = {"name", "crc", "size", "version", "url", "date", "sha256", "file", "directory"};

// Values of lower-case hex digits; 16 for every other byte.
struct HexTable
{
    constexpr HexTable()
        : value()
    {
        for (int i = 0; i < 256; ++i)
            value[i] = 16;
        for (int i = 0; i < 10; ++i)
            value['0' + i] = quint8(i);
        for (int i = 0; i < 6; ++i)
            value['a' + i] = quint8(10 + i);
    }
    quint8 value[256];
};
constexpr HexTable kHex;

// The bytes of a lower-case hex SHA-1 or SHA-256 digest, which is how
// digests are kept; false for any other text.
bool digestBytes(const char *data, int size, unsigned char *out)
{
    if (size != 40 && size != 64)
        return false;
    const auto *in = reinterpret_cast<const unsigned char *>(data);
    unsigned bad = 0;
    for (int i = 0; i < size; i += 2) {
        const quint8 high = kHex.value[in[i]], low = kHex.value[in[i + 1]];
        bad |= high | low;
        out[i / 2] = static_cast<unsigned char>(high << 4 | (low & 15));
    }
    return bad < 16;
}

QByteArray hexText(const char *data, int size)
{
    return QByteArray::fromRawData(data, size).toHex();
}

// Decodes the code point starting at data[i] of valid UTF-8.
quint32 codePointAt(const unsigned char *data, int size, int i)
{
    const unsigned char c = data[i];
    if (c < 0x80)
        return c;
    int extra = c >= 0xf0 ? 3 : c >= 0xe0 ? 2 : 1;
    quint32 cp = c & (0x3f >> extra);
    for (int k = 1; k <= extra && i + k < size; ++k)
        cp = (cp << 6) | (data[i + k] & 0x3f);
    return cp;
}

// A code point's place in UTF-16 code unit order: supplementary characters
// (surrogate pairs) sort between U+D7FF and U+E000.
quint32 utf16Key(quint32 cp)
{
    if (cp < 0xe000)
        return cp;
    if (cp <= 0xffff)
        return cp + 0x100000;
    return cp - 0x10000 + 0xe000;
}

// Feeds the Latin-1 conversion of a value to the checksum: a character
// beyond Latin-1 reads as "?", one per UTF-16 code unit.
void addLatin1(QCryptographicHash *hash, const ManifestTree::Value &value)
{
    if (value.hex) {
        hash->addData(hexText(value.data, value.size));
        return;
    }
    const auto *data = reinterpret_cast<const unsigned char *>(value.data);
    int plain = 0;
    while (plain < value.size && data[plain] < 0x80)
        ++plain;
    if (plain == value.size) {
        hash->addData(value.data, value.size);
        return;
    }
    QByteArray latin1;
    latin1.reserve(value.size);
    for (int i = 0; i < value.size;) {
        const quint32 cp = codePointAt(data, value.size, i);
        if (cp <= 0xff)
            latin1 += char(cp);
        else
            latin1 += cp > 0xffff ? "??" : "?";
        i += data[i] < 0x80 ? 1 : data[i] >= 0xf0 ? 4 : data[i] >= 0xe0 ? 3 : 2;
    }
    hash->addData(latin1);
}

} // namespace

struct ManifestTree::Store
{
    Store()
    {
        for (const char *name : kKnownNames)
            intern(name, int(std::strlen(name)));
    }

    quint32 intern(const char *data, int size)
    {
        // Elements repeat the names of the one before: a short look back
        // saves hashing most of them.
        for (const Recent &recent : recents) {
            if (recent.size == size && std::memcmp(names[recent.id].constData(), data, size_t(size)) == 0)
                return recent.id;
        }
        const auto found = ids.constFind(QByteArray::fromRawData(data, size));
        quint32 id;
        if (found != ids.cend()) {
            id = found.value();
        } else {
            id = quint32(names.size());
            names.emplace_back(data, size);
            ids.insert(names.back(), id);
        }
        recents[nextRecent] = Recent{id, size};
        nextRecent = (nextRecent + 1) % kRecents;
        return id;
    }

    quint32 allocate(quint32 size)
    {
        const quint32 used = top & (kSegmentSize - 1);
        if (size == 0)
            return top;
        if (top != 0 && used != 0 && used + size <= kSegmentSize) {
            const quint32 offset = top;
            top += size;
            return offset;
        }
        // A new allocation from the next segment boundary.
        const size_t first = segments.size();
        const size_t count = (size + kSegmentSize - 1) / kSegmentSize;
        if (first + count > kMaxSegments)
            qFatal("manifest store full");
        blocks.emplace_back(new char[count * kSegmentSize]);
        for (size_t i = 0; i < count; ++i)
            segments.push_back(blocks.back().get() + i * kSegmentSize);
        const quint32 offset = quint32(first << kSegmentBits);
        // A value that fills its segments exactly leaves the next one to
        // the next allocation.
        top = offset + size;
        if ((top & (kSegmentSize - 1)) == 0)
            top = 0;
        return offset;
    }

    char *at(quint32 offset) { return segments[offset >> kSegmentBits] + (offset & (kSegmentSize - 1)); }
    const char *at(quint32 offset) const
    {
        return segments.empty() ? "" : segments[offset >> kSegmentBits] + (offset & (kSegmentSize - 1));
    }

    struct Recent
    {
        quint32 id;
        int size;
    };
    static constexpr int kRecents = 8;

    std::vector<QByteArray> names;
    QHash<QByteArray, quint32> ids;
    Recent recents[kRecents] = {};
    int nextRecent = 0;

    std::vector<std::unique_ptr<char[]>> blocks;
    std::vector<char *> segments;
    quint32 top = 0; // next free offset; 0 before the first allocation

    // Attribute save orders by the names in the order they were added.
    std::map<std::vector<quint32>, std::vector<quint8>> saveOrders;
};

bool ManifestTree::Value::operator==(const Value &other) const
{
    return hex == other.hex && size == other.size && std::memcmp(data, other.data, size_t(size)) == 0;
}

QString ManifestTree::Value::toString() const
{
    return hex ? QString::fromLatin1(hexText(data, size)) : QString::fromUtf8(data, size);
}

QByteArray ManifestTree::Value::toUtf8() const
{
    return hex ? hexText(data, size) : QByteArray(data, size);
}

ManifestTree::ManifestTree()
    : m_store(std::make_shared<Store>())
{
}

ManifestTree::ManifestTree(const ManifestTree &other)
    : m_store(other.m_store)
{
}

ManifestTree::~ManifestTree() = default;

ManifestTree::ManifestTree(ManifestTree &&other) noexcept
    : m_store(std::move(other.m_store))
    , m_nodes(std::move(other.m_nodes))
    , m_attributes(std::move(other.m_attributes))
    , m_documentNodes(std::move(other.m_documentNodes))
    , m_root(other.m_root)
{
    other.m_store = std::make_shared<Store>();
    other.m_nodes.clear();
    other.m_attributes.clear();
    other.m_documentNodes.clear();
    other.m_root = kNone;
}

ManifestTree &ManifestTree::operator=(ManifestTree &&other) noexcept
{
    if (this != &other) {
        std::swap(m_store, other.m_store);
        std::swap(m_nodes, other.m_nodes);
        std::swap(m_attributes, other.m_attributes);
        std::swap(m_documentNodes, other.m_documentNodes);
        std::swap(m_root, other.m_root);
        other.m_nodes.clear();
        other.m_attributes.clear();
        other.m_documentNodes.clear();
        other.m_root = kNone;
    }
    return *this;
}

quint32 ManifestTree::nameId(const char *utf8, int size)
{
    return m_store->intern(utf8, size);
}

quint32 ManifestTree::nameId(const QString &name)
{
    const QByteArray utf8 = name.toUtf8();
    return m_store->intern(utf8.constData(), utf8.size());
}

QByteArray ManifestTree::nameText(quint32 id) const
{
    return m_store->names[id];
}

ManifestTree::Attribute ManifestTree::storeValue(quint32 name, const char *utf8, int size)
{
    unsigned char digest[32];
    if (digestBytes(utf8, size, digest)) {
        const quint32 length = quint32(size / 2);
        const quint32 offset = m_store->allocate(length);
        std::memcpy(m_store->at(offset), digest, length);
        return Attribute{name, offset, length | kHexFlag};
    }
    const quint32 offset = m_store->allocate(quint32(size));
    if (size > 0)
        std::memcpy(m_store->at(offset), utf8, size_t(size));
    return Attribute{name, offset, quint32(size)};
}

ManifestTree::Value ManifestTree::value(const Attribute &attribute) const
{
    Value result;
    result.size = int(attribute.length & ~kHexFlag);
    result.hex = (attribute.length & kHexFlag) != 0;
    result.data = result.size > 0 ? m_store->at(attribute.offset) : "";
    return result;
}

void ManifestTree::reserve(qint64 bytes)
{
    // About what a manifest of that size holds; untouched room costs no
    // memory, and growing a vector of this size would copy it.
    m_nodes.reserve(m_nodes.size() + size_t(bytes / 128));
    m_attributes.reserve(m_attributes.size() + size_t(bytes / 24));
}

ManifestTree::Node ManifestTree::appendRecord(Node parent, Kind kind, quint32 tag, quint32 attributes, int count)
{
    const Node node = Node(m_nodes.size());
    quint8 role = Other;
    if (kind == Element)
        role = tag == FileTag ? File : tag == DirectoryTag ? Directory : Other;
    m_nodes.push_back(Record{kNone, kNone, kNone, kNone, kNone, tag, attributes, quint16(count), quint8(kind), role});
    if (parent != kNone)
        link(parent, node);
    return node;
}

void ManifestTree::link(Node parent, Node node)
{
    Record &record = m_nodes[node];
    Record &up = m_nodes[parent];
    record.parent = parent;
    record.previous = up.last;
    record.next = kNone;
    if (up.last == kNone)
        up.first = node;
    else
        m_nodes[up.last].next = node;
    up.last = node;
}

ManifestTree::Node ManifestTree::appendElement(Node parent, quint32 tag, const Attribute *attributes, int count)
{
    const quint32 first = quint32(m_attributes.size());
    m_attributes.insert(m_attributes.end(), attributes, attributes + count);
    const Node node = appendRecord(parent, Element, tag, first, count);
    if (parent == kNone && m_root == kNone)
        m_root = node;
    return node;
}

ManifestTree::Node ManifestTree::appendContent(Node parent, Kind kind, quint32 target, const Attribute &value)
{
    const quint32 index = quint32(m_attributes.size());
    m_attributes.push_back(value);
    return appendRecord(parent, kind, target, index, 0);
}

QString ManifestTree::tagName(Node node) const
{
    return QString::fromUtf8(m_store->names[m_nodes[node].tag]);
}

ManifestTree::Value ManifestTree::content(Node node) const
{
    if (m_nodes[node].kind == Element)
        return Value{"", 0, false};
    return value(m_attributes[m_nodes[node].attributes]);
}

ManifestTree::Value ManifestTree::attribute(Node node, quint32 name, bool *found) const
{
    const Record &record = m_nodes[node];
    for (int i = 0; i < record.attributeCount; ++i) {
        const Attribute &attribute = m_attributes[record.attributes + quint32(i)];
        if (attribute.name == name) {
            if (found)
                *found = true;
            return value(attribute);
        }
    }
    if (found)
        *found = false;
    return Value{"", 0, false};
}

bool ManifestTree::hasAttribute(Node node, quint32 name) const
{
    bool found = false;
    attribute(node, name, &found);
    return found;
}

QString ManifestTree::attributeText(Node node, quint32 name, const QString &fallback) const
{
    bool found = false;
    const Value value = attribute(node, name, &found);
    return found ? value.toString() : fallback;
}

const std::vector<quint8> &ManifestTree::attributeSaveOrder(Node node) const
{
    const Record &record = m_nodes[node];
    std::vector<quint32> key(record.attributeCount);
    for (int i = 0; i < record.attributeCount; ++i)
        key[size_t(i)] = m_attributes[record.attributes + quint32(i)].name;
    auto found = m_store->saveOrders.find(key);
    if (found != m_store->saveOrders.end())
        return found->second;
    // A default-made QHash filled in the same order iterates exactly as
    // the DOM's attribute map, whatever the process's hash seed.
    QHash<QString, int> map;
    for (int i = 0; i < record.attributeCount; ++i)
        map.insert(QString::fromUtf8(m_store->names[key[size_t(i)]]), i);
    std::vector<quint8> order;
    order.reserve(size_t(map.size()));
    for (auto it = map.cbegin(); it != map.cend(); ++it)
        order.push_back(quint8(it.value()));
    return m_store->saveOrders.emplace(std::move(key), std::move(order)).first->second;
}

QString ManifestTree::path(Node node) const
{
    QString path = attribute(node, NameAttribute).toString();
    for (Node up = parent(node); up != kNone && isDirectory(up); up = parent(up))
        path = attribute(up, NameAttribute).toString() + QLatin1Char('/') + path;
    return path;
}

QString ManifestTree::folder(Node node) const
{
    const Node up = parent(node);
    return up != kNone && isDirectory(up) ? path(up) + QLatin1Char('/') : QString();
}

ManifestTree::Node ManifestTree::appendCopy(Node parent, const ManifestTree &from, Node source, bool deep)
{
    Q_ASSERT(&from != this && sharesStoreWith(from));
    // Pairs of (node of `from`, parent of its copy here), without recursion.
    std::vector<std::pair<Node, Node>> pending{{source, parent}};
    Node top = kNone;
    while (!pending.empty()) {
        const auto [original, copyParent] = pending.back();
        pending.pop_back();
        const Record &record = from.m_nodes[original];
        Node copy;
        if (record.kind == Element) {
            const std::vector<quint8> &order = from.attributeSaveOrder(original);
            const quint32 first = quint32(m_attributes.size());
            for (const quint8 index : order)
                m_attributes.push_back(from.m_attributes[record.attributes + index]);
            copy = appendRecord(copyParent, Element, record.tag, first, int(order.size()));
        } else {
            copy = appendContent(copyParent, Kind(record.kind), record.tag, from.m_attributes[record.attributes]);
        }
        if (top == kNone)
            top = copy;
        if (!deep)
            break;
        // Last child first: the stack hands them out in document order.
        for (Node child = from.m_nodes[original].last; child != kNone; child = from.m_nodes[child].previous)
            pending.emplace_back(child, copy);
    }
    return top;
}

void ManifestTree::detachAttributes(Node node)
{
    Record &record = m_nodes[node];
    if (record.attributes + record.attributeCount == m_attributes.size())
        return;
    const quint32 first = quint32(m_attributes.size());
    for (quint32 i = 0; i < record.attributeCount; ++i)
        m_attributes.push_back(m_attributes[record.attributes + i]);
    record.attributes = first;
}

void ManifestTree::setAttribute(Node node, const Attribute &attribute)
{
    Record &record = m_nodes[node];
    for (quint32 i = 0; i < record.attributeCount; ++i) {
        Attribute &existing = m_attributes[record.attributes + i];
        if (existing.name == attribute.name) {
            // Changed in place: it keeps its position.
            existing = attribute;
            return;
        }
    }
    detachAttributes(node);
    m_attributes.push_back(attribute);
    ++m_nodes[node].attributeCount;
}

void ManifestTree::setAttribute(Node node, quint32 name, const QString &value)
{
    const QByteArray utf8 = value.toUtf8();
    setAttribute(node, storeValue(name, utf8.constData(), utf8.size()));
}

void ManifestTree::removeAttribute(Node node, quint32 name)
{
    Record &record = m_nodes[node];
    for (quint32 i = 0; i < record.attributeCount; ++i) {
        if (m_attributes[record.attributes + i].name == name) {
            for (quint32 k = i + 1; k < record.attributeCount; ++k)
                m_attributes[record.attributes + k - 1] = m_attributes[record.attributes + k];
            --record.attributeCount;
            return;
        }
    }
}

void ManifestTree::setTag(Node node, quint32 tag)
{
    Record &record = m_nodes[node];
    record.tag = tag;
    if (record.kind == Element)
        record.role = tag == FileTag ? File : tag == DirectoryTag ? Directory : Other;
}

void ManifestTree::remove(Node node)
{
    Record &record = m_nodes[node];
    if (record.parent == kNone) {
        if (node == m_root)
            m_root = kNone;
        return;
    }
    Record &up = m_nodes[record.parent];
    if (record.previous == kNone)
        up.first = record.next;
    else
        m_nodes[record.previous].next = record.next;
    if (record.next == kNone)
        up.last = record.previous;
    else
        m_nodes[record.next].previous = record.previous;
    record.parent = record.previous = record.next = kNone;
}

void ManifestTree::replace(Node node, Node detached)
{
    Record &old = m_nodes[node];
    Record &record = m_nodes[detached];
    if (old.parent == kNone || record.parent != kNone)
        return;
    record.parent = old.parent;
    record.previous = old.previous;
    record.next = old.next;
    Record &up = m_nodes[old.parent];
    if (old.previous == kNone)
        up.first = detached;
    else
        m_nodes[old.previous].next = detached;
    if (old.next == kNone)
        up.last = detached;
    else
        m_nodes[old.next].previous = detached;
    old.parent = old.previous = old.next = kNone;
}

int ManifestTree::compareNames(const Value &a, const Value &b)
{
    const int common = std::min(a.size, b.size);
    int i = 0;
    while (i < common && a.data[i] == b.data[i])
        ++i;
    if (i == common)
        return a.size < b.size ? -1 : a.size > b.size ? 1 : 0;
    const auto *x = reinterpret_cast<const unsigned char *>(a.data);
    const auto *y = reinterpret_cast<const unsigned char *>(b.data);
    if (x[i] < 0x80 && y[i] < 0x80)
        return x[i] < y[i] ? -1 : 1;
    // Back to the start of the character both differ in.
    while (i > 0 && (x[i] & 0xc0) == 0x80)
        --i;
    const quint32 ka = utf16Key(codePointAt(x, a.size, i));
    const quint32 kb = utf16Key(codePointAt(y, b.size, i));
    return ka < kb ? -1 : ka > kb ? 1 : 0;
}

void ManifestTree::listChildren(Node node, bool reorder, std::vector<Node> *children)
{
    children->clear();
    for (Node child = m_nodes[node].first; child != kNone; child = m_nodes[child].next)
        children->push_back(child);
    if (!reorder)
        return;
    // Runs of file and directory elements are put in order: files before
    // directories, each by name; equal names keep their order, and nothing
    // moves across another kind of node. Adjacent exchanges define the
    // order, and a stable sort of each run gives the same result.
    const auto sortKey = [this](Node n) { return m_nodes[n].kind == Element ? m_nodes[n].role : quint8(Other); };
    const auto less = [this](Node a, Node b) {
        const quint8 ra = m_nodes[a].role, rb = m_nodes[b].role;
        if (ra != rb)
            return ra == File;
        return compareNames(attribute(a, NameAttribute), attribute(b, NameAttribute)) < 0;
    };
    bool moved = false;
    size_t begin = 0;
    while (begin < children->size()) {
        if (sortKey((*children)[begin]) == Other) {
            ++begin;
            continue;
        }
        size_t end = begin;
        while (end < children->size() && sortKey((*children)[end]) != Other)
            ++end;
        const auto first = children->begin() + long(begin), last = children->begin() + long(end);
        if (!std::is_sorted(first, last, less)) {
            std::stable_sort(first, last, less);
            moved = true;
        }
        begin = end;
    }
    if (!moved)
        return;
    Record &up = m_nodes[node];
    Node previous = kNone;
    for (const Node child : *children) {
        m_nodes[child].previous = previous;
        if (previous == kNone)
            up.first = child;
        else
            m_nodes[previous].next = child;
        previous = child;
    }
    m_nodes[previous].next = kNone;
    up.last = previous;
}

void ManifestTree::walkChecksum(Node start, bool reorder, QCryptographicHash *hash)
{
    struct Frame
    {
        std::vector<Node> children;
        size_t next = 0;
        bool reorder = false;
    };
    // Deeper frames keep their buffers for the next directory.
    std::vector<Frame> stack(1);
    size_t depth = 0;
    auto enter = [&](Node node, bool inOrder) {
        if (stack.size() == depth)
            stack.emplace_back();
        listChildren(node, inOrder, &stack[depth].children);
        stack[depth].next = 0;
        stack[depth].reorder = inOrder;
        ++depth;
    };
    enter(start, reorder);
    while (depth > 0) {
        Frame &frame = stack[depth - 1];
        if (frame.next == frame.children.size()) {
            --depth;
            continue;
        }
        const Node child = frame.children[frame.next++];
        const bool inOrder = frame.reorder;
        if (m_nodes[child].kind != Element)
            continue;
        switch (m_nodes[child].role) {
        case File:
            if (hash)
                addLatin1(hash, attribute(child, CrcAttribute));
            break;
        case Directory: {
            if (hash) {
                // A directory without a name counts as "NULL".
                bool named = false;
                const Value name = attribute(child, NameAttribute, &named);
                if (named)
                    addLatin1(hash, name);
                else
                    hash->addData("NULL", 4);
            }
            // Below a directory the order is canonical only if it is above.
            enter(child, inOrder);
            break;
        }
        default:
            // Other elements are never reordered, nor anything below them,
            // but their content counts for the checksum.
            if (hash)
                enter(child, false);
            break;
        }
    }
}

void ManifestTree::sortTree(Node node)
{
    if (node != kNone)
        walkChecksum(node, true, nullptr);
}

QString ManifestTree::globalChecksum()
{
    QCryptographicHash hash(QCryptographicHash::Sha1);
    if (m_root != kNone) {
        if (isFile(m_root)) {
            sortTree(m_root);
            addLatin1(&hash, attribute(m_root, CrcAttribute));
        } else {
            if (isDirectory(m_root)) {
                bool named = false;
                const Value name = attribute(m_root, NameAttribute, &named);
                if (named)
                    addLatin1(&hash, name);
                else
                    hash.addData("NULL", 4);
            }
            walkChecksum(m_root, true, &hash);
        }
    }
    return QString::fromLatin1(hash.result().toHex());
}
