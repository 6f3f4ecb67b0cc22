// Randomized check that the fast canonical order and comparison give exactly
// the results of the plain algorithms they replace (adjacent-exchange
// passes, linear name search), and that the compact trees read, compare,
// change and save manifests byte for byte as the DOM does. The plain
// versions live only here.
#include "manifest.h"
#include "manifestcomparison.h"
#include "manifestreader.h"
#include "manifestupdate.h"
#include "manifestwriter.h"

#include <QtTest>

#include <vector>

namespace reference {

QString name(const QDomElement &e) { return e.attribute(QStringLiteral("name")); }
bool isDir(const QDomElement &e) { return e.tagName() == QLatin1String("directory"); }
bool isFile(const QDomElement &e) { return e.tagName() == QLatin1String("file"); }

void sortTree(QDomNode node)
{
    // `children` mirrors the node's child list through every exchange.
    std::vector<QDomNode> children;
    for (QDomNode c = node.firstChild(); !c.isNull(); c = c.nextSibling())
        children.push_back(c);
    for (QDomElement c = node.firstChildElement(); !c.isNull(); c = c.nextSiblingElement())
        if (isDir(c))
            reference::sortTree(c);
    for (size_t k = 1; k < children.size(); ++k) {
        for (size_t i = 0; i + k < children.size(); ++i) {
            const QDomElement a = children[i].toElement(), b = children[i + 1].toElement();
            if ((isDir(a) && isFile(b)) || (((isDir(a) && isDir(b)) || (isFile(a) && isFile(b))) && name(b) < name(a))) {
                node.insertBefore(b, a);
                std::swap(children[i], children[i + 1]);
            }
        }
    }
}

QString canonicalString(const QDomElement &e)
{
    if (isFile(e))
        return e.attribute(QStringLiteral("crc"));
    QString out = isDir(e) ? e.attribute(QStringLiteral("name"), QStringLiteral("NULL")) : QString();
    for (QDomElement c = e.firstChildElement(); !c.isNull(); c = c.nextSiblingElement())
        out += reference::canonicalString(c);
    return out;
}

QDomElement findChildByName(const QDomElement &parent, const QString &wanted)
{
    for (QDomElement c = parent.firstChildElement(); !c.isNull(); c = c.nextSiblingElement())
        if (name(c) == wanted)
            return c;
    return QDomElement();
}

bool needsUpdate(const QDomElement &d, const QDomElement &l)
{
    return elementDate(d) > elementDate(l) || elementCrc(d) != elementCrc(l) || elementSize(d) != elementSize(l)
        || elementVersion(d) != elementVersion(l) || elementUrl(d) != elementUrl(l);
}

void addNewSubtree(QDomElement e, QDomElement k, QList<DOM_DIFF *> *list)
{
    for (QDomElement c = e.firstChildElement(); !c.isNull(); c = c.nextSiblingElement()) {
        if (isDir(c)) {
            QDomElement k2 = c.cloneNode(false).toElement();
            k.appendChild(k2);
            reference::addNewSubtree(c, k2, list);
        } else {
            list->append(new DOM_DIFF{c, k, NEW});
        }
    }
}

void compareDirectories(QDomElement d, QDomElement l, QList<DOM_DIFF *> *list)
{
    for (QDomElement e = d.firstChildElement(); !e.isNull(); e = e.nextSiblingElement()) {
        const QDomElement s = reference::findChildByName(l, name(e));
        if (s.isNull() && isDir(e)) {
            QDomElement k = e.cloneNode(false).toElement();
            if (!l.isNull()) // a copy appended to a null element is lost
                l.appendChild(k);
            list->append(new DOM_DIFF{e, l, NEW});
            reference::addNewSubtree(e, k, list);
        } else if (s.isNull()) {
            list->append(new DOM_DIFF{e, l, NEW});
        } else if (isDir(e)) {
            reference::compareDirectories(e, s, list);
        } else if (reference::needsUpdate(e, s)) {
            list->append(new DOM_DIFF{e, s, CHANGED});
        }
    }
    for (QDomElement c = l.firstChildElement(); !c.isNull(); c = c.nextSiblingElement())
        if (reference::findChildByName(d, name(c)).isNull())
            list->append(new DOM_DIFF{c, c, REMOVED});
}

} // namespace reference

namespace {

// Full dump, attributes sorted, so two trees compare equal exactly when
// they hold the same nodes in the same order.
QString dump(const QDomNode &node)
{
    QString out;
    for (QDomNode c = node.firstChild(); !c.isNull(); c = c.nextSibling()) {
        if (!c.isElement()) {
            out += '{' + c.nodeName() + ':' + c.nodeValue() + '}';
            continue;
        }
        QStringList list;
        for (int i = 0; i < c.attributes().count(); ++i)
            list << c.attributes().item(i).nodeName() + '=' + c.attributes().item(i).nodeValue();
        list.sort();
        out += '<' + c.nodeName() + ' ' + list.join(' ') + '>' + dump(c) + "</>";
    }
    return out;
}

QString rootPosition(QDomNode node);

// Without a local root the copies of new directories hang in the air, and a
// DOM frees the copies no handle holds while their siblings still point at
// them: their places are not walked, only whether there is one.
QString describe(const QList<DOM_DIFF *> &list, bool detachedLocal = false)
{
    QStringList out;
    for (const DOM_DIFF *d : list) {
        const QString local = detachedLocal ? (d->local.isNull() ? "-" : "d") : rootPosition(d->local);
        out << QStringLiteral("%1 %2 %3").arg(d->type).arg(rootPosition(d->distant), local);
    }
    return out.join('\n');
}

// Random trees over few names, so duplicates and matches across trees are
// common; text and comment nodes and other elements among them.
void fill(QRandomGenerator &random, QDomDocument &document, QDomElement parent, int depth)
{
    // First the attribute, then its values; "-" leaves it out.
    static const QList<QStringList> attributes{{"name", "a", "b", "B", "a.txt", "_", "", "-", "é", "\U0001F600", "\uFF21",
                                                 "x<&\"'>]]>", "t\tb\r\nc"},
        {"crc", "c1", "c2", "-", "da39a3ee5e6b4b0d3255bfef95601890afd80709"}, {"size", "1", "01", "-"},
        {"version", "0", "2", "-"}, {"url", ".", "a/b", "-"},
        {"date", "2014-03-07T01:00:00", "2014-03-07", "2014-03-09", "bad", "-", "-"}, {"zz", "-", "-", "1"}};
    // Now and then a wide level, so the sorting has runs worth the name.
    const int count = int(random.bounded(random.bounded(8) == 0 ? 30 : 6));
    for (int i = 0; i < count; ++i) {
        const int roll = int(random.bounded(100));
        if (roll < 8) {
            static const QStringList texts{"t", " t\r\n", "a]]>b&<\"", " "};
            parent.appendChild(roll < 3 ? QDomNode(document.createTextNode(texts.at(int(random.bounded(4)))))
                               : roll < 5 ? document.createComment("c")
                               : roll < 7 ? QDomNode(document.createCDATASection(" c<&d "))
                                          : document.createProcessingInstruction("pi", "x  y"));
            continue;
        }
        const QString tag = roll < 14 ? "other" : roll < 40 ? "directory" : "file";
        QDomElement e = parent.appendChild(document.createElement(tag)).toElement();
        for (const QStringList &attr : attributes.mid(0, tag == "directory" ? 1 : 7)) {
            const QString value = attr.at(1 + int(random.bounded(attr.size() - 1)));
            if (value != QLatin1String("-"))
                e.setAttribute(attr[0], value);
        }
        if (tag != QLatin1String("file") && depth < 4)
            fill(random, document, e, depth + 1);
    }
}

QDomDocument randomTree(quint32 seed)
{
    QRandomGenerator random(seed);
    QDomDocument document;
    fill(random, document, document.appendChild(document.createElement("UPDATE_STRUCTURE")).toElement(), 0);
    return document;
}

QDomDocument copyOf(const QDomDocument &document) { return document.cloneNode(true).toDocument(); }

// 60 folders of 150 files over 170 names: wide levels with many names,
// duplicates and misses on both sides.
QDomDocument wideTree(quint32 seed)
{
    QRandomGenerator random(seed);
    QString xml = "<UPDATE_STRUCTURE>";
    for (int d = 0; d < 60; ++d) {
        xml += QStringLiteral("<directory name='%1'>").arg(d % 55);
        for (int f = 0; f < 150; ++f) {
            const quint32 name = random.bounded(170);
            xml += QStringLiteral("<file name='%1' crc='%2'/>").arg(name).arg(random.bounded(2));
        }
        xml += "</directory>";
    }
    QDomDocument document;
    document.setContent(xml + "</UPDATE_STRUCTURE>");
    return document;
}

// Runs both comparisons on copies; false when records or local trees differ.
bool sameComparison(const QDomDocument &distant, const QDomDocument &local, bool nullLocal, int *records)
{
    const QDomDocument distantCopies[] = {copyOf(distant), copyOf(distant)}, localCopies[] = {copyOf(local), copyOf(local)};
    const auto localRoot = [&](int i) { return nullLocal ? QDomElement() : localCopies[i].documentElement(); };
    QList<DOM_DIFF *> expected, actual;
    reference::compareDirectories(distantCopies[0].documentElement(), localRoot(0), &expected);
    compareDirectories(distantCopies[1].documentElement(), localRoot(1), &actual);
    *records += expected.size();
    const bool same = describe(actual, nullLocal) == describe(expected, nullLocal) && dump(localCopies[0]) == dump(localCopies[1]);
    qDeleteAll(expected);
    qDeleteAll(actual);
    return same;
}


// A manifest as another writer might put it: either quote, white space and
// line breaks between attributes and elements, references for any
// character, a declaration or a comment around the root.
QByteArray escaped(QRandomGenerator &random, const QString &text, char quote)
{
    QByteArray out;
    const bool plain = random.bounded(3) > 0;
    for (int i = 0; i < text.size(); ++i) {
        uint cp = text.at(i).unicode();
        if (text.at(i).isHighSurrogate() && i + 1 < text.size())
            cp = QChar::surrogateToUcs4(text.at(i), text.at(i + 1)), ++i;
        const bool must = cp == '<' || cp == '&' || (quote && cp == uint(quote))
            || (!quote && cp == '>' && i >= 2 && text.midRef(i - 2, 2) == QLatin1String("]]"));
        // The DOM parser cuts a reference beyond U+FFFF to 16 bits; the
        // tree keeps the character (readAsTheDom shows both).
        static const QHash<uint, QByteArray> named{{'<', "&lt;"}, {'&', "&amp;"}, {'"', "&quot;"}, {'\'', "&apos;"}};
        if (must || (!plain && cp <= 0xffff && random.bounded(4) == 0)) {
            const int form = int(random.bounded(3));
            if (form == 0 && named.contains(cp))
                out += named.value(cp);
            else if (form == 1)
                out += "&#" + QByteArray::number(cp) + ';';
            else
                out += "&#x" + QByteArray::number(cp, 16).toUpper() + ';';
        } else {
            out += QString::fromUcs4(&cp, 1).toUtf8();
        }
    }
    return out;
}

void writeScrambled(QRandomGenerator &random, const QDomNode &node, QByteArray &out)
{
    static const char *const spaces[] = {" ", "  ", "\n", "\t", "\r\n"};
    const auto space = [&] { return QByteArray(spaces[random.bounded(5)]); };
    if (node.isText() && !node.isCDATASection()) {
        out += escaped(random, node.nodeValue(), 0);
    } else if (node.isCDATASection()) {
        out += "<![CDATA[" + node.nodeValue().toUtf8() + "]]>";
    } else if (node.isComment()) {
        out += "<!--" + node.nodeValue().toUtf8() + "-->";
    } else if (node.isProcessingInstruction()) {
        out += "<?" + node.nodeName().toUtf8() + ' ' + node.nodeValue().toUtf8() + "?>";
    } else if (node.isElement()) {
        const QByteArray tag = node.nodeName().toUtf8();
        out += '<' + tag;
        const QDomNamedNodeMap attributes = node.attributes();
        for (int i = 0; i < attributes.count(); ++i) {
            const char quote = random.bounded(2) ? '"' : '\'';
            out += space() + attributes.item(i).nodeName().toUtf8() + (random.bounded(4) ? "" : " ") + '='
                + (random.bounded(4) ? "" : " ") + quote + escaped(random, attributes.item(i).nodeValue(), quote) + quote;
        }
        if (!node.hasChildNodes()) {
            const int form = int(random.bounded(3));
            out += form == 0 ? QByteArray("/>") : form == 1 ? space() + "/>" : "></" + tag + '>';
            return;
        }
        out += '>';
        for (QDomNode child = node.firstChild(); !child.isNull(); child = child.nextSibling()) {
            if (random.bounded(2))
                out += space();
            writeScrambled(random, child, out);
        }
        out += "</" + tag + (random.bounded(4) ? "" : " ") + '>';
    }
}

QByteArray scrambled(QRandomGenerator &random, const QDomDocument &document)
{
    static const char *const prologs[] = {"", "\xef\xbb\xbf", "<?xml version=\"1.0\"?>\n",
                                          "<?xml version='1.0' encoding='utf-8' standalone='yes' ?>\r\n",
                                          "<!-- made elsewhere -->\n", "<?xml version=\"1.0\" encoding=\"UTF-8\"?><?style x?>"};
    QByteArray out = prologs[random.bounded(6)];
    writeScrambled(random, document.documentElement(), out);
    if (random.bounded(4) == 0)
        out += "\n<!-- end -->";
    return out + (random.bounded(2) ? "\n" : "");
}

// Now and then a manifest that must be refused: cut short, or with a byte
// no manifest may hold.
QByteArray broken(QRandomGenerator &random, QByteArray text)
{
    static const char *const bad[] = {"<", "&", "\x01", "\xff", "]]>", "<!DOCTYPE r>", "&e;", "\xed\xa0\x80", "<r/>"};
    const int at = int(random.bounded(text.size() + 1));
    if (random.bounded(3) == 0)
        return text.left(at);
    return text.insert(at, bad[random.bounded(9)]);
}

// How manifests were read before the compact trees: the same checks, then
// the DOM's own parser. The reference for everything read here.
QDomDocument domRead(const QByteArray &bytes, QString *error = nullptr)
{
    QString reason;
    QDomDocument document;
    QString message;
    int line = 0, column = 0;
    if (ManifestReader::checkText(bytes, QStringLiteral("manifest"), &reason)) {
        if (document.setContent(bytes, &message, &line, &column))
            return document;
        reason = QStringLiteral("manifest:%1:%2: manifest does not parse: %3").arg(line).arg(column).arg(message);
    }
    if (error)
        *error = ManifestReader::oneLine(reason);
    return QDomDocument();
}

QByteArray domSaved(const QDomNode &root)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QTextStream stream(&buffer);
    stream.setCodec("UTF-8");
    root.save(stream, 0, QDomNode::EncodingFromTextStream);
    stream.flush();
    return bytes;
}

QByteArray treeSaved(const ManifestTree &tree)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    ManifestWriter writer(&buffer);
    return writer.write(tree, tree.root()) ? bytes : QByteArray("write failed");
}

// A device that hands out a few bytes per read, as a slow disk or pipe
// might, so that tokens straddle the reader's refills; it can seek.
class TrickleDevice : public QIODevice
{
public:
    explicit TrickleDevice(const QByteArray &bytes) : m_bytes(bytes) { open(QIODevice::ReadOnly | QIODevice::Unbuffered); }
    qint64 size() const override { return m_bytes.size(); }
    bool isSequential() const override { return false; }

protected:
    qint64 readData(char *data, qint64 maxSize) override
    {
        const qint64 piece = 1 + qint64((quint64(pos()) * 2654435761u) % 4099);
        const qint64 n = qMin(qMin(maxSize, piece), m_bytes.size() - pos());
        memcpy(data, m_bytes.constData() + pos(), size_t(qMax<qint64>(n, 0)));
        return qMax<qint64>(n, 0);
    }
    qint64 writeData(const char *, qint64) override { return -1; }

private:
    QByteArray m_bytes;
};

// Reads `text` through the DOM and as a tree, from bytes and from a device
// that trickles; empty when all agree on the refusal or on the saved bytes.
QString readDifference(const QByteArray &text, bool *refused = nullptr)
{
    QString domError;
    const QDomDocument document = domRead(text, &domError);
    const QByteArray expected = document.isNull() ? "refused: " + domError.toUtf8() : domSaved(document.documentElement());
    if (refused)
        *refused = document.isNull();
    // What the stream parser lets pass and the DOM parser refuses, the
    // reader refuses for a reason of its own.
    QString checkError;
    const bool domOnly = document.isNull() && ManifestReader::checkText(text, QStringLiteral("manifest"), &checkError);
    for (int device = 0; device < 2; ++device) {
        ManifestTree tree;
        TrickleDevice trickle(text);
        ManifestReader reader = device ? ManifestReader(&trickle) : ManifestReader(text, QStringLiteral("manifest"));
        const QByteArray actual = reader.read(&tree) ? treeSaved(tree) : "refused: " + reader.errorString().toUtf8();
        if (domOnly && actual.startsWith("refused: manifest:") && actual.contains(": manifest does not parse: "))
            continue;
        if (actual != expected)
            return QStringLiteral("DOM:  %1\ntree: %2").arg(QString::fromUtf8(expected), QString::fromUtf8(actual));
    }
    // The DOM the library reads now, built from the tree: the same document,
    // nodes outside the root included.
    if (!document.isNull()) {
        QByteArray copy = text;
        QBuffer buffer(&copy);
        const QDomDocument built = readManifestDocument(&buffer);
        const QDomNode first = document.firstChild(), builtFirst = built.firstChild();
        if (domSaved(built) != domSaved(document) || first.nodeName() != builtFirst.nodeName()
            || first.nodeValue() != builtFirst.nodeValue())
            return QStringLiteral("documents differ:\n%1\n--\n%2").arg(QString::fromUtf8(domSaved(document)),
                                                                        QString::fromUtf8(domSaved(built)));
    }
    return QString();
}

// Where a node is: "r" (the root) or "d" (detached) and the child positions
// below it; "-" for none.
QString position(const ManifestTree &tree, ManifestTree::Node node)
{
    if (node == ManifestTree::kNone)
        return QStringLiteral("-");
    QStringList steps;
    for (; tree.parent(node) != ManifestTree::kNone; node = tree.parent(node)) {
        int index = 0;
        for (ManifestTree::Node c = tree.firstChild(tree.parent(node)); c != node; c = tree.nextSibling(c))
            ++index;
        steps.prepend(QString::number(index));
    }
    return (node == tree.root() ? "r/" : "d/") + steps.join('/');
}

QString rootPosition(QDomNode node)
{
    if (node.isNull())
        return QStringLiteral("-");
    QStringList steps;
    for (; node.parentNode().isElement(); node = node.parentNode()) {
        int index = 0;
        for (QDomNode p = node.previousSibling(); !p.isNull(); p = p.previousSibling())
            ++index;
        steps.prepend(QString::number(index));
    }
    return (node.parentNode().isDocument() ? "r/" : "d/") + steps.join('/');
}

// The tree's records as describe() words the DOM's; a REMOVED record names
// the local entry twice.
QString describe(const std::vector<TreeComparison::Difference> &differences, const ManifestTree &distant,
                 const ManifestTree &local, bool detachedLocal = false)
{
    QStringList out;
    for (const TreeComparison::Difference &d : differences) {
        const QString where = position(local, d.local);
        out << QStringLiteral("%1 %2 %3").arg(d.type).arg(position(d.type == REMOVED ? local : distant, d.distant),
                                                        detachedLocal ? where.left(1) : where);
    }
    return out.join('\n');
}

// One update run both ways on the same two manifest texts: the records of
// the comparison, then the local tree as the run changes it (random files
// fail, random new folders cannot be made), and the saved manifest.
QString runDifference(const QByteArray &distantText, const QByteArray &localText, quint32 seed)
{
    QDomDocument distant = domRead(distantText), local = domRead(localText);
    ManifestUpdate update;
    if (!ManifestReader(distantText, QStringLiteral("d")).read(&update.distant())
        || !ManifestReader(localText, QStringLiteral("l")).read(&update.local()))
        return QStringLiteral("unreadable");
    QList<DOM_DIFF *> records;
    compareDirectories(distant.documentElement(), local.documentElement(), &records);
    update.compare();
    const QString expected = describe(records), actual = describe(update.differences(), update.distant(), update.local());
    if (expected != actual) {
        qDeleteAll(records);
        return QStringLiteral("records differ:\n%1\n--\n%2").arg(expected, actual);
    }

    QRandomGenerator random(seed);
    int errors = 0;
    for (int i = 0; i < records.size(); ++i) {
        DOM_DIFF *d = records.at(i);
        const bool ok = random.bounded(5) > 0;
        if ((d->type == NEW || d->type == CHANGED) && isFile(d->distant)) {
            if (!ok) {
                ++errors;
            } else if (d->type == NEW) {
                d->local.appendChild(local.importNode(d->distant, true));
                update.recordWritten(size_t(i));
            } else if (isDirectory(d->local)) {
                // A folder that became a file: the file takes its place.
                d->local.parentNode().replaceChild(local.importNode(d->distant, true), d->local);
                update.recordWritten(size_t(i));
            } else {
                for (const char *a : {"name", "crc", "date", "version", "url", "size", "sha256"}) {
                    if (d->distant.hasAttribute(a))
                        d->local.setAttribute(a, d->distant.attribute(a));
                    else
                        d->local.removeAttribute(a);
                }
                update.recordWritten(size_t(i));
            }
        } else if (d->type == NEW && isDirectory(d->distant) && !ok) {
            d->local.removeChild(findChildByName(d->local, d->distant.attribute(QStringLiteral("name"))));
            update.dropDirectoryCopy(size_t(i));
        }
    }
    for (int i = 0; i < records.size() && errors == 0; ++i) {
        if (records.at(i)->type == REMOVED) {
            records.at(i)->local.parentNode().removeChild(records.at(i)->local);
            update.removeEntry(size_t(i));
        }
    }
    qDeleteAll(records);
    const QString version = distant.documentElement().attribute(QStringLiteral("version"))
        + (errors ? QStringLiteral("__%1").arg(errors) : QString());
    QDomElement root = local.documentElement();
    root.setAttribute(QStringLiteral("version"), version);
    Manifest manifest(root);
    root.setAttribute(QStringLiteral("crc"), manifest.globalChecksum());
    update.finish(version);
    QByteArray saved;
    QBuffer buffer(&saved);
    buffer.open(QIODevice::WriteOnly);
    if (!update.write(&buffer, nullptr) || saved != domSaved(root))
        return QStringLiteral("saved manifests differ:\n%1\n--\n%2").arg(QString::fromUtf8(domSaved(root)), QString::fromUtf8(saved));
    return QString();
}

} // namespace

class TestManifestEquivalence : public QObject
{
    Q_OBJECT
private slots:
    void sortAndChecksum()
    {
        for (quint32 seed = 1; seed <= 2000; ++seed) {
            const QDomDocument original = randomTree(seed);
            QDomDocument expected = copyOf(original), actual = copyOf(original), sorted = copyOf(original);
            QCOMPARE(canonicalString(actual.documentElement()), reference::canonicalString(expected.documentElement()));
            reference::sortTree(expected.documentElement());
            const QString checksum = Manifest(actual.documentElement()).globalChecksum();
            ::sortTree(sorted.documentElement());
            if (dump(actual) != dump(expected) || dump(sorted) != dump(expected))
                QFAIL(qPrintable(QStringLiteral("seed %1 sorts differently").arg(seed)));
            QCOMPARE(checksum, hashHex(reference::canonicalString(expected.documentElement()), QCryptographicHash::Sha1));
        }
    }

    void comparison()
    {
        int records = 0;
        for (quint32 seed = 1; seed <= 2000; ++seed) {
            // Every eighth local tree is a slightly altered copy of the distant
            // one, the rest are independent trees over the same few names.
            const QDomDocument distant = randomTree(seed);
            QDomDocument local = randomTree(seed % 8 == 0 ? seed : seed + 100000);
            if (seed % 8 == 0)
                local.documentElement().firstChildElement().setAttribute(QStringLiteral("crc"), "x");
            if (!sameComparison(distant, local, seed % 97 == 0, &records))
                QFAIL(qPrintable(QStringLiteral("seed %1 compares differently").arg(seed)));
        }
        QVERIFY(records > 15000); // the trees must actually differ to mean much
        records = 0;
        for (quint32 seed = 1; seed <= 3; ++seed)
            QVERIFY(sameComparison(wideTree(seed), wideTree(seed + 1000), false, &records));
        QVERIFY(records > 3000);
    }

    // The compact reader and writer against the DOM: refusals with the
    // same reason, and the same bytes saved, on scrambled random manifests.
    void readAndSaveAsTheDom()
    {
        int refused = 0;
        for (quint32 seed = 1; seed <= 1500; ++seed) {
            QRandomGenerator random(seed);
            QByteArray text = scrambled(random, randomTree(seed));
            if (seed % 5 == 0)
                text = broken(random, text);
            bool isRefused = false;
            const QString difference = readDifference(text, &isRefused);
            if (!difference.isEmpty())
                QFAIL(qPrintable(QStringLiteral("seed %1: %2\n%3").arg(seed).arg(QString::fromUtf8(text), difference)));
            refused += isRefused;
        }
        QVERIFY(refused > 100); // the broken ones must mostly be refused
    }

    // Hand-made cases, hostile ones included: each reads, or is refused,
    // exactly as through the DOM.
    void readAsTheDom_data()
    {
        QTest::addColumn<QByteArray>("xml");
        QTest::newRow("line breaks and tabs in values") << QByteArray("<r a=\"x\r\ny\rz\tw&#13;&#10;\" b='&#9;'/>");
        QTest::newRow("carriage returns in text") << QByteArray("<r>a\r\nb\rc<f/></r>");
        QTest::newRow("references that make white space") << QByteArray("<r><a/> &#32; <b/>&lt; &#x20;</r>");
        QTest::newRow("]]> in text") << QByteArray("<r>a]]>b</r>");
        QTest::newRow("]]> escaped") << QByteArray("<r a=\"]]&gt;]]]&gt;\">]]&gt;</r>");
        QTest::newRow("mixed content") << QByteArray("<r><a/>  <![CDATA[  ]]>  <b/>a<![CDATA[b]]>c<!--d--><?p q ?></r>");
        QTest::newRow("instruction data") << QByteArray("<r><?pi\r\n a\r\nb ?><?q?></r>");
        QTest::newRow("declaration inside") << QByteArray("<r><?xml version=\"1.0\"?></r>");
        QTest::newRow("declaration, Latin-1") << QByteArray("<?xml version=\"1.0\" encoding=\"latin1\"?><r/>");
        QTest::newRow("declaration, version 1.1") << QByteArray("<?xml version=\"1.1\"?><r/>");
        QTest::newRow("declaration, odd spacing") << QByteArray("<?xml  version = '1.0'  ?>\n<r/>");
        QTest::newRow("declaration without version") << QByteArray("<?xml encoding=\"UTF-8\"?><r/>");
        QTest::newRow("names beyond ASCII") << QByteArray("<r\xc3\xa9 \xc3\xa9='1'><a:b x:y='2'/></r\xc3\xa9>");
        QTest::newRow("name starting with a digit") << QByteArray("<r><1a/></r>");
        QTest::newRow("attribute twice") << QByteArray("<r a='1' a='2'/>");
        QTest::newRow("attributes without space") << QByteArray("<r a='1'b='2'/>");
        QTest::newRow("space after slash") << QByteArray("<r / >");
        QTest::newRow("end tag differs") << QByteArray("<r><a></b></r>");
        QTest::newRow("< in a value") << QByteArray("<r a='<'/>");
        QTest::newRow("bad references") << QByteArray("<r a='&#0;&#xD800;&#X41;&#;&e;'/>");
        QTest::newRow("control character") << QByteArray("<r a='\x01'/>");
        // The stream parser drops it from the name; refused either way.
        QTest::newRow("control character in a name") << QByteArray("<r c\x01c='1'/>");
        QTest::newRow("DEL") << QByteArray("<r a='\x7f'/>");
        QTest::newRow("U+FFFE") << QByteArray("<r a='\xef\xbf\xbe'/>");
        QTest::newRow("overlong UTF-8") << QByteArray("<r a='\xc0\xaf'/>");
        QTest::newRow("surrogate in UTF-8") << QByteArray("<r a='\xed\xa0\x80'/>");
        QTest::newRow("four-byte UTF-8") << QByteArray("<r a='\xf0\x9f\x98\x80'>\xf4\x8f\xbf\xbf</r>");
        QTest::newRow("text outside the root") << QByteArray("x<r/>");
        QTest::newRow("two roots") << QByteArray("<r/><r/>");
        QTest::newRow("comment after the root") << QByteArray("<r/>\n<!-- c --><?p?>\n");
        QTest::newRow("unfinished comment") << QByteArray("<r><!-- c </r>");
        QTest::newRow("comment with --") << QByteArray("<r><!-- a -- b --></r>");
        QTest::newRow("only a declaration") << QByteArray("<?xml version=\"1.0\"?>");
        QTest::newRow("byte order mark only") << QByteArray("\xef\xbb\xbf");
        QTest::newRow("one byte") << QByteArray("<");
        QTest::newRow("deep in other elements") << "<r>" + QByteArray("<x>").repeated(300) + QByteArray("</x>").repeated(300) + "</r>";
        QTest::newRow("65 attributes") << "<r" + [] { QByteArray a; for (int i = 0; i < 65; ++i) a += " a" + QByteArray::number(i) + "='1'"; return a; }() + "/>";
        QTest::newRow("digests") << QByteArray("<r><file crc='DA39A3EE5E6B4B0D3255BFEF95601890AFD80709' sha256='"
                                               "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855' name='da39a3ee5e6b4b0d3255bfef95601890afd80709'/></r>");
        for (const QFileInfo &fixture : QDir(QStringLiteral(FUZZ_FIXTURES)).entryInfoList(QDir::Files)) {
            QFile file(fixture.filePath());
            if (file.open(QIODevice::ReadOnly))
                QTest::newRow(qPrintable("fixture " + fixture.fileName())) << file.readAll().split('\0').first();
        }
    }

    void readAsTheDom()
    {
        QFETCH(QByteArray, xml);
        const QString difference = readDifference(xml);
        QVERIFY2(difference.isEmpty(), qPrintable(difference));
    }

    // A whole update run through the compact trees: the same records as
    // compareDirectories(), the same local tree, the same saved bytes.
    void runAsTheDom()
    {
        for (quint32 seed = 1; seed <= 1000; ++seed) {
            QRandomGenerator random(seed);
            const QDomDocument distantTree = randomTree(seed);
            QDomDocument localTree = seed % 8 == 0 ? copyOf(distantTree) : randomTree(seed + 100000);
            if (seed % 8 == 0)
                localTree.documentElement().firstChildElement().setAttribute(QStringLiteral("crc"), "x");
            const QString difference = runDifference(scrambled(random, distantTree), scrambled(random, localTree), seed);
            if (!difference.isEmpty())
                QFAIL(qPrintable(QStringLiteral("seed %1: %2").arg(seed).arg(difference)));
        }
        // Wide levels, and a large tree whose tokens straddle the reader's
        // refills of a file.
        for (quint32 seed = 1; seed <= 3; ++seed)
            QCOMPARE(runDifference(wideTree(seed).toByteArray(), wideTree(seed + 1000).toByteArray(), seed), QString());
        QRandomGenerator random(7);
        QDomDocument large = wideTree(7);
        for (int i = 0; i < 200; ++i)
            large.documentElement().appendChild(large.importNode(
                (i % 100 ? randomTree(quint32(i)) : wideTree(quint32(i))).documentElement(), true));
        const QByteArray text = scrambled(random, large);
        QVERIFY(text.size() > 3 << 18); // three of the reader's refills
        QCOMPARE(readDifference(text), QString());
        QCOMPARE(runDifference(text, wideTree(8).toByteArray(), 7), QString());
    }

    // Without a local tree the new directories' copies stay detached, as on
    // a null DOM element.
    void emptyLocalTree()
    {
        for (quint32 seed = 1; seed <= 200; ++seed) {
            // As read back: white space only text is gone.
            const QByteArray text = randomTree(seed).toByteArray();
            const QDomDocument distant = domRead(text);
            QList<DOM_DIFF *> records;
            compareDirectories(distant.documentElement(), QDomElement(), &records);
            ManifestTree tree, local(tree);
            QVERIFY(ManifestReader(text, QStringLiteral("d")).read(&tree));
            const std::vector<TreeComparison::Difference> differences = TreeComparison::compare(tree, &local);
            QVERIFY(!differences.empty() || distant.documentElement().firstChildElement().isNull());
            const QString expected = describe(records, true); // where in a detached copy is not compared
            qDeleteAll(records);
            QCOMPARE(describe(differences, tree, local, true), expected);
        }
    }
};

QTEST_MAIN(TestManifestEquivalence)
#include "tst_manifestequivalence.moc"
