#include "manifesteditor.h"
#include "ui_manifesteditor.h"

#include "datetimedelegate.h"
#include "dommodel.h"
#include "filechecksum.h"
#include "manifest.h"
#include "manifestbuilder.h"
#include "manifestcomparison.h"

#include <QDebug>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QPersistentModelIndex>

#include <algorithm>

namespace {

const QString xmlErrorCaption = QStringLiteral("XMLError::parseXML");

// Row numbers from the top of the tree down to `index`.
QVector<int> rowPath(QModelIndex index)
{
    QVector<int> path;
    for (; index.isValid(); index = index.parent())
        path.prepend(index.row());
    return path;
}

} // namespace

ManifestEditor::ManifestEditor(QWidget *parent)
    : QWidget(parent), ui(new Ui::ManifestEditor)
{
    ui->setupUi(this);
    ui->treeView->setItemDelegateForColumn(DomModel::DateColumn, new DateTimeDelegate(ui->treeView));

    connect(ui->openFolderButton, &QPushButton::clicked, this, &ManifestEditor::openFolder);
    connect(ui->addFolderButton, &QPushButton::clicked, this, &ManifestEditor::addFolder);
    connect(ui->openManifestButton, &QPushButton::clicked, this, &ManifestEditor::openManifest);
    connect(ui->saveButton, &QPushButton::clicked, this, &ManifestEditor::saveXML);
    connect(ui->deleteButton, &QPushButton::clicked, this, &ManifestEditor::deleteItem);
    connect(ui->crcButton, &QPushButton::clicked, this, &ManifestEditor::crc);
    connect(ui->globalCrcButton, &QPushButton::clicked, this, &ManifestEditor::globalCrc);
}

ManifestEditor::~ManifestEditor()
{
    delete ui;
}

QString ManifestEditor::askForFolder()
{
    return QFileDialog::getExistingDirectory(this, QStringLiteral("..."), QString(),
                                             QFileDialog::ShowDirsOnly | QFileDialog::DontResolveSymlinks);
}

void ManifestEditor::showDocument(QDomDocument document)
{
    auto model = std::make_unique<DomModel>(document);
    // The view makes a new selection model for the new model but keeps the old one.
    QItemSelectionModel *oldSelection = ui->treeView->selectionModel();
    ui->treeView->setModel(model.get());
    delete oldSelection;
    m_model = std::move(model);

    ui->treeView->expandAll();
    for (int column : {DomModel::SizeColumn, DomModel::UrlColumn, DomModel::VersionColumn, DomModel::DateColumn,
                       DomModel::NameColumn})
        ui->treeView->resizeColumnToContents(column);
}

void ManifestEditor::openFolder()
{
    const QString folder = askForFolder();
    if (folder.isEmpty())
        return;
    showDocument(ManifestBuilder::fromFolder(folder));
}

void ManifestEditor::addFolder()
{
    if (!m_model)
        return;
    const QString folder = askForFolder();
    if (folder.isEmpty())
        return;
    QDomDocument document = m_model->document();
    if (ManifestBuilder::appendFolder(document, folder))
        showDocument(document);
}

void ManifestEditor::openManifest()
{
    const QString path = QFileDialog::getOpenFileName(this);
    if (path.isEmpty())
        return;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        QMessageBox::critical(this, xmlErrorCaption, QStringLiteral("Couldn't open ") + path, QMessageBox::Ok);
        return;
    }
    QDomDocument document(QStringLiteral("Manifest"));
    QString message;
    int line = 0;
    int column = 0;
    // A file that does not parse would show as an empty manifest, and saving
    // that would overwrite a good one; keep the manifest on show instead.
    if (!document.setContent(&file, &message, &line, &column)) {
        QMessageBox::critical(this, xmlErrorCaption,
                              QStringLiteral("Couldn't parse %1: %2 at line %3, column %4")
                                  .arg(path, message)
                                  .arg(line)
                                  .arg(column),
                              QMessageBox::Ok);
        return;
    }
    showDocument(document);
}

void ManifestEditor::saveXML()
{
    if (!m_model)
        return;
    const QString path = QFileDialog::getSaveFileName(this, QString(), QString(), QStringLiteral("*.xml"));
    if (path.isEmpty())
        return;
    if (!saveManifestDocument(path, m_model->document()))
        QMessageBox::critical(this, QStringLiteral("XMLError::saveXML"), QStringLiteral("Couldn't save ") + path,
                              QMessageBox::Ok);
}

void ManifestEditor::deleteItem()
{
    if (!m_model)
        return;
    QModelIndexList rows = ui->treeView->selectionModel()->selectedRows(0);
    // Last row of the tree first: removing it never moves a row still to be
    // removed, and a child goes before its own parent.
    std::sort(rows.begin(), rows.end(),
              [](const QModelIndex &a, const QModelIndex &b) { return rowPath(a) > rowPath(b); });
    for (const QModelIndex &row : qAsConst(rows))
        m_model->removeRow(row.row(), row.parent());
}

void ManifestEditor::crc()
{
    if (!m_model)
        return;
    const QModelIndexList rows = ui->treeView->selectionModel()->selectedRows(0);
    for (const QModelIndex &row : rows) {
        const QDomElement element = m_model->node(row).toElement();
        // Directories have no checksum of their own.
        if (!isFile(element))
            continue;
        // The url is taken relative to the current folder, as it stands.
        const QString path = element.attribute(QStringLiteral("url"), QStringLiteral("."));
        const QString checksum = fileChecksum(path, QCryptographicHash::Sha1);
        m_model->setData(row.sibling(row.row(), DomModel::CrcColumn), checksum);
        // A new checksum with the old size would make every download of the
        // file fail its size check.
        if (!checksum.isEmpty())
            m_model->setData(row.sibling(row.row(), DomModel::SizeColumn), QString::number(QFileInfo(path).size()));
    }
}

void ManifestEditor::globalCrc()
{
    if (!m_model)
        return;
    QDomDocument document = m_model->document();
    QDomElement root = document.documentElement();
    Manifest manifest(root);
    root.setAttribute(QStringLiteral("crc"), manifest.globalChecksum());
    // The checksum reorders the tree under the model's items; show it afresh.
    showDocument(document);
}

void ManifestEditor::on_pushButton_clicked()
{
    // Held here for the comparison only; the editor may compare many times.
    const QDomDocument distant = readManifestDocument(QStringLiteral("Distant"));
    const QDomDocument local = readManifestDocument(QStringLiteral("Local"));
    QPair<QDomElement, QDomElement> roots(distant.documentElement(), local.documentElement());
    const std::unique_ptr<QList<DOM_DIFF *>> differences(compareManifests(&roots));
    for (const DOM_DIFF *difference : qAsConst(*differences)) {
        const QString name = elementName(difference->distant);
        if (difference->type == REMOVED)
            qDebug().noquote() << name + QStringLiteral(" to DELETE");
        else if (isFile(difference->distant) || (difference->type == NEW && isDirectory(difference->distant)))
            qDebug().noquote() << name + QStringLiteral(" is NEW.");
    }
    qDeleteAll(*differences);
}
