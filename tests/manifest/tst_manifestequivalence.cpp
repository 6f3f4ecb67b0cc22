// Randomized check that the fast canonical order and comparison give exactly
// the results of the plain algorithms they replace (adjacent-exchange
// passes, linear name search). The plain versions live only here.
#include "manifest.h"
#include "manifestcomparison.h"

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

// Where a node sits: child positions from its topmost ancestor.
QString position(QDomNode node)
{
    QStringList steps;
    for (; !node.isNull(); node = node.parentNode()) {
        int index = 0;
        for (QDomNode p = node.previousSibling(); !p.isNull(); p = p.previousSibling())
            ++index;
        steps.prepend(QString::number(index));
    }
    return steps.join('/');
}

QString describe(const QList<DOM_DIFF *> &list)
{
    QStringList out;
    for (const DOM_DIFF *d : list)
        out << QStringLiteral("%1 %2 %3").arg(d->type).arg(position(d->distant), position(d->local));
    return out.join('\n');
}

// Random trees over few names, so duplicates and matches across trees are
// common; text and comment nodes and other elements among them.
void fill(QRandomGenerator &random, QDomDocument &document, QDomElement parent, int depth)
{
    // First the attribute, then its values; "-" leaves it out.
    static const QList<QStringList> attributes{{"name", "a", "b", "B", "a.txt", "_", "", "-", "é"},
        {"crc", "c1", "c2", "-"}, {"size", "1", "01", "-"}, {"version", "0", "2", "-"}, {"url", ".", "a/b", "-"},
        {"date", "2014-03-07T01:00:00", "2014-03-07", "2014-03-09", "bad", "-", "-"}};
    // Now and then a wide level, so the sorting has runs worth the name.
    const int count = int(random.bounded(random.bounded(8) == 0 ? 30 : 6));
    for (int i = 0; i < count; ++i) {
        const int roll = int(random.bounded(100));
        if (roll < 8) {
            parent.appendChild(roll < 4 ? QDomNode(document.createTextNode("t")) : document.createComment("c"));
            continue;
        }
        const QString tag = roll < 14 ? "other" : roll < 40 ? "directory" : "file";
        QDomElement e = parent.appendChild(document.createElement(tag)).toElement();
        for (const QStringList &attr : attributes.mid(0, tag == "directory" ? 1 : 6)) {
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
    const bool same = describe(actual) == describe(expected) && dump(localCopies[0]) == dump(localCopies[1]);
    qDeleteAll(expected);
    qDeleteAll(actual);
    return same;
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
};

QTEST_MAIN(TestManifestEquivalence)
#include "tst_manifestequivalence.moc"
