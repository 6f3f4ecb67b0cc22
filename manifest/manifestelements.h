#ifndef MANIFESTELEMENTS_H
#define MANIFESTELEMENTS_H

#include "manifesttree.h"

#include <QDomDocument>
#include <QDomElement>
#include <QHash>

// DOM elements made from the nodes of a ManifestTree on demand, for the
// interfaces that pass manifest entries as QDomElement (the downloader's
// queue and signals, the update manager's slots, the path checks). Only
// what is asked for is built: a run of any size holds a few elements at a
// time, not a DOM of its manifests.
class ManifestElements
{
public:
    // The tree must outlive this object.
    explicit ManifestElements(const ManifestTree *tree);

    // A new element for `node`: its tag and attributes, and with `deep`
    // its content, placed below copies of its ancestors so that its path,
    // folder and parent read as in the tree. The element lives in a
    // document held here.
    QDomElement element(ManifestTree::Node node, bool deep = false);
    // Takes an element made by element() out of that document once nothing
    // needs its place in the tree any more; handles still held stay valid.
    void release(QDomElement element);

    // The root with its attributes only, in `document`; a null element
    // when the tree is empty.
    static QDomElement rootElement(const ManifestTree &tree, QDomDocument *document);
    // The whole document the tree was read from, as the DOM parser makes
    // it from the same text: nodes outside the root included, attributes
    // added in the order they were written.
    static QDomDocument document(const ManifestTree &tree);

private:
    QDomElement copyOf(ManifestTree::Node node);
    QDomElement placeFor(ManifestTree::Node node);

    const ManifestTree *m_tree;
    QDomDocument m_document;
    QDomElement m_holder;
    // The copies of ancestors made so far, by node.
    QHash<ManifestTree::Node, QDomElement> m_ancestors;
};

#endif // MANIFESTELEMENTS_H
