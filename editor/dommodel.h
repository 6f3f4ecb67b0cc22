#ifndef DOMMODEL_H
#define DOMMODEL_H

#include <QAbstractItemModel>
#include <QDomDocument>

class DomNodeItem;

// Item model straight over a manifest document: every child node is a row
// (elements, but also text, comments and the XML declaration), the six
// columns are the attributes of an entry. Edits and removals change the
// document itself, which the editor saves as it is.
class DomModel : public QAbstractItemModel
{
    Q_OBJECT

public:
    enum Column { NameColumn, DateColumn, VersionColumn, UrlColumn, SizeColumn, CrcColumn, ColumnCount };

    explicit DomModel(QDomDocument document, QObject *parent = nullptr);
    ~DomModel() override;

    // A handle on the shown document; it shares its tree with the model.
    QDomDocument document() const;
    // The node a row stands for; a null node for an invalid index.
    QDomNode node(const QModelIndex &index) const;

    QModelIndex index(int row, int column, const QModelIndex &parent = QModelIndex()) const override;
    QModelIndex parent(const QModelIndex &child) const override;
    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    bool setData(const QModelIndex &index, const QVariant &value, int role = Qt::EditRole) override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    bool removeRows(int row, int count, const QModelIndex &parent = QModelIndex()) override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;

private:
    DomNodeItem *itemFor(const QModelIndex &index) const;

    QDomDocument m_document;
    DomNodeItem *m_root;
};

#endif // DOMMODEL_H
