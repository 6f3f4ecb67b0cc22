#include "manifestreader.h"

#include "manifest.h"

#include <QFile>
#include <QFileDevice>
#include <QIODevice>
#include <QXmlStreamReader>

#include <cstring>
#include <vector>

namespace {

constexpr qint64 kReadStep = 256 << 10;

bool isSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

bool isNameStart(unsigned char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}

bool isNameChar(unsigned char c)
{
    return isNameStart(c) || (c >= '0' && c <= '9') || c == '.' || c == '-';
}

// Ends a name in markup that the reader does not check itself.
bool endsName(char c)
{
    return isSpace(c) || c == '=' || c == '>' || c == '/' || c == '?' || c == '"' || c == '\'' || c == '<';
}

// A character that XML allows.
bool isXmlChar(quint32 cp)
{
    return cp == 0x9 || cp == 0xa || cp == 0xd || (cp >= 0x20 && cp <= 0xd7ff) || (cp >= 0xe000 && cp <= 0xfffd)
        || (cp >= 0x10000 && cp <= 0x10ffff);
}

void appendUtf8(QByteArray *out, quint32 cp)
{
    if (cp < 0x80) {
        *out += char(cp);
    } else if (cp < 0x800) {
        *out += char(0xc0 | (cp >> 6));
        *out += char(0x80 | (cp & 0x3f));
    } else if (cp < 0x10000) {
        *out += char(0xe0 | (cp >> 12));
        *out += char(0x80 | ((cp >> 6) & 0x3f));
        *out += char(0x80 | (cp & 0x3f));
    } else {
        *out += char(0xf0 | (cp >> 18));
        *out += char(0x80 | ((cp >> 12) & 0x3f));
        *out += char(0x80 | ((cp >> 6) & 0x3f));
        *out += char(0x80 | (cp & 0x3f));
    }
}

// Length of the well-formed UTF-8 sequence of an XML character at p, or 0.
int utf8Length(const unsigned char *p, const unsigned char *end)
{
    const unsigned char c = p[0];
    int length;
    quint32 cp;
    if (c < 0xc2)
        return 0;
    if (c < 0xe0) {
        length = 2;
        cp = c & 0x1f;
    } else if (c < 0xf0) {
        length = 3;
        cp = c & 0x0f;
    } else if (c < 0xf5) {
        length = 4;
        cp = c & 0x07;
    } else {
        return 0;
    }
    if (end - p < length)
        return 0;
    for (int i = 1; i < length; ++i) {
        if ((p[i] & 0xc0) != 0x80)
            return 0;
        cp = (cp << 6) | (p[i] & 0x3f);
    }
    // Overlong forms, surrogates and code points past U+10FFFF.
    if ((length == 3 && cp < 0x800) || (length == 4 && (cp < 0x10000 || cp > 0x10ffff)) || !isXmlChar(cp))
        return 0;
    return length;
}

// Whether every character of the bytes is one XML allows, in well-formed
// UTF-8. The stream parser lets some of these pass in names (it drops a
// control character) and the DOM parser would refuse them.
bool validChars(const char *p, const char *end)
{
    while (p < end) {
        const auto c = static_cast<unsigned char>(*p);
        if (c < 0x80) {
            if (c < 0x20 && c != '\t' && c != '\n' && c != '\r')
                return false;
            ++p;
            continue;
        }
        const int length = utf8Length(reinterpret_cast<const unsigned char *>(p), reinterpret_cast<const unsigned char *>(end));
        if (length == 0)
            return false;
        p += length;
    }
    return true;
}

// Markup the stream parser would be slow on, found on the raw bytes: more
// than kManifestMaxAttributes attributes in one element, a document type
// declaration, or a NUL byte (UTF-16 and UTF-32 text always has one, and
// UTF-8 XML never). In UTF-8 every ASCII byte is the character it reads as,
// so counting the "=" outside quoted values between a "<" and its ">" is
// exact for a start tag. Elsewhere (comments, text) it may count too much,
// which only refuses markup that no manifest holds. Fed in pieces or whole.
class MarkupScan
{
public:
    explicit MarkupScan(const QString &name)
        : m_name(name)
    {
    }

    bool feed(const char *data, qint64 size, QString *error)
    {
        static const char doctype[] = "<!DOCTYPE";
        for (qint64 i = 0; i < size; ++i) {
            const char c = data[i];
            if (m_doctype > 0) {
                m_doctype = c == doctype[m_doctype] ? m_doctype + 1 : 0;
                if (m_doctype == 9) {
                    *error = QStringLiteral("%1:%2: manifest has a document type declaration").arg(m_name).arg(m_line);
                    return false;
                }
            }
            if (m_afterOpen) {
                m_inTag = c != '/' && c != '!' && c != '?';
                m_afterOpen = false;
            }
            switch (c) {
            case '\0':
                *error = QStringLiteral("%1:%2: manifest is not UTF-8 text").arg(m_name).arg(m_line);
                return false;
            case '\n':
                ++m_line;
                break;
            case '<':
                // Never part of an attribute value, so it always starts new markup.
                m_doctype = 1;
                m_afterOpen = true;
                m_inTag = false;
                m_quote = 0;
                m_attributes = 0;
                break;
            default:
                if (!m_inTag)
                    break;
                if (m_quote) {
                    if (c == m_quote)
                        m_quote = 0;
                } else if (c == '"' || c == '\'') {
                    m_quote = c;
                } else if (c == '>') {
                    m_inTag = false;
                } else if (c == '=' && ++m_attributes > kManifestMaxAttributes) {
                    *error = QStringLiteral("%1:%2: manifest element has more than %3 attributes")
                                 .arg(m_name)
                                 .arg(m_line)
                                 .arg(kManifestMaxAttributes);
                    return false;
                }
            }
        }
        return true;
    }

private:
    QString m_name;
    int m_line = 1;
    int m_doctype = 0; // characters of "<!DOCTYPE" seen so far
    bool m_afterOpen = false;
    bool m_inTag = false;
    char m_quote = 0;
    int m_attributes = 0;
};

// The token checks of a whole text by Qt's stream parser, without
// recursion and stopping at the first problem: the nesting depth and the
// node count stay within their bounds and the text is well-formed UTF-8
// XML. Namespaces are not processed, as by the DOM parser.
class TokenScan
{
public:
    TokenScan(QXmlStreamReader *reader, const QString &name)
        : m_reader(reader)
        , m_name(name)
    {
        reader->setNamespaceProcessing(false);
    }

    // Checks one token; false with the reason on a problem.
    bool check(QXmlStreamReader::TokenType token, QString *error)
    {
        switch (token) {
        case QXmlStreamReader::StartDocument: {
            const QStringRef encoding = m_reader->documentEncoding();
            if (!encoding.isEmpty() && encoding.compare(QLatin1String("UTF-8"), Qt::CaseInsensitive) != 0)
                return refuse(QStringLiteral("manifest is not UTF-8 text but %1").arg(encoding), error);
            break;
        }
        case QXmlStreamReader::DTD:
            return refuse(QStringLiteral("manifest has a document type declaration"), error);
        case QXmlStreamReader::StartElement:
            if (++m_depth > kManifestMaxDepth)
                return refuse(QStringLiteral("manifest nested deeper than %1 levels").arg(kManifestMaxDepth), error);
            m_nodes += 1 + m_reader->attributes().size();
            break;
        case QXmlStreamReader::EndElement:
            --m_depth;
            break;
        case QXmlStreamReader::Characters:
            // The DOM parser drops text that is only white space.
            if (!m_reader->isWhitespace() || m_reader->isCDATA())
                ++m_nodes;
            break;
        case QXmlStreamReader::Comment:
        case QXmlStreamReader::ProcessingInstruction:
        case QXmlStreamReader::EntityReference:
            ++m_nodes;
            break;
        default:
            break;
        }
        if (m_nodes > kManifestMaxNodes)
            return refuse(QStringLiteral("manifest has more than %1 nodes").arg(kManifestMaxNodes), error);
        return true;
    }

    bool refuse(const QString &what, QString *error)
    {
        *error = QStringLiteral("%1:%2:%3: %4").arg(m_name).arg(m_reader->lineNumber()).arg(m_reader->columnNumber()).arg(what);
        return false;
    }

private:
    QXmlStreamReader *m_reader;
    QString m_name;
    int m_depth = 0;
    qint64 m_nodes = 0;
};

// Where the text comes from: a window on the bytes that grows as the
// parser asks for more, and forgets what lies before the token in hand.
class Source
{
public:
    explicit Source(const QByteArray &bytes)
        : m_fixed(bytes.constData())
        , m_size(bytes.size())
        , m_eof(true)
    {
    }

    explicit Source(QIODevice *device)
        : m_device(device)
    {
    }

    const char *data() const { return (m_device ? m_buffer.constData() : m_fixed) + m_offset; }
    qint64 size() const { return m_size - m_offset; }
    // Offset of data()[0] in the whole text.
    qint64 base() const { return m_base; }
    const QString &error() const { return m_error; }
    bool tooLarge() const { return m_tooLarge; }

    // Forgets everything before `keep`; indexes then count from there.
    void drop(qint64 keep)
    {
        m_offset += keep;
        m_base += keep;
    }

    // Reads more; false at the end or on an error.
    bool more()
    {
        if (m_eof)
            return false;
        // What was forgotten goes now, once per read, not once per token.
        if (m_offset > 0) {
            m_buffer.remove(0, int(m_offset));
            m_size -= m_offset;
            m_offset = 0;
        }
        const int old = m_buffer.size();
        m_buffer.resize(old + int(kReadStep));
        const qint64 got = m_device->read(m_buffer.data() + old, kReadStep);
        m_buffer.resize(old + int(qMax<qint64>(got, 0)));
        m_size = m_buffer.size();
        if (got < 0) {
            m_error = m_device->errorString();
            m_eof = true;
            return false;
        }
        if (m_base + size() > kManifestMaxBytes) {
            m_tooLarge = true;
            m_eof = true;
            return false;
        }
        if (got == 0) {
            m_eof = true;
            return false;
        }
        return true;
    }

private:
    QIODevice *m_device = nullptr;
    QByteArray m_buffer;
    const char *m_fixed = "";
    qint64 m_size = 0;   // bytes held, forgotten ones included
    qint64 m_offset = 0; // forgotten bytes at the front
    qint64 m_base = 0;
    bool m_eof = false;
    bool m_tooLarge = false;
    QString m_error;
};

// The reader's own parser. It builds what the DOM parser builds, checks
// everything of a plain manifest, and notes what it leaves to the stream
// parser's check (`unusual`).
class Parser
{
public:
    Parser(Source *source, ManifestTree *tree, bool rootOnly)
        : m_source(source)
        , m_tree(tree)
        , m_rootOnly(rootOnly)
    {
    }

    enum Outcome { Read, Refused, ReadError };
    Outcome run();

    bool unusual() const { return m_unusual; }
    qint64 failureOffset() const { return m_failure; }
    const QString &failureReason() const { return m_reason; }

private:
    bool refuse(qint64 at, const char *reason)
    {
        m_failure = m_source->base() + at;
        m_reason = QString::fromLatin1(reason);
        return false;
    }
    // Makes sure data()[i] exists; false at the end of the text.
    bool have(qint64 i)
    {
        while (i >= m_source->size()) {
            if (!m_source->more())
                return false;
        }
        return true;
    }
    // Index just past the first `pattern` at or after `from`, or -1.
    qint64 findEnd(qint64 from, const char *pattern, int length);
    qint64 findTagEnd(qint64 from);
    bool prolog();
    bool declaration(qint64 end);
    bool text(qint64 from, qint64 to);
    bool startTag(qint64 from, qint64 to);
    bool endTag(qint64 from, qint64 to);
    bool instruction(qint64 from, qint64 to);
    // Decodes references and checks the characters of a value.
    bool decode(const char *p, const char *end, bool inAttribute, QByteArray *out, bool *plain);
    const char *name(const char *p, const char *end);

    Source *m_source;
    ManifestTree *m_tree;
    bool m_rootOnly;
    bool m_unusual = false;
    bool m_rootDone = false;
    qint64 m_failure = -1;
    QString m_reason;
    qint64 m_nodes = 0;
    std::vector<ManifestTree::Node> m_open;
    std::vector<ManifestTree::Attribute> m_attributes;
    QByteArray m_scratch;
};

qint64 Parser::findEnd(qint64 from, const char *pattern, int length)
{
    qint64 i = from;
    for (;;) {
        const char *data = m_source->data();
        const qint64 size = m_source->size();
        while (i + length <= size) {
            const void *found = std::memchr(data + i, pattern[0], size_t(size - i - length + 1));
            if (!found) {
                i = size - length + 1;
                break;
            }
            i = static_cast<const char *>(found) - data;
            if (std::memcmp(data + i, pattern, size_t(length)) == 0)
                return i + length;
            ++i;
        }
        if (!m_source->more())
            return -1;
    }
}

qint64 Parser::findTagEnd(qint64 from)
{
    char quote = 0;
    qint64 i = from;
    for (;;) {
        const char *data = m_source->data();
        const qint64 size = m_source->size();
        for (; i < size; ++i) {
            const char c = data[i];
            if (quote) {
                if (c == quote)
                    quote = 0;
            } else if (c == '"' || c == '\'') {
                quote = c;
            } else if (c == '>') {
                return i + 1;
            } else if (c == '<') {
                return -1; // never inside a tag, quoted or not
            }
        }
        if (!m_source->more())
            return -1;
    }
}

const char *Parser::name(const char *p, const char *end)
{
    if (p == end || !isNameStart(static_cast<unsigned char>(*p))) {
        // Namespaces, names beyond ASCII: the stream parser checks them.
        const char *q = p;
        while (q < end && !endsName(*q))
            ++q;
        if (q == p || !validChars(p, q))
            return nullptr;
        m_unusual = true;
        return q;
    }
    const char *start = p++;
    while (p < end && isNameChar(static_cast<unsigned char>(*p)))
        ++p;
    if (p < end && !endsName(*p)) {
        while (p < end && !endsName(*p))
            ++p;
        if (!validChars(start, p))
            return nullptr;
        m_unusual = true;
    }
    return p;
}

bool Parser::decode(const char *p, const char *end, bool inAttribute, QByteArray *out, bool *plain)
{
    // Most values have nothing to decode and are stored as they are.
    const char *q = p;
    while (q < end) {
        const auto c = static_cast<unsigned char>(*q);
        if (c == '&' || c == '<' || c >= 0x80 || (c < 0x20 && c != '\t' && c != '\n' && c != '\r'))
            break;
        ++q;
    }
    if (q == end) {
        *plain = true;
        return true;
    }
    *plain = false;
    out->clear();
    out->append(p, int(q - p));
    while (q < end) {
        const auto c = static_cast<unsigned char>(*q);
        if (c == '&') {
            const char *semicolon = static_cast<const char *>(std::memchr(q, ';', size_t(end - q)));
            if (!semicolon)
                return false;
            const QByteArray entity = QByteArray::fromRawData(q + 1, int(semicolon - q - 1));
            if (entity == "lt")
                *out += '<';
            else if (entity == "gt")
                *out += '>';
            else if (entity == "amp")
                *out += '&';
            else if (entity == "quot")
                *out += '"';
            else if (entity == "apos")
                *out += '\'';
            else if (entity.startsWith('#')) {
                const bool hex = entity.size() > 1 && entity.at(1) == 'x';
                const QByteArray digits = entity.mid(hex ? 2 : 1);
                if (digits.isEmpty() || digits.size() > 8)
                    return false;
                quint32 cp = 0;
                for (const char d : digits) {
                    int v;
                    if (d >= '0' && d <= '9')
                        v = d - '0';
                    else if (hex && d >= 'a' && d <= 'f')
                        v = d - 'a' + 10;
                    else if (hex && d >= 'A' && d <= 'F')
                        v = d - 'A' + 10;
                    else
                        return false;
                    cp = cp * (hex ? 16 : 10) + quint32(v);
                }
                if (!isXmlChar(cp))
                    return false;
                appendUtf8(out, cp);
            } else {
                return false; // no entity is declared: there is no DTD
            }
            q = semicolon + 1;
        } else if (c == '<') {
            return false;
        } else if (c >= 0x80) {
            const int length = utf8Length(reinterpret_cast<const unsigned char *>(q), reinterpret_cast<const unsigned char *>(end));
            if (length == 0)
                return false;
            out->append(q, length);
            q += length;
        } else if (c < 0x20 && c != '\t' && c != '\n' && c != '\r') {
            return false;
        } else {
            *out += char(c);
            ++q;
        }
    }
    Q_UNUSED(inAttribute)
    return true;
}

bool Parser::declaration(qint64 end)
{
    // <?xml version="1.0" encoding="UTF-8" standalone="yes"?>, as far as it
    // is written so; anything else is the stream parser's to judge. The DOM
    // keeps it as an instruction whose text it writes anew, in single quotes.
    static const char *const names[] = {"version", "encoding", "standalone"};
    const char *p = m_source->data() + 5;
    const char *stop = m_source->data() + end - 2;
    int next = 0;
    QByteArray text;
    const auto keep = [&](const QByteArray &value) {
        const ManifestTree::Node node = m_tree->appendContent(ManifestTree::kNone, ManifestTree::Instruction,
                                                              m_tree->nameId("xml", 3),
                                                              m_tree->storeValue(ManifestTree::NameAttribute, value.constData(), value.size()));
        m_tree->addToDocument(node);
    };
    for (;;) {
        const char *q = p;
        while (q < stop && isSpace(*q))
            ++q;
        if (q == stop && next > 0) {
            keep(text);
            return true;
        }
        if (q == p || q == stop)
            break;
        p = q;
        int which = next;
        while (which < 3 && std::strncmp(p, names[which], std::strlen(names[which])) != 0)
            ++which;
        if (which == 3 || (next == 0 && which != 0))
            break;
        p += std::strlen(names[which]);
        while (p < stop && isSpace(*p))
            ++p;
        if (p == stop || *p != '=')
            break;
        ++p;
        while (p < stop && isSpace(*p))
            ++p;
        if (p == stop || (*p != '"' && *p != '\''))
            break;
        const char quote = *p++;
        const char *close = static_cast<const char *>(std::memchr(p, quote, size_t(stop - p)));
        if (!close)
            break;
        const QByteArray value(p, int(close - p));
        const bool ok = which == 0   ? value == "1.0"
                        : which == 1 ? value.toUpper() == "UTF-8"
                                     : value == "yes" || value == "no";
        if (!ok)
            break;
        text += (text.isEmpty() ? "" : " ") + QByteArray(names[which]) + "='" + value + '\'';
        p = close + 1;
        next = which + 1;
    }
    m_unusual = true;
    const char *first = m_source->data() + 5;
    while (first < stop && isSpace(*first))
        ++first;
    keep(QByteArray(first, int(stop - first)));
    return true;
}

bool Parser::prolog()
{
    // A byte order mark, then perhaps the declaration.
    if (!have(2))
        return refuse(0, "no root element");
    const auto *bom = reinterpret_cast<const unsigned char *>(m_source->data());
    if (bom[0] == 0xef && bom[1] == 0xbb && bom[2] == 0xbf)
        m_source->drop(3);
    if (have(5) && std::strncmp(m_source->data(), "<?xml", 5) == 0
        && (isSpace(m_source->data()[5]) || m_source->data()[5] == '?')) {
        const qint64 end = findEnd(5, "?>", 2);
        if (end < 0)
            return refuse(0, "unfinished declaration");
        if (!declaration(end))
            return false;
        m_source->drop(end);
    }
    return true;
}

bool Parser::text(qint64 from, qint64 to)
{
    const char *p = m_source->data() + from;
    const char *end = m_source->data() + to;
    const char *q = p;
    while (q < end && isSpace(*q))
        ++q;
    if (q == end)
        return true; // only white space: the DOM parser drops it too
    if (m_open.empty())
        return refuse(from, "text outside the root element");
    if (!validChars(p, end))
        return refuse(from, "not a character of XML text");
    bool plain = false;
    if (!decode(p, end, false, &m_scratch, &plain))
        return refuse(from, "malformed text");
    const QByteArray &value = plain ? QByteArray::fromRawData(p, int(end - p)) : m_scratch;
    // References can still make it white space only.
    bool blank = true;
    for (const char c : value)
        blank = blank && isSpace(c);
    if (blank)
        return true;
    m_unusual = true; // "]]>" and the like: left to the stream parser
    m_tree->appendContent(m_open.back(), ManifestTree::Text, 0,
                          m_tree->storeValue(ManifestTree::NameAttribute, value.constData(), value.size()));
    return ++m_nodes <= kManifestMaxNodes || refuse(from, "too many nodes");
}

bool Parser::startTag(qint64 from, qint64 to)
{
    if (m_rootDone)
        return refuse(from, "content after the root element");
    const char *data = m_source->data();
    const char *p = data + from + 1;
    const char *end = data + to - 1; // at '>'
    const char *tagEnd = name(p, end);
    if (!tagEnd)
        return refuse(from, "malformed start tag");
    const quint32 tag = m_tree->nameId(p, int(tagEnd - p));
    p = tagEnd;
    bool empty = false;
    m_attributes.clear();
    for (;;) {
        if (p == end)
            break;
        if (*p == '/') {
            if (p + 1 != end)
                return refuse(from, "malformed start tag");
            empty = true;
            break;
        }
        if (!isSpace(*p))
            return refuse(from, "malformed start tag");
        while (p < end && isSpace(*p))
            ++p;
        if (p == end || *p == '/')
            continue;
        const char *nameEnd = name(p, end);
        if (!nameEnd)
            return refuse(from, "malformed attribute");
        const quint32 attributeName = m_tree->nameId(p, int(nameEnd - p));
        p = nameEnd;
        while (p < end && isSpace(*p))
            ++p;
        if (p == end || *p != '=')
            return refuse(from, "malformed attribute");
        ++p;
        while (p < end && isSpace(*p))
            ++p;
        if (p == end || (*p != '"' && *p != '\''))
            return refuse(from, "malformed attribute");
        const char quote = *p++;
        const char *close = static_cast<const char *>(std::memchr(p, quote, size_t(end - p)));
        if (!close)
            return refuse(from, "malformed attribute");
        for (const ManifestTree::Attribute &earlier : m_attributes) {
            if (earlier.name == attributeName)
                return refuse(from, "attribute given twice");
        }
        if (int(m_attributes.size()) == kManifestMaxAttributes)
            return refuse(from, "too many attributes");
        bool plain = false;
        if (!decode(p, close, true, &m_scratch, &plain))
            return refuse(from, "malformed attribute value");
        m_attributes.push_back(plain ? m_tree->storeValue(attributeName, p, int(close - p))
                                     : m_tree->storeValue(attributeName, m_scratch.constData(), m_scratch.size()));
        p = close + 1;
    }
    if (m_open.size() >= size_t(kManifestMaxDepth))
        return refuse(from, "nested too deep");
    m_nodes += 1 + qint64(m_attributes.size());
    if (m_nodes > kManifestMaxNodes)
        return refuse(from, "too many nodes");
    const ManifestTree::Node parent = m_open.empty() ? ManifestTree::kNone : m_open.back();
    const ManifestTree::Node node = m_tree->appendElement(parent, tag, m_attributes.data(), int(m_attributes.size()));
    if (m_open.empty())
        m_tree->addToDocument(node);
    if (empty) {
        if (m_open.empty())
            m_rootDone = true;
    } else {
        m_open.push_back(node);
    }
    return true;
}

bool Parser::endTag(qint64 from, qint64 to)
{
    const char *data = m_source->data();
    const char *p = data + from + 2;
    const char *end = data + to - 1;
    const char *nameEnd = name(p, end);
    if (!nameEnd || m_open.empty())
        return refuse(from, "malformed end tag");
    const char *q = nameEnd;
    while (q < end && isSpace(*q))
        ++q;
    if (q != end || m_tree->nameId(p, int(nameEnd - p)) != m_tree->tag(m_open.back()))
        return refuse(from, "end tag does not match");
    m_open.pop_back();
    if (m_open.empty())
        m_rootDone = true;
    return true;
}

bool Parser::instruction(qint64 from, qint64 to)
{
    const char *data = m_source->data();
    const char *p = data + from + 2;
    const char *end = data + to - 2;
    const char *q = p;
    while (q < end && !isSpace(*q))
        ++q;
    if (q == p || !validChars(p, end))
        return refuse(from, "malformed processing instruction");
    m_unusual = true;
    const quint32 target = m_tree->nameId(p, int(q - p));
    while (q < end && isSpace(*q))
        ++q;
    const ManifestTree::Node node = m_tree->appendContent(m_open.empty() ? ManifestTree::kNone : m_open.back(),
                                                          ManifestTree::Instruction, target,
                                                          m_tree->storeValue(ManifestTree::NameAttribute, q, int(end - q)));
    if (m_open.empty())
        m_tree->addToDocument(node);
    return ++m_nodes <= kManifestMaxNodes || refuse(from, "too many nodes");
}

Parser::Outcome Parser::run()
{
    if (!prolog())
        return m_source->tooLarge() || !m_source->error().isEmpty() ? ReadError : Refused;
    qint64 i = 0;
    for (;;) {
        if (m_rootOnly && (m_rootDone || !m_open.empty()))
            return Read;
        // Text up to the next markup.
        qint64 lt = -1;
        for (;;) {
            const void *found = std::memchr(m_source->data() + i, '<', size_t(m_source->size() - i));
            if (found) {
                lt = static_cast<const char *>(found) - m_source->data();
                break;
            }
            if (!m_source->more())
                break;
        }
        if (m_source->tooLarge() || !m_source->error().isEmpty())
            return ReadError;
        const qint64 textEnd = lt < 0 ? m_source->size() : lt;
        if (textEnd > i && !text(i, textEnd))
            return Refused;
        if (lt < 0) {
            if (!m_rootDone)
            {
                refuse(textEnd, m_open.empty() ? "no root element" : "unfinished element");
                return Refused;
            }
            return Read;
        }
        m_source->drop(lt);
        i = 0;
        if (!have(1)) {
            refuse(0, "unfinished markup");
            return Refused;
        }
        const char second = m_source->data()[1];
        qint64 end;
        bool ok;
        if (second == '/') {
            end = findTagEnd(2);
            ok = end > 0 && endTag(0, end);
        } else if (second == '?') {
            end = findEnd(2, "?>", 2);
            ok = end > 0 && instruction(0, end);
        } else if (second == '!') {
            if (have(3) && m_source->data()[2] == '-' && have(3) && m_source->data()[3] == '-') {
                end = findEnd(4, "-->", 3);
                ok = end > 0 && validChars(m_source->data() + 4, m_source->data() + end - 3);
                m_unusual = true;
                if (ok) {
                    const ManifestTree::Node node = m_tree->appendContent(
                        m_open.empty() ? ManifestTree::kNone : m_open.back(), ManifestTree::Comment, 0,
                        m_tree->storeValue(ManifestTree::NameAttribute, m_source->data() + 4, int(end - 7)));
                    if (m_open.empty())
                        m_tree->addToDocument(node);
                    ok = ++m_nodes <= kManifestMaxNodes;
                }
            } else if (have(8) && std::strncmp(m_source->data(), "<![CDATA[", 9) == 0) {
                end = findEnd(9, "]]>", 3);
                ok = end > 0 && !m_open.empty() && validChars(m_source->data() + 9, m_source->data() + end - 3);
                m_unusual = true;
                if (ok) {
                    m_tree->appendContent(m_open.back(), ManifestTree::CData, 0,
                                          m_tree->storeValue(ManifestTree::NameAttribute, m_source->data() + 9, int(end - 12)));
                    ok = ++m_nodes <= kManifestMaxNodes;
                }
            } else {
                end = -1; // a document type declaration, or no markup at all
                ok = false;
            }
            if (!ok && m_failure < 0)
                refuse(0, "malformed markup");
        } else {
            end = findTagEnd(1);
            ok = end > 0 && startTag(0, end);
        }
        if (m_source->tooLarge() || !m_source->error().isEmpty())
            return ReadError;
        if (!ok) {
            if (m_failure < 0)
                refuse(0, "malformed markup");
            return Refused;
        }
        i = end;
    }
}

} // namespace

ManifestReader::ManifestReader(QIODevice *device)
    : m_device(device)
    , m_name(deviceName(device))
{
}

ManifestReader::ManifestReader(QIODevice *device, const QString &name)
    : m_device(device)
    , m_name(name)
{
}

ManifestReader::ManifestReader(const QByteArray &bytes, const QString &name)
    : m_bytes(bytes)
    , m_fromBytes(true)
    , m_name(name)
{
}

bool ManifestReader::fail(const QString &reason)
{
    m_error = oneLine(reason);
    return false;
}

bool ManifestReader::read(ManifestTree *tree)
{
    return parse(tree, false);
}

bool ManifestReader::readRoot(ManifestTree *tree)
{
    return parse(tree, true);
}

bool ManifestReader::parse(ManifestTree *tree, bool rootOnly)
{
    *tree = ManifestTree(*tree);
    m_error.clear();
    if (m_started && !m_fromBytes) {
        if (!m_device->seek(m_start))
            return fail(QStringLiteral("cannot read manifest '%1': %2").arg(m_name, m_device->errorString()));
    } else if (!m_fromBytes) {
        m_started = true;
        if (!m_device)
            return fail(QStringLiteral("no manifest to read"));
        if (!m_device->isOpen() && !m_device->open(QIODevice::ReadOnly))
            return fail(QStringLiteral("cannot open manifest '%1': %2").arg(m_name, m_device->errorString()));
        // A device that cannot go back is read whole: a refusal is then
        // checked again from the start.
        if (m_device->isSequential()) {
            QString error;
            if (!readBounded(m_device, m_name, &m_bytes, &error))
                return fail(error);
            m_fromBytes = true;
        } else {
            m_start = m_device->pos();
        }
    }
    if (m_fromBytes && m_bytes.size() > kManifestMaxBytes)
        return fail(QStringLiteral("%1: manifest larger than %2 bytes").arg(m_name).arg(kManifestMaxBytes));

    if (!rootOnly)
        tree->reserve(qMin(m_fromBytes ? m_bytes.size() : m_device->size() - m_start, kManifestMaxBytes));
    Source source = m_fromBytes ? Source(m_bytes) : Source(m_device);
    Parser parser(&source, tree, rootOnly);
    const Parser::Outcome outcome = parser.run();
    if (outcome == Parser::ReadError) {
        *tree = ManifestTree(*tree);
        if (source.tooLarge())
            return fail(QStringLiteral("%1: manifest larger than %2 bytes").arg(m_name).arg(kManifestMaxBytes));
        return fail(QStringLiteral("cannot read manifest '%1': %2").arg(m_name, source.error()));
    }
    if (outcome == Parser::Read && !parser.unusual())
        return true;
    const bool ok = rootOnly ? validateRoot() : validateWhole(outcome == Parser::Read ? -1 : parser.failureOffset(),
                                                             parser.failureReason());
    if (!ok || outcome != Parser::Read) {
        *tree = ManifestTree(*tree);
        return ok ? fail(QStringLiteral("%1: manifest does not parse: %2").arg(m_name, parser.failureReason())) : false;
    }
    return true;
}

bool ManifestReader::validateWhole(qint64 failure, const QString &failureReason)
{
    QByteArray whole;
    const QByteArray *bytes = &m_bytes;
    if (!m_fromBytes) {
        QString error;
        if (!m_device->seek(m_start) || !readBounded(m_device, m_name, &whole, &error))
            return fail(error.isEmpty() ? QStringLiteral("cannot read manifest '%1': %2").arg(m_name, m_device->errorString())
                                        : error);
        bytes = &whole;
    }
    QString error;
    if (!checkText(*bytes, m_name, &error))
        return fail(error);
    if (failure >= 0) {
        // The stream parser takes what this reader refused: name the place.
        const QByteArray before = bytes->left(int(qMin<qint64>(failure, bytes->size())));
        const int line = before.count('\n') + 1;
        const int column = int(before.size() - before.lastIndexOf('\n'));
        return fail(QStringLiteral("%1:%2:%3: manifest does not parse: %4").arg(m_name).arg(line).arg(column).arg(failureReason));
    }
    return true;
}

bool ManifestReader::validateRoot()
{
    // As far as the root's start tag, in pieces: a refused release is never
    // read whole.
    QXmlStreamReader reader;
    TokenScan tokens(&reader, m_name);
    MarkupScan markup(m_name);
    if (!m_fromBytes && !m_device->seek(m_start))
        return fail(QStringLiteral("cannot read manifest '%1': %2").arg(m_name, m_device->errorString()));
    qint64 offset = 0;
    QByteArray piece;
    QString error;
    for (;;) {
        while (!reader.atEnd()) {
            const QXmlStreamReader::TokenType token = reader.readNext();
            if (token == QXmlStreamReader::Invalid)
                break;
            if (!tokens.check(token, &error))
                return fail(error);
            if (token == QXmlStreamReader::StartElement)
                return true;
        }
        if (reader.hasError() && reader.error() != QXmlStreamReader::PrematureEndOfDocumentError) {
            tokens.refuse(QStringLiteral("manifest does not parse: %1").arg(reader.errorString()), &error);
            return fail(error);
        }
        if (m_fromBytes) {
            piece = m_bytes.mid(int(offset), int(kReadStep));
        } else {
            piece.resize(int(kReadStep));
            const qint64 got = m_device->read(piece.data(), kReadStep);
            if (got < 0)
                return fail(QStringLiteral("cannot read manifest '%1': %2").arg(m_name, m_device->errorString()));
            piece.resize(int(got));
        }
        offset += piece.size();
        if (offset > kManifestMaxBytes)
            return fail(QStringLiteral("%1: manifest larger than %2 bytes").arg(m_name).arg(kManifestMaxBytes));
        if (piece.isEmpty()) {
            tokens.refuse(QStringLiteral("manifest does not parse: %1").arg(reader.errorString()), &error);
            return fail(error);
        }
        if (!markup.feed(piece.constData(), piece.size(), &error))
            return fail(error);
        reader.addData(piece);
    }
}

bool ManifestReader::readFile(const QString &path, ManifestTree *tree, QString *error)
{
    QFile file(path);
    ManifestReader reader(&file);
    reader.m_name = path;
    if (reader.read(tree))
        return true;
    if (error)
        *error = reader.errorString();
    return false;
}

bool ManifestReader::readBounded(QIODevice *device, const QString &name, QByteArray *bytes, QString *error)
{
    if (!device->isOpen() && !device->open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot open manifest '%1': %2").arg(name, device->errorString());
        return false;
    }
    // A file says how much is left: read it at once, plus one byte that
    // shows whether it grew. Other devices are read in steps.
    const qint64 step = 64 << 10;
    qint64 chunk = step;
    if (!device->isSequential())
        chunk = qBound(qint64(0), device->size() - device->pos(), kManifestMaxBytes) + 1;
    qint64 size = 0;
    for (;;) {
        bytes->resize(int(size + chunk));
        const qint64 got = device->read(bytes->data() + size, chunk);
        if (got < 0) {
            *error = QStringLiteral("cannot read manifest '%1': %2").arg(name, device->errorString());
            return false;
        }
        size += got;
        if (size > kManifestMaxBytes) {
            *error = QStringLiteral("%1: manifest larger than %2 bytes").arg(name).arg(kManifestMaxBytes);
            return false;
        }
        // A short read is not the end on every device; only 0 is.
        if (got == 0)
            break;
        // Less than asked from a file is its end, which one more byte confirms.
        chunk = !device->isSequential() && got < chunk ? 1 : step;
    }
    bytes->resize(int(size));
    return true;
}

bool ManifestReader::checkText(const QByteArray &bytes, const QString &name, QString *error)
{
    MarkupScan markup(name);
    if (!markup.feed(bytes.constData(), bytes.size(), error))
        return false;
    QXmlStreamReader reader(bytes);
    TokenScan tokens(&reader, name);
    while (!reader.atEnd()) {
        if (!tokens.check(reader.readNext(), error))
            return false;
    }
    if (reader.hasError())
        return tokens.refuse(QStringLiteral("manifest does not parse: %1").arg(reader.errorString()), error);
    return true;
}

QString ManifestReader::deviceName(QIODevice *device)
{
    const auto *file = qobject_cast<QFileDevice *>(device);
    return file && !file->fileName().isEmpty() ? file->fileName() : QStringLiteral("manifest");
}

QString ManifestReader::oneLine(const QString &text)
{
    QString line;
    line.reserve(text.size());
    for (const QChar c : text) {
        const QChar::Category category = c.category();
        if (category == QChar::Other_Control || category == QChar::Separator_Line ||
            category == QChar::Separator_Paragraph)
            line += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
        else
            line += c;
    }
    return line;
}
