#include "datetimedelegate.h"

#include <QDateTimeEdit>

const QString DateTimeDelegate::displayFormat = QStringLiteral("yyyy-MM-ddThh:mm:ss");

QWidget *DateTimeDelegate::createEditor(QWidget *parent, const QStyleOptionViewItem &, const QModelIndex &) const
{
    auto *editor = new QDateTimeEdit(parent);
    editor->setDisplayFormat(displayFormat);
    editor->setCalendarPopup(true);
    return editor;
}

void DateTimeDelegate::setEditorData(QWidget *editor, const QModelIndex &index) const
{
    auto *edit = static_cast<QDateTimeEdit *>(editor);
    const QDateTime value = index.data(Qt::EditRole).toDateTime();
    edit->setDateTime(value.isValid() ? value : QDateTime::currentDateTime());
}

void DateTimeDelegate::setModelData(QWidget *editor, QAbstractItemModel *model, const QModelIndex &index) const
{
    auto *edit = static_cast<QDateTimeEdit *>(editor);
    model->setData(index, edit->dateTime(), Qt::EditRole);
}
