#include "attributeeditcommand.h"

#include <QDomNamedNodeMap>

AttributeEditCommand::AttributeEditCommand(const QString &text, Refresh refresh)
    : QUndoCommand(text)
    , m_refresh(std::move(refresh))
{
}

AttributeEditCommand::Attributes AttributeEditCommand::attributesOf(const QDomElement &element)
{
    Attributes attributes;
    const QDomNamedNodeMap map = element.attributes();
    for (int i = 0; i < map.count(); ++i)
        attributes.append({map.item(i).nodeName(), map.item(i).nodeValue()});
    return attributes;
}

void AttributeEditCommand::addChange(const QDomElement &element, const Attributes &before)
{
    const Attributes after = attributesOf(element);
    if (after != before)
        m_changes.append({element, before, after});
}

void AttributeEditCommand::apply(bool after)
{
    QList<QDomElement> changed;
    for (Change &change : m_changes) {
        // Set in the recorded order, so a saved file is as it was.
        const QDomNamedNodeMap map = change.element.attributes();
        while (map.count() > 0)
            change.element.removeAttribute(map.item(0).nodeName());
        for (const auto &attribute : after ? change.after : change.before)
            change.element.setAttribute(attribute.first, attribute.second);
        changed.append(change.element);
    }
    m_refresh(changed);
}

void AttributeEditCommand::undo()
{
    apply(false);
    m_applied = false;
}

void AttributeEditCommand::redo()
{
    if (m_applied)
        return;
    apply(true);
    m_applied = true;
}
