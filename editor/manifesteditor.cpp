#include "manifesteditor.h"
#include "ui_manifesteditor.h"

#include "datetimedelegate.h"
#include "dommodel.h"
#include "filechecksum.h"
#include "filechooser.h"
#include "manifest.h"
#include "manifestbuilder.h"
#include "manifestcomparison.h"

#include <QCloseEvent>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMessageBox>
#include <QPersistentModelIndex>

#include <algorithm>

namespace {

const QString xmlErrorCaption = QStringLiteral("XMLError::parseXML");
const QString programTitle = QStringLiteral("Manifest editor");

// "1 entry", "2 entries".
QString counted(int count, const char *one, const char *many)
{
    return QStringLiteral("%1 %2").arg(count).arg(QLatin1String(count == 1 ? one : many));
}

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
    : QWidget(parent), ui(new Ui::ManifestEditor), m_chooser(std::make_unique<FileChooser>())
{
    ui->setupUi(this);
    ui->treeView->setItemDelegateForColumn(DomModel::DateColumn, new DateTimeDelegate(ui->treeView));
    setWindowTitle(programTitle);

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
    return m_chooser->existingFolder(this, QStringLiteral("..."));
}

void ManifestEditor::setFileChooser(std::unique_ptr<FileChooser> chooser)
{
    m_chooser = std::move(chooser);
}

void ManifestEditor::showDocument(QDomDocument document)
{
    auto model = std::make_unique<DomModel>(document);
    // The view makes a new selection model for the new model but keeps the old one.
    QItemSelectionModel *oldSelection = ui->treeView->selectionModel();
    ui->treeView->setModel(model.get());
    delete oldSelection;
    m_model = std::move(model);
    // Edits in the view and removals change the document itself.
    connect(m_model.get(), &QAbstractItemModel::dataChanged, this, [this] { setWindowModified(true); });
    connect(m_model.get(), &QAbstractItemModel::rowsRemoved, this, [this] { setWindowModified(true); });

    ui->treeView->expandAll();
    for (int column : {DomModel::SizeColumn, DomModel::UrlColumn, DomModel::VersionColumn, DomModel::DateColumn,
                       DomModel::NameColumn})
        ui->treeView->resizeColumnToContents(column);
}

void ManifestEditor::setFilePath(const QString &path)
{
    m_filePath = path;
    const QString name = path.isEmpty() ? QStringLiteral("Untitled") : QFileInfo(path).fileName();
    setWindowTitle(name + QStringLiteral("[*] - ") + programTitle);
}

void ManifestEditor::showStatus(const QString &text)
{
    ui->statusBar->showMessage(text);
    ui->statusBar->setToolTip(text); // the whole text, however narrow the window
}

bool ManifestEditor::maybeDiscardChanges()
{
    if (!m_model || !isWindowModified())
        return true;
    QMessageBox box(QMessageBox::Warning, programTitle, QStringLiteral("The manifest has unsaved changes."),
                    QMessageBox::Save | QMessageBox::Discard | QMessageBox::Cancel, this);
    box.setInformativeText(QStringLiteral("Save them before going on?"));
    box.setDefaultButton(QMessageBox::Save);
    switch (box.exec()) {
    case QMessageBox::Save:
        return saveWithDialog();
    case QMessageBox::Discard:
        return true;
    default:
        return false;
    }
}

void ManifestEditor::closeEvent(QCloseEvent *event)
{
    if (maybeDiscardChanges())
        event->accept();
    else
        event->ignore();
}

bool ManifestEditor::globalChecksumIsStale() const
{
    const QDomElement root = m_model->document().documentElement();
    if (root.isNull())
        return false;
    // The checksum puts its tree in canonical order; a copy keeps the shown
    // document, and the model's items over it, as they are.
    Manifest copy(root.cloneNode(true).toElement());
    return copy.globalChecksum() != root.attribute(QStringLiteral("crc"));
}

void ManifestEditor::openFolder()
{
    if (!maybeDiscardChanges())
        return;
    const QString folder = askForFolder();
    if (folder.isEmpty())
        return;
    showDocument(ManifestBuilder::fromFolder(folder));
    // Exists nowhere on disk yet.
    setFilePath(QString());
    setWindowModified(true);
    showStatus(QStringLiteral("Manifest of %1, not saved yet.").arg(QDir::toNativeSeparators(folder)));
}

void ManifestEditor::addFolder()
{
    if (!m_model)
        return;
    const QString folder = askForFolder();
    if (folder.isEmpty())
        return;
    QDomDocument document = m_model->document();
    if (ManifestBuilder::appendFolder(document, folder)) {
        showDocument(document);
        setWindowModified(true);
        showStatus(QStringLiteral("Added %1.").arg(QDir::toNativeSeparators(folder)));
    }
}

void ManifestEditor::openManifest()
{
    if (!maybeDiscardChanges())
        return;
    const QString path = m_chooser->openFileName(this);
    if (path.isEmpty())
        return;
    openManifestFile(path);
}

bool ManifestEditor::openManifestFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        QMessageBox::critical(this, xmlErrorCaption, QStringLiteral("Couldn't open ") + path, QMessageBox::Ok);
        return false;
    }
    // A file that does not parse would show as an empty manifest, and saving
    // that would overwrite a good one; keep the manifest on show instead.
    // The bounded reader also keeps a hostile file (nested too deep, too
    // large) away from the recursive parser.
    QString error;
    const QDomDocument document = readManifestDocument(&file, &error);
    if (document.isNull()) {
        QMessageBox::critical(this, xmlErrorCaption, QStringLiteral("Couldn't parse %1: %2").arg(path, error),
                              QMessageBox::Ok);
        return false;
    }
    showDocument(document);
    setFilePath(path);
    setWindowModified(false);
    showStatus(QStringLiteral("Opened %1.").arg(QDir::toNativeSeparators(path)));
    return true;
}

void ManifestEditor::saveXML()
{
    saveWithDialog();
}

bool ManifestEditor::saveWithDialog()
{
    if (!m_model)
        return false;
    // A stale root checksum would make every client see a release other
    // than the one listed.
    if (globalChecksumIsStale()) {
        QMessageBox box(QMessageBox::Question, programTitle,
                        QStringLiteral("The global checksum no longer matches the tree."),
                        QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel, this);
        box.setInformativeText(QStringLiteral("Update it before saving?"));
        box.setDefaultButton(QMessageBox::Yes);
        const int answer = box.exec();
        if (answer == QMessageBox::Cancel)
            return false;
        if (answer == QMessageBox::Yes)
            globalCrc();
    }
    const QString path = m_chooser->saveFileName(this, m_filePath, QStringLiteral("*.xml"));
    if (path.isEmpty())
        return false;
    if (!saveManifestDocument(path, m_model->document())) {
        QMessageBox::critical(this, QStringLiteral("XMLError::saveXML"), QStringLiteral("Couldn't save ") + path,
                              QMessageBox::Ok);
        return false;
    }
    setFilePath(path);
    setWindowModified(false);
    showStatus(QStringLiteral("Saved %1.").arg(QDir::toNativeSeparators(path)));
    return true;
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
    int updated = 0;
    int changed = 0;
    QStringList unreadable;
    QString firstReason;
    for (const QModelIndex &row : rows) {
        const QDomElement element = m_model->node(row).toElement();
        // Directories have no checksum of their own.
        if (!isFile(element))
            continue;
        // The url is taken relative to the current folder, as it stands.
        const QString path = element.attribute(QStringLiteral("url"), QStringLiteral("."));
        const QString checksum = fileChecksum(path, QCryptographicHash::Sha1);
        // Started in another folder, the editor finds none of the files: an
        // empty checksum would wipe out every entry it was asked to check.
        if (checksum.isEmpty()) {
            if (unreadable.isEmpty()) {
                QFile file(path);
                firstReason = file.open(QIODevice::ReadOnly) ? QStringLiteral("read error") : file.errorString();
            }
            unreadable << path;
            continue;
        }
        ++updated;
        // A new checksum with the old size would make every download of the
        // file fail its size check.
        const QString size = QString::number(QFileInfo(path).size());
        if (element.attribute(QStringLiteral("crc")) == checksum && element.attribute(QStringLiteral("size")) == size)
            continue;
        ++changed;
        m_model->setData(row.sibling(row.row(), DomModel::CrcColumn), checksum);
        m_model->setData(row.sibling(row.row(), DomModel::SizeColumn), size);
    }

    // The trouble first: a long line is cut at the window's edge.
    QString status = QStringLiteral("Checksum: ");
    if (!unreadable.isEmpty())
        status += QStringLiteral("%1 not readable below %2, left unchanged (%3: %4); ")
                      .arg(counted(unreadable.size(), "file", "files"), QDir::toNativeSeparators(QDir::currentPath()),
                           unreadable.first(), firstReason);
    status += QStringLiteral("%1 updated, %2 changed.").arg(counted(updated, "entry", "entries")).arg(changed);
    if (globalChecksumIsStale())
        status += QStringLiteral(" The global checksum no longer matches the tree.");
    showStatus(status);
}

void ManifestEditor::globalCrc()
{
    if (!m_model)
        return;
    QDomDocument document = m_model->document();
    QDomElement root = document.documentElement();
    const QString before = root.attribute(QStringLiteral("crc"));
    Manifest manifest(root);
    root.setAttribute(QStringLiteral("crc"), manifest.globalChecksum());
    // The checksum reorders the tree under the model's items; show it afresh.
    showDocument(document);
    if (root.attribute(QStringLiteral("crc")) != before)
        setWindowModified(true);
    showStatus(QStringLiteral("Global checksum %1.").arg(root.attribute(QStringLiteral("crc"))));
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
