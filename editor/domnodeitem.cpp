#include "domnodeitem.h"

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
    if (i >= 0 && i < m_children.size() && m_children[i])
        return m_children[i];
    if (i < 0 || i >= childCount())
        return nullptr;
    if (i >= m_children.size())
        m_children.resize(i + 1);
    m_children[i] = new DomNodeItem(m_childNodes.item(i), i, this);
    return m_children[i];
}

int DomNodeItem::childCount()
{
    if (!m_listed) {
        m_childNodes = m_node.childNodes();
        m_listed = true;
    }
    return m_childNodes.count();
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
    const int oldCount = childCount();
    // Collect the nodes first: the list shifts as soon as one is removed.
    QVector<QDomNode> doomed;
    for (int i = first; i < first + count && i < oldCount; ++i)
        doomed.append(m_childNodes.item(i));
    for (QDomNode &node : doomed)
        m_node.removeChild(node);

    // Later items move up, keeping their nodes.
    const int end = qMin(first + count, m_children.size());
    if (first < end) {
        for (int i = first; i < end; ++i)
            delete m_children[i];
        m_children.remove(first, end - first);
    }
    for (int k = first; k < m_children.size(); ++k) {
        if (m_children[k])
            m_children[k]->m_row = k;
    }
}
