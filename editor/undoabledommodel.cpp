#include "undoabledommodel.h"

UndoableDomModel::UndoableDomModel(QDomDocument document, EditReport report, QObject *parent)
    : DomModel(document, parent)
    , m_report(std::move(report))
{
}

bool UndoableDomModel::setData(const QModelIndex &index, const QVariant &value, int role)
{
    const QDomElement element = node(index).toElement();
    const AttributeEditCommand::Attributes before = AttributeEditCommand::attributesOf(element);
    if (!DomModel::setData(index, value, role))
        return false;
    if (!element.isNull() && m_report)
        m_report(element, before);
    return true;
}
