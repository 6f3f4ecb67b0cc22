#ifndef DOMNODEITEM_H
#define DOMNODEITEM_H

#include <QDomNode>
#include <QHash>

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
    DomNodeItem *parent() const;
    int row() const;
    QDomNode node() const;

    // Takes `count` child nodes from position `first` out of the document,
    // drops their items and moves the items of later children up, so that
    // every remaining item keeps pointing at its own node.
    void removeChildren(int first, int count);

private:
    QDomNode m_node;
    QHash<int, DomNodeItem *> m_children;
    DomNodeItem *m_parent;
    int m_row;
};

#endif // DOMNODEITEM_H
