#include "treechangecommand.h"

#include "attributeeditcommand.h"

TreeChangeCommand::TreeChangeCommand(const QString &text, const QDomElement &root, Reshow reshow,
                                     const QVector<QDomNode> &parents)
    : QUndoCommand(text)
    , m_root(root)
    , m_reshow(std::move(reshow))
    , m_parents(parents)
{
    m_orderBefore = orderOf(m_parents);
    m_rootBefore = AttributeEditCommand::attributesOf(m_root);
}

TreeChangeCommand::Order TreeChangeCommand::orderOf(const QVector<QDomNode> &parents) const
{
    Order order;
    QVector<QDomNode> pending = parents.isEmpty() ? QVector<QDomNode>{m_root} : parents;
    const bool wholeTree = parents.isEmpty();
    // A list rather than recursion: a deep tree cannot exhaust the stack.
    while (!pending.isEmpty()) {
        const QDomNode parent = pending.takeLast();
        QVector<QDomNode> children;
        for (QDomNode child = parent.firstChild(); !child.isNull(); child = child.nextSibling()) {
            children.append(child);
            if (wholeTree && child.hasChildNodes())
                pending.append(child);
        }
        if (!children.isEmpty() || !wholeTree)
            order.append({parent, children});
    }
    return order;
}

void TreeChangeCommand::restore(const Order &order)
{
    // Appending a child moves it to the end: appending all of them in turn
    // leaves them in the recorded order.
    for (const auto &entry : order) {
        QDomNode parent = entry.first;
        for (const QDomNode &child : entry.second)
            parent.appendChild(child);
    }
}

void TreeChangeCommand::setRootAttributes(const Attributes &attributes)
{
    const QDomNamedNodeMap map = m_root.attributes();
    while (map.count() > 0)
        m_root.removeAttribute(map.item(0).nodeName());
    for (const auto &attribute : attributes)
        m_root.setAttribute(attribute.first, attribute.second);
}

void TreeChangeCommand::noteRemoved(const QDomNode &node, const QDomNode &parent)
{
    m_removed.append({node, parent});
}

void TreeChangeCommand::noteAdded(const QDomNode &node, const QDomNode &parent)
{
    m_added.append({node, parent});
}

void TreeChangeCommand::finish()
{
    QVector<QDomNode> parents = m_parents;
    for (const auto &added : qAsConst(m_added)) {
        if (!parents.isEmpty() && !parents.contains(added.second))
            parents.append(added.second);
    }
    m_orderAfter = orderOf(parents);
    m_rootAfter = AttributeEditCommand::attributesOf(m_root);
}

bool TreeChangeCommand::changesNothing() const
{
    return m_removed.isEmpty() && m_added.isEmpty() && m_orderBefore == m_orderAfter && m_rootBefore == m_rootAfter;
}

void TreeChangeCommand::undo()
{
    for (const auto &added : qAsConst(m_added)) {
        QDomNode parent = added.second;
        parent.removeChild(added.first);
    }
    for (const auto &removed : qAsConst(m_removed)) {
        QDomNode parent = removed.second;
        parent.appendChild(removed.first);
    }
    restore(m_orderBefore);
    setRootAttributes(m_rootBefore);
    m_applied = false;
    m_reshow();
}

void TreeChangeCommand::redo()
{
    if (m_applied)
        return;
    for (const auto &removed : qAsConst(m_removed)) {
        QDomNode parent = removed.second;
        parent.removeChild(removed.first);
    }
    for (const auto &added : qAsConst(m_added)) {
        QDomNode parent = added.second;
        parent.appendChild(added.first);
    }
    restore(m_orderAfter);
    setRootAttributes(m_rootAfter);
    m_applied = true;
    m_reshow();
}
