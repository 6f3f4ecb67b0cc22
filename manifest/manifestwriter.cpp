#include "manifestwriter.h"

#include <QIODevice>

#include <vector>

namespace {

constexpr int kFlushSize = 256 << 10;

} // namespace

ManifestWriter::ManifestWriter(QIODevice *device)
    : m_device(device)
{
    m_buffer.reserve(kFlushSize + 4096);
}

void ManifestWriter::put(const char *data, int size)
{
    if (m_failed)
        return;
    if (m_buffer.size() + size > kFlushSize && !flush())
        return;
    if (size > kFlushSize) {
        writeOut(data, size);
        return;
    }
    m_buffer.append(data, size);
}

bool ManifestWriter::writeOut(const char *data, qint64 size)
{
    // A full disk or a size limit may take part of a write without an
    // error: anything short is a failure.
    const qint64 written = m_device->write(data, size);
    if (written == size)
        return true;
    m_failed = true;
    m_error = written < 0 ? m_device->errorString()
                          : QStringLiteral("%1 of %2 bytes written").arg(written).arg(size);
    return false;
}

bool ManifestWriter::flush()
{
    if (m_failed)
        return false;
    if (!m_buffer.isEmpty() && !writeOut(m_buffer.constData(), m_buffer.size()))
        return false;
    m_buffer.clear();
    return true;
}

void ManifestWriter::putValue(const ManifestTree::Value &value, bool inAttribute)
{
    if (value.hex) {
        static const char digits[] = "0123456789abcdef";
        char text[128];
        for (int i = 0; i < value.size; ++i) {
            const auto byte = static_cast<unsigned char>(value.data[i]);
            text[2 * i] = digits[byte >> 4];
            text[2 * i + 1] = digits[byte & 15];
        }
        put(text, 2 * value.size);
        return;
    }
    // As the DOM escapes: "<" and "&" always; '"' and the white space that
    // attribute reading would fold in attributes; a carriage return in
    // text; ">" after "]]" everywhere.
    const char *data = value.data;
    int plain = 0;
    for (int i = 0; i < value.size; ++i) {
        const char c = data[i];
        const char *escape = nullptr;
        switch (c) {
        case '<':
            escape = "&lt;";
            break;
        case '&':
            escape = "&amp;";
            break;
        case '"':
            escape = inAttribute ? "&quot;" : nullptr;
            break;
        case '>':
            escape = i >= 2 && data[i - 1] == ']' && data[i - 2] == ']' ? "&gt;" : nullptr;
            break;
        case '\n':
            escape = inAttribute ? "&#xa;" : nullptr;
            break;
        case '\r':
            escape = "&#xd;";
            break;
        case '\t':
            escape = inAttribute ? "&#x9;" : nullptr;
            break;
        default:
            break;
        }
        if (!escape)
            continue;
        put(data + plain, i - plain);
        put(escape, int(qstrlen(escape)));
        plain = i + 1;
    }
    put(data + plain, value.size - plain);
}

bool ManifestWriter::write(const ManifestTree &tree, ManifestTree::Node element)
{
    using Node = ManifestTree::Node;
    // Text and CDATA run on without a line break or indentation.
    const auto isText = [&tree](Node node) {
        return node != ManifestTree::kNone && (tree.kind(node) == ManifestTree::Text || tree.kind(node) == ManifestTree::CData);
    };
    const auto endLine = [&](Node node) {
        if (!isText(tree.nextSibling(node)))
            put("\n", 1);
    };
    std::vector<Node> open; // elements whose children are being written
    Node node = element;
    for (;;) {
        switch (tree.kind(node)) {
        case ManifestTree::Element: {
            put("<", 1);
            put(tree.nameText(tree.tag(node)));
            for (const quint8 index : tree.attributeSaveOrder(node)) {
                const ManifestTree::Attribute &attribute = tree.attributeAt(node, index);
                put(" ", 1);
                put(tree.nameText(attribute.name));
                put("=\"", 2);
                putValue(tree.value(attribute), true);
                put("\"", 1);
            }
            const Node first = tree.firstChild(node);
            if (first != ManifestTree::kNone) {
                put(">", 1);
                if (!isText(first))
                    put("\n", 1);
                open.push_back(node);
                node = first;
                continue;
            }
            put("/>", 2);
            endLine(node);
            break;
        }
        case ManifestTree::Text:
            putValue(tree.content(node), false);
            break;
        case ManifestTree::CData:
            put("<![CDATA[", 9);
            put(tree.content(node).toUtf8());
            put("]]>", 3);
            break;
        case ManifestTree::Comment: {
            const QByteArray content = tree.content(node).toUtf8();
            put("<!--", 4);
            put(content);
            if (content.endsWith('-'))
                put(" ", 1);
            put("-->", 3);
            endLine(node);
            break;
        }
        case ManifestTree::Instruction:
            put("<?", 2);
            put(tree.nameText(tree.tag(node)));
            put(" ", 1);
            put(tree.content(node).toUtf8());
            put("?>\n", 3);
            break;
        }
        // On to the next sibling, closing the elements that are complete.
        for (;;) {
            if (node == element)
                return flush();
            const Node next = tree.nextSibling(node);
            if (next != ManifestTree::kNone) {
                node = next;
                break;
            }
            node = open.back();
            open.pop_back();
            put("</", 2);
            put(tree.nameText(tree.tag(node)));
            put(">", 1);
            endLine(node);
        }
    }
}
