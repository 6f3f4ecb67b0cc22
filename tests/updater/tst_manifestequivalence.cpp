// Randomized check that the fast canonical order and comparison give exactly
// the results of the plain algorithms they replace (adjacent-exchange
// passes, linear name search). The plain versions live only here.
#include "manifest.h"
#include "manifestcomparison.h"

#include <QRandomGenerator>
#include <QtTest>

#include <vector>

namespace reference {

QString name(const QDomElement &e)
{
    return e.attribute(QStringLiteral("name"));
}
bool isDir(const QDomElement &e)
{
    return e.tagName() == QLatin1String("directory");
}
bool isFile(const QDomElement &e)
{
    return e.tagName() == QLatin1String("file");
}

void sortTree(QDomNode node)
{
    // `children` mirrors the node's child list through every exchange.
    std::vector<QDomNode> children;
    for (QDomNode c = node.firstChild(); !c.isNull(); c = c.nextSibling())
        children.push_back(c);
    const int n = int(children.size());
    for (QDomElement c = node.firstChildElement(); !c.isNull(); c = c.nextSiblingElement())
        if (isDir(c))
            reference::sortTree(c);
    for (int k = 1; k < n; ++k) {
        for (int i = 0; i <= n - 1 - k; ++i) {
            const QDomElement a = children[size_t(i)].toElement();
            const QDomElement b = children[size_t(i) + 1].toElement();
            if ((isDir(a) && isFile(b))
                || (((isDir(a) && isDir(b)) || (isFile(a) && isFile(b))) && name(b) < name(a))) {
                node.insertBefore(b, a);
                std::swap(children[size_t(i)], children[size_t(i) + 1]);
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
    if (elementDate(d) > elementDate(l))
        return true;
    return elementCrc(d) != elementCrc(l) || elementSize(d) != elementSize(l)
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
        if (c.isElement()) {
            const QDomNamedNodeMap attrs = c.attributes();
            QStringList list;
            for (int i = 0; i < attrs.count(); ++i)
                list << attrs.item(i).nodeName() + QLatin1Char('=') + attrs.item(i).nodeValue();
            list.sort();
            out += QLatin1Char('<') + c.nodeName() + QLatin1Char(' ') + list.join(QLatin1Char(' '))
                + QLatin1Char('>') + dump(c) + QLatin1String("</>");
        } else {
            out += QLatin1Char('{') + c.nodeName() + QLatin1Char(':') + c.nodeValue() + QLatin1Char('}');
        }
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
    return steps.join(QLatin1Char('/'));
}

QString describe(const QList<DOM_DIFF *> &list)
{
    QStringList out;
    for (const DOM_DIFF *d : list)
        out << QStringLiteral("%1 %2 %3").arg(d->type).arg(position(d->distant), position(d->local));
    return out.join(QLatin1Char('\n'));
}

class TreeMaker
{
public:
    explicit TreeMaker(quint32 seed)
        : m_random(seed)
    {
    }

    QDomDocument make()
    {
        QDomDocument document;
        QDomElement root = document.createElement(QStringLiteral("UPDATE_STRUCTURE"));
        document.appendChild(root);
        fill(document, root, 0);
        return document;
    }

private:
    QString pick(const QStringList &values) { return values.at(int(m_random.bounded(values.size()))); }

    void fill(QDomDocument &document, QDomElement parent, int depth)
    {
        // Now and then a wide level, so the sorting has runs worth the name.
        const int count = int(m_random.bounded(m_random.bounded(8) == 0 ? 30 : 6));
        for (int i = 0; i < count; ++i) {
            const int roll = int(m_random.bounded(100));
            if (roll < 4) {
                parent.appendChild(document.createTextNode(QStringLiteral("t")));
                continue;
            }
            if (roll < 8) {
                parent.appendChild(document.createComment(QStringLiteral("c")));
                continue;
            }
            const QString tag = roll < 14 ? QStringLiteral("other") : roll < 40 ? QStringLiteral("directory")
                                                                                : QStringLiteral("file");
            QDomElement e = document.createElement(tag);
            // Few names, so duplicates and matches across the trees are common;
            // "-" leaves the name out.
            const QString name = pick({"a", "b", "B", "a.txt", "_", "", "-", "é"});
            if (name != QLatin1String("-"))
                e.setAttribute(QStringLiteral("name"), name);
            if (tag != QLatin1String("directory")) {
                for (const auto &attr : {std::make_pair("crc", QStringList{"c1", "c2", "-"}),
                                         std::make_pair("size", QStringList{"1", "01", "-"}),
                                         std::make_pair("version", QStringList{"0", "2", "-"}),
                                         std::make_pair("url", QStringList{".", "a/b", "-"}),
                                         std::make_pair("date", QStringList{"2014-03-07T01:00:00",
                                                                            "2014-03-07", "2014-03-09",
                                                                            "bad", "-", "-"})}) {
                    const QString value = pick(attr.second);
                    if (value != QLatin1String("-"))
                        e.setAttribute(QLatin1String(attr.first), value);
                }
            }
            parent.appendChild(e);
            if (tag != QLatin1String("file") && depth < 4)
                fill(document, e, depth + 1);
        }
    }

    QRandomGenerator m_random;
};

QDomDocument copyOf(const QDomDocument &document)
{
    return document.cloneNode(true).toDocument();
}

// 60 folders of 150 files over 170 names: wide levels with many names,
// duplicates and misses on both sides.
QDomDocument wideTree(quint32 seed)
{
    QRandomGenerator random(seed);
    QDomDocument document;
    QDomElement root = document.createElement(QStringLiteral("UPDATE_STRUCTURE"));
    document.appendChild(root);
    for (int d = 0; d < 60; ++d) {
        QDomElement directory = document.createElement(QStringLiteral("directory"));
        directory.setAttribute(QStringLiteral("name"), d % 55);
        root.appendChild(directory);
        for (int f = 0; f < 150; ++f) {
            QDomElement file = document.createElement(QStringLiteral("file"));
            file.setAttribute(QStringLiteral("name"), random.bounded(170));
            file.setAttribute(QStringLiteral("crc"), random.bounded(2));
            directory.appendChild(file);
        }
    }
    return document;
}

// Runs both comparisons on copies; false when records or local trees differ.
bool sameComparison(const QDomDocument &distant, const QDomDocument &local, bool nullLocal, int *records)
{
    const QDomDocument distantCopies[] = {copyOf(distant), copyOf(distant)};
    const QDomDocument localCopies[] = {copyOf(local), copyOf(local)};
    QList<DOM_DIFF *> expected;
    QList<DOM_DIFF *> actual;
    reference::compareDirectories(distantCopies[0].documentElement(),
                                  nullLocal ? QDomElement() : localCopies[0].documentElement(), &expected);
    compareDirectories(distantCopies[1].documentElement(),
                       nullLocal ? QDomElement() : localCopies[1].documentElement(), &actual);
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
    void sortAndChecksum();
    void comparison();
};

void TestManifestEquivalence::sortAndChecksum()
{
    for (quint32 seed = 1; seed <= 2000; ++seed) {
        const QDomDocument original = TreeMaker(seed).make();
        QDomDocument expected = copyOf(original);
        QDomDocument actual = copyOf(original);
        QDomDocument sorted = copyOf(original);
        QCOMPARE(canonicalString(actual.documentElement()), reference::canonicalString(expected.documentElement()));
        reference::sortTree(expected.documentElement());
        const QString checksum = Manifest(actual.documentElement()).globalChecksum();
        ::sortTree(sorted.documentElement());
        if (dump(actual) != dump(expected) || dump(sorted) != dump(expected))
            QFAIL(qPrintable(QStringLiteral("seed %1 sorts differently").arg(seed)));
        QCOMPARE(checksum, hashHex(reference::canonicalString(expected.documentElement()), QCryptographicHash::Sha1));
    }
}

void TestManifestEquivalence::comparison()
{
    int records = 0;
    for (quint32 seed = 1; seed <= 2000; ++seed) {
        // Every eighth local tree is a slightly altered copy of the distant
        // one, the rest are independent trees over the same few names.
        const QDomDocument distant = TreeMaker(seed).make();
        QDomDocument local = TreeMaker(seed % 8 == 0 ? seed : seed + 100000).make();
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

QTEST_MAIN(TestManifestEquivalence)
#include "tst_manifestequivalence.moc"
