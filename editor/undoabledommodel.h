#ifndef UNDOABLEDOMMODEL_H
#define UNDOABLEDOMMODEL_H

#include "attributeeditcommand.h"
#include "dommodel.h"

#include <functional>

// The editor's model: a DomModel that reports each successful edit of an
// entry, with the entry's attributes as they were, so that the edit can be
// undone. Edits from the view's delegates and from code alike pass here.
class UndoableDomModel : public DomModel
{
    Q_OBJECT

public:
    using EditReport = std::function<void(const QDomElement &element, const AttributeEditCommand::Attributes &before)>;

    UndoableDomModel(QDomDocument document, EditReport report, QObject *parent = nullptr);

    bool setData(const QModelIndex &index, const QVariant &value, int role = Qt::EditRole) override;

private:
    EditReport m_report;
};

#endif // UNDOABLEDOMMODEL_H
