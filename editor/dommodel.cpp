#include "dommodel.h"

#include "domnodeitem.h"

#include <QDateTime>

namespace {

const char *const attributeNames[DomModel::ColumnCount] = {"name", "date", "version", "url", "size", "crc"};
const char *const headers[DomModel::ColumnCount] = {"Name", "Date", "Version", "Url", "Size", "crc"};

} // namespace

DomModel::DomModel(QDomDocument document, QObject *parent)
    : QAbstractItemModel(parent), m_document(document), m_root(new DomNodeItem(m_document, 0))
{
}

DomModel::~DomModel()
{
    delete m_root;
}

QDomDocument DomModel::document() const
{
    return m_document;
}

QDomNode DomModel::node(const QModelIndex &index) const
{
    return index.isValid() ? itemFor(index)->node() : QDomNode();
}

DomNodeItem *DomModel::itemFor(const QModelIndex &index) const
{
    return index.isValid() ? static_cast<DomNodeItem *>(index.internalPointer()) : m_root;
}

QModelIndex DomModel::index(int row, int column, const QModelIndex &parent) const
{
    if (!hasIndex(row, column, parent))
        return QModelIndex();
    DomNodeItem *child = itemFor(parent)->child(row);
    return child ? createIndex(row, column, child) : QModelIndex();
}

QModelIndex DomModel::parent(const QModelIndex &child) const
{
    if (!child.isValid())
        return QModelIndex();
    DomNodeItem *parentItem = itemFor(child)->parent();
    if (!parentItem || parentItem == m_root)
        return QModelIndex();
    return createIndex(parentItem->row(), 0, parentItem);
}

int DomModel::rowCount(const QModelIndex &parent) const
{
    if (parent.column() > 0)
        return 0;
    return itemFor(parent)->childCount();
}

int DomModel::columnCount(const QModelIndex &) const
{
    return ColumnCount;
}

QVariant DomModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || (role != Qt::DisplayRole && role != Qt::EditRole))
        return QVariant();
    if (index.column() < 0 || index.column() >= ColumnCount)
        return QVariant();
    // A node that is no element reads as an element without attributes.
    const QDomElement element = itemFor(index)->node().toElement();
    const QString text = element.attribute(QLatin1String(attributeNames[index.column()]));
    switch (index.column()) {
    case DateColumn:
        return QDateTime::fromString(text, Qt::ISODateWithMs);
    case SizeColumn: {
        // 64 bits: a single installed file may well pass 2 GiB.
        bool ok = false;
        const qlonglong size = text.toLongLong(&ok, 10);
        return ok ? size : qlonglong(0);
    }
    case CrcColumn:
        return QString(text).remove(QLatin1Char('\n'));
    default:
        return text;
    }
}

bool DomModel::setData(const QModelIndex &index, const QVariant &value, int role)
{
    if (!index.isValid() || index.column() < 0 || index.column() >= ColumnCount)
        return false;
    if (role != Qt::EditRole && role != Qt::DisplayRole)
        return false;
    QDomElement element = itemFor(index)->node().toElement();
    // Text, comments and the declaration have no attributes to keep a value.
    if (element.isNull())
        return false;
    const QString name = QLatin1String(attributeNames[index.column()]);
    if (index.column() == DateColumn)
        element.setAttribute(name, value.toDateTime().toString(Qt::ISODate));
    else
        element.setAttribute(name, value.toString());
    emit dataChanged(index, index, {Qt::DisplayRole, Qt::EditRole});
    return true;
}

QVariant DomModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 || section >= ColumnCount)
        return QVariant();
    return QString::fromLatin1(headers[section]);
}

bool DomModel::removeRows(int row, int count, const QModelIndex &parent)
{
    if (parent.column() > 0 || row < 0 || count < 1 || row + count > rowCount(parent))
        return false;
    beginRemoveRows(parent, row, row + count - 1);
    itemFor(parent)->removeChildren(row, count);
    endRemoveRows();
    return true;
}

Qt::ItemFlags DomModel::flags(const QModelIndex &index) const
{
    if (!index.isValid())
        return Qt::NoItemFlags;
    Qt::ItemFlags result = Qt::ItemIsSelectable | Qt::ItemIsEnabled;
    if (itemFor(index)->node().isElement())
        result |= Qt::ItemIsEditable;
    return result;
}
