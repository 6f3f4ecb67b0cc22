#ifndef DOMNODEITEM_H
#define DOMNODEITEM_H

#include <QDomNode>
#include <QDomNodeList>
#include <QVector>

// One node of a manifest document as the tree view sees it. Items are made
// lazily, the first time the view asks for a child, and each item owns the
// items of its children.
class DomNodeItem
{
public:
    DomNodeItem(QDomNode node, int row, DomNodeItem *parent = nullptr);
    ~DomNodeItem();

    DomNodeItem(const DomNodeItem &) = delete;
    DomNodeItem &operator=(const DomNodeItem &) = delete;

    // The item of child position i, made on first use; nullptr when the
    // node has no such child.
    DomNodeItem *child(int i);
    // How many child nodes the node has.
    int childCount();
    DomNodeItem *parent() const;
    int row() const;
    QDomNode node() const;

    // Takes `count` child nodes from position `first` out of the document,
    // drops their items and moves the items of later children up, so that
    // every remaining item keeps pointing at its own node.
    void removeChildren(int first, int count);

private:
    QDomNode m_node;
    // The node's children, through one list kept for the item's life: the
    // list counts and indexes in constant time and lists them again only
    // after the document changed. A list asked for on every call walks all
    // the children each time, which makes a large folder take time growing
    // with the square of its size.
    QDomNodeList m_childNodes;
    bool m_listed = false;
    QVector<DomNodeItem *> m_children; // by child position; nullptr until made
    DomNodeItem *m_parent;
    int m_row;
};

#endif // DOMNODEITEM_H
