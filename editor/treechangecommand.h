#ifndef TREECHANGECOMMAND_H
#define TREECHANGECOMMAND_H

#include <QDomElement>
#include <QPair>
#include <QUndoCommand>
#include <QVector>

#include <functional>

// A change to the shape of a manifest: entries removed, a folder added, the
// tree put in canonical order by a global checksum. The order of the
// children and the root's attributes are kept before and after, together
// with the nodes removed or added, so undo and redo give back exactly the
// tree that was there. The view is rebuilt after each step.
class TreeChangeCommand : public QUndoCommand
{
public:
    using Reshow = std::function<void()>;

    // Takes the "before" state: the order below `parents` only, or the
    // whole tree below root when `parents` is empty.
    TreeChangeCommand(const QString &text, const QDomElement &root, Reshow reshow,
                      const QVector<QDomNode> &parents = {});

    // Record a node that the change takes out (before or after it is out)
    // or puts in; `parent` is where it belongs.
    void noteRemoved(const QDomNode &node, const QDomNode &parent);
    void noteAdded(const QDomNode &node, const QDomNode &parent);
    // Takes the "after" state, once the change is made.
    void finish();
    // The change left everything as it was (a checksum already right).
    bool changesNothing() const;

    void undo() override;
    void redo() override;

private:
    using Order = QVector<QPair<QDomNode, QVector<QDomNode>>>;
    using Attributes = QVector<QPair<QString, QString>>;

    Order orderOf(const QVector<QDomNode> &parents) const;
    static void restore(const Order &order);
    void setRootAttributes(const Attributes &attributes);

    QDomElement m_root;
    Reshow m_reshow;
    QVector<QDomNode> m_parents;
    Order m_orderBefore, m_orderAfter;
    Attributes m_rootBefore, m_rootAfter;
    QVector<QPair<QDomNode, QDomNode>> m_removed, m_added; // node, parent
    bool m_applied = true; // pushing it must not make the change twice
};

#endif // TREECHANGECOMMAND_H
