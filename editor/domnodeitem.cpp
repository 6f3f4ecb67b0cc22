#include "domnodeitem.h"

#include <QDomNodeList>

DomNodeItem::DomNodeItem(QDomNode node, int row, DomNodeItem *parent)
    : m_node(node), m_parent(parent), m_row(row)
{
}

DomNodeItem::~DomNodeItem()
{
    qDeleteAll(m_children);
}

DomNodeItem *DomNodeItem::child(int i)
{
    if (DomNodeItem *item = m_children.value(i, nullptr))
        return item;
    const QDomNodeList childNodes = m_node.childNodes();
    if (i < 0 || i >= childNodes.count())
        return nullptr;
    auto *item = new DomNodeItem(childNodes.item(i), i, this);
    m_children.insert(i, item);
    return item;
}

DomNodeItem *DomNodeItem::parent() const
{
    return m_parent;
}

int DomNodeItem::row() const
{
    return m_row;
}

QDomNode DomNodeItem::node() const
{
    return m_node;
}

void DomNodeItem::removeChildren(int first, int count)
{
    const QDomNodeList childNodes = m_node.childNodes();
    const int oldCount = childNodes.count();
    // Collect the nodes first: the live list shifts as soon as one is removed.
    QList<QDomNode> doomed;
    for (int i = first; i < first + count && i < oldCount; ++i)
        doomed.append(childNodes.item(i));
    for (QDomNode &node : doomed)
        m_node.removeChild(node);

    for (int i = first; i < first + count; ++i)
        delete m_children.take(i);
    for (int k = first + count; k < oldCount; ++k) {
        if (DomNodeItem *item = m_children.take(k)) {
            item->m_row = k - count;
            m_children.insert(k - count, item);
        }
    }
}
