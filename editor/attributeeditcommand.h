#ifndef ATTRIBUTEEDITCOMMAND_H
#define ATTRIBUTEEDITCOMMAND_H

#include <QDomElement>
#include <QPair>
#include <QUndoCommand>
#include <QVector>

#include <functional>

// Changed attributes of manifest entries (an edited cell, checksums taken),
// undone and redone exactly: the whole attribute set of each element is
// kept before and after, so a date keeps its milliseconds and an attribute
// that was absent is absent again.
class AttributeEditCommand : public QUndoCommand
{
public:
    using Attributes = QVector<QPair<QString, QString>>;
    // Tells the view which entries changed under it.
    using Refresh = std::function<void(const QList<QDomElement> &)>;

    AttributeEditCommand(const QString &text, Refresh refresh);

    // An element as it was and as it is now; the change is already made.
    void addChange(const QDomElement &element, const Attributes &before);
    bool isEmpty() const { return m_changes.isEmpty(); }

    static Attributes attributesOf(const QDomElement &element);

    void undo() override;
    void redo() override;

private:
    struct Change
    {
        QDomElement element;
        Attributes before;
        Attributes after;
    };
    void apply(bool after);

    QVector<Change> m_changes;
    Refresh m_refresh;
    bool m_applied = true; // pushing it must not make the change twice
};

#endif // ATTRIBUTEEDITCOMMAND_H
