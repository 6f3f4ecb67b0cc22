#ifndef DATETIMEDELEGATE_H
#define DATETIMEDELEGATE_H

#include <QItemDelegate>

// Edits the date column in the form the manifest stores, to the second,
// instead of the locale's short form, which may hide the seconds. An entry
// without a date opens on the current time rather than on a meaningless
// minimum date.
class DateTimeDelegate : public QItemDelegate
{
    Q_OBJECT

public:
    using QItemDelegate::QItemDelegate;

    static const QString displayFormat;

    QWidget *createEditor(QWidget *parent, const QStyleOptionViewItem &option,
                          const QModelIndex &index) const override;
    void setEditorData(QWidget *editor, const QModelIndex &index) const override;
    void setModelData(QWidget *editor, QAbstractItemModel *model, const QModelIndex &index) const override;
};

#endif // DATETIMEDELEGATE_H
