#include "manifesteditor.h"
#include "ui_manifesteditor.h"

#include "comparedialog.h"
#include "datetimedelegate.h"
#include "dommodel.h"
#include "filechecksum.h"
#include "filechooser.h"
#include "flowlayout.h"
#include "manifest.h"
#include "manifestbuilder.h"
#include "treechangecommand.h"
#include "undoabledommodel.h"

#include <QCloseEvent>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHeaderView>
#include <QMessageBox>
#include <QPersistentModelIndex>
#include <QScreen>

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
    ui->treeView->viewport()->installEventFilter(this);
    setWindowTitle(programTitle);

    // The buttons take as many rows as the width needs: at a large scale
    // one row would make the window wider than the screen.
    auto *buttons = new FlowLayout(ui->buttonBar);
    for (QPushButton *button : {ui->openFolderButton, ui->addFolderButton, ui->openManifestButton, ui->saveButton,
                                ui->deleteButton, ui->undoButton, ui->redoButton, ui->crcButton, ui->globalCrcButton,
                                ui->pushButton})
        buttons->addWidget(button);
    // Whatever the scale, the window starts within the screen.
    resize(size().boundedTo(screen()->availableGeometry().size() * 0.9));

    connect(ui->openFolderButton, &QPushButton::clicked, this, &ManifestEditor::openFolder);
    connect(ui->addFolderButton, &QPushButton::clicked, this, &ManifestEditor::addFolder);
    connect(ui->openManifestButton, &QPushButton::clicked, this, &ManifestEditor::openManifest);
    connect(ui->saveButton, &QPushButton::clicked, this, &ManifestEditor::saveXML);
    connect(ui->deleteButton, &QPushButton::clicked, this, &ManifestEditor::deleteItem);
    connect(ui->crcButton, &QPushButton::clicked, this, &ManifestEditor::crc);
    connect(ui->globalCrcButton, &QPushButton::clicked, this, &ManifestEditor::globalCrc);

    m_undo.setUndoLimit(100);
    connect(ui->undoButton, &QPushButton::clicked, &m_undo, &QUndoStack::undo);
    connect(ui->redoButton, &QPushButton::clicked, &m_undo, &QUndoStack::redo);
    connect(&m_undo, &QUndoStack::canUndoChanged, ui->undoButton, &QPushButton::setEnabled);
    connect(&m_undo, &QUndoStack::canRedoChanged, ui->redoButton, &QPushButton::setEnabled);
    connect(&m_undo, &QUndoStack::cleanChanged, this, &ManifestEditor::updateModified);
    connect(&m_undo, &QUndoStack::undoTextChanged, this,
            [this](const QString &text) { ui->undoButton->setToolTip(QStringLiteral("Undo %1 (Ctrl+Z)").arg(text)); });
    connect(&m_undo, &QUndoStack::redoTextChanged, this,
            [this](const QString &text) { ui->redoButton->setToolTip(QStringLiteral("Redo %1 (Ctrl+Shift+Z)").arg(text)); });
}

ManifestEditor::~ManifestEditor()
{
    ui->treeView->viewport()->removeEventFilter(this);
    // The dialog uses the chooser, which goes with the editor.
    delete m_compare;
    // The commands hold elements of the document; they go first.
    m_undo.clear();
    delete ui;
}

QString ManifestEditor::askForFolder()
{
    return m_chooser->existingFolder(this, QStringLiteral("..."));
}

void ManifestEditor::setFileChooser(std::unique_ptr<FileChooser> chooser)
{
    delete m_compare;
    m_chooser = std::move(chooser);
}

void ManifestEditor::showDocument(QDomDocument document)
{
    auto model = std::make_unique<UndoableDomModel>(
        document, [this](const QDomElement &element, const AttributeEditCommand::Attributes &before) {
            entryEdited(element, before);
        });
    // The view makes a new selection model for the new model but keeps the old one.
    QItemSelectionModel *oldSelection = ui->treeView->selectionModel();
    ui->treeView->setModel(model.get());
    delete oldSelection;
    m_model = std::move(model);

    ui->treeView->expandAll();
    for (int column : {DomModel::SizeColumn, DomModel::UrlColumn, DomModel::VersionColumn, DomModel::DateColumn,
                       DomModel::NameColumn})
        ui->treeView->resizeColumnToContents(column);
    fitColumns();
}

void ManifestEditor::startOver(const QString &sourceFolder)
{
    m_undo.clear();
    m_sourceFolder = sourceFolder;
    m_addedFolders.clear();
}

void ManifestEditor::reshow()
{
    if (m_model)
        showDocument(m_model->document());
}

void ManifestEditor::fitColumns()
{
    if (!m_model)
        return;
    QHeaderView *header = ui->treeView->header();
    const int available = ui->treeView->viewport()->width();
    const int last = DomModel::ColumnCount - 1;
    // The checksum column stretches into what is left, at least a share.
    const int share = available / DomModel::ColumnCount;
    const int budget = available - qMax(share, 40);
    int total = 0;
    for (int column = 0; column < last; ++column)
        total += header->sectionSize(column);
    if (budget <= 0 || total <= budget)
        return;
    // Columns within their share keep their width; the wider ones (a long
    // name, a deep url) give up room in proportion.
    int narrow = 0;
    for (int column = 0; column < last; ++column)
        narrow += qMin(header->sectionSize(column), share);
    const double factor = double(qMax(0, budget - narrow)) / double(qMax(1, total - narrow));
    for (int column = 0; column < last; ++column) {
        const int width = header->sectionSize(column);
        if (width > share)
            header->resizeSection(column, qMax(24, share + int((width - share) * factor)));
    }
}

bool ManifestEditor::eventFilter(QObject *watched, QEvent *event)
{
    // The columns are fitted to the room the view really has, which is
    // known once its viewport has its size (after a show, a resize).
    if (watched == ui->treeView->viewport() && event->type() == QEvent::Resize && m_model) {
        for (int column : {DomModel::SizeColumn, DomModel::UrlColumn, DomModel::VersionColumn, DomModel::DateColumn,
                           DomModel::NameColumn})
            ui->treeView->resizeColumnToContents(column);
        fitColumns();
    }
    return QWidget::eventFilter(watched, event);
}

QModelIndex ManifestEditor::indexOf(const QDomNode &node) const
{
    // A row is a position among the parent's child nodes.
    QVector<int> path;
    for (QDomNode n = node; !n.isNull() && !n.isDocument(); n = n.parentNode()) {
        const QDomNode parent = n.parentNode();
        if (parent.isNull())
            return QModelIndex(); // taken out of the tree
        int row = 0;
        QDomNode child = parent.firstChild();
        for (; !child.isNull() && child != n; child = child.nextSibling())
            ++row;
        path.prepend(row);
    }
    QModelIndex index;
    for (int row : qAsConst(path))
        index = m_model->index(row, 0, index);
    return index;
}

void ManifestEditor::refreshEntries(const QList<QDomElement> &elements)
{
    if (!m_model)
        return;
    for (const QDomElement &element : elements) {
        const QModelIndex index = indexOf(element);
        if (index.isValid())
            emit m_model->dataChanged(index, index.sibling(index.row(), DomModel::ColumnCount - 1));
    }
}

void ManifestEditor::entryEdited(const QDomElement &element, const AttributeEditCommand::Attributes &before)
{
    auto *command = new AttributeEditCommand(QStringLiteral("edit of %1").arg(elementName(element)),
                                             [this](const QList<QDomElement> &changed) { refreshEntries(changed); });
    command->addChange(element, before);
    if (command->isEmpty())
        delete command;
    else
        m_undo.push(command);
}

void ManifestEditor::setFilePath(const QString &path)
{
    m_filePath = path;
    const QString name = path.isEmpty() ? QStringLiteral("Untitled") : QFileInfo(path).fileName();
    setWindowTitle(name + QStringLiteral("[*] - ") + programTitle);
}

void ManifestEditor::updateModified()
{
    setWindowModified(m_model && (m_neverSaved || !m_undo.isClean()));
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
    startOver(QDir(folder).absolutePath());
    // Exists nowhere on disk yet.
    setFilePath(QString());
    m_neverSaved = true;
    updateModified();
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
    QDomElement root = document.documentElement();
    QVector<QDomNode> before;
    for (QDomNode child = root.firstChild(); !child.isNull(); child = child.nextSibling())
        before.append(child);
    auto *command = new TreeChangeCommand(QStringLiteral("adding %1").arg(QFileInfo(folder).fileName()), root,
                                          [this] { reshow(); });
    if (!ManifestBuilder::appendFolder(document, folder)) {
        delete command;
        return;
    }
    for (QDomNode child = root.firstChild(); !child.isNull(); child = child.nextSibling()) {
        if (!before.contains(child))
            command->noteAdded(child, root);
    }
    command->finish();
    m_undo.push(command);
    // Its files are read from where the folder is, not below the manifest's own.
    const QFileInfo added(QDir(folder).absolutePath());
    m_addedFolders.insert(added.fileName(), added.absolutePath());
    showDocument(document);
    showStatus(QStringLiteral("Added %1.").arg(QDir::toNativeSeparators(folder)));
}

void ManifestEditor::openManifest()
{
    if (!maybeDiscardChanges())
        return;
    const QString path = m_chooser->openFileName(this, QString(), QFileInfo(m_filePath).absolutePath());
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
    // A manifest's urls are relative to the folder it describes, which is
    // where it is kept.
    startOver(QFileInfo(path).absolutePath());
    setFilePath(path);
    m_neverSaved = false;
    updateModified();
    showStatus(QStringLiteral("Opened %1.").arg(QDir::toNativeSeparators(path)));
    return true;
}

void ManifestEditor::saveXML()
{
    saveWithDialog();
}

QString ManifestEditor::proposedSavePath() const
{
    if (!m_filePath.isEmpty())
        return m_filePath;
    if (m_sourceFolder.isEmpty())
        return QString();
    // Beside the folder, named after it: inside, the manifest would list
    // itself the next time the folder is scanned.
    const QFileInfo folder(m_sourceFolder);
    return folder.absolutePath() + QLatin1Char('/') + folder.fileName() + QStringLiteral(".xml");
}

bool ManifestEditor::saveWithDialog()
{
    if (!m_model)
        return false;
    // Without a root no program reads it; the file on disk is worth more.
    if (m_model->document().documentElement().isNull()) {
        QMessageBox::warning(this, programTitle, QStringLiteral("The manifest has no root entry and cannot be saved."),
                             QMessageBox::Ok);
        return false;
    }
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
    const QString path = m_chooser->saveFileName(this, proposedSavePath(), QStringLiteral("*.xml"));
    if (path.isEmpty())
        return false;
    if (!saveManifestDocument(path, m_model->document())) {
        QMessageBox::critical(this, QStringLiteral("XMLError::saveXML"), QStringLiteral("Couldn't save ") + path,
                              QMessageBox::Ok);
        return false;
    }
    setFilePath(path);
    m_neverSaved = false;
    m_undo.setClean();
    updateModified();
    showStatus(QStringLiteral("Saved %1.").arg(QDir::toNativeSeparators(path)));
    return true;
}

void ManifestEditor::deleteItem()
{
    if (!m_model)
        return;
    QModelIndexList rows = ui->treeView->selectionModel()->selectedRows(0);
    if (rows.isEmpty())
        return;
    // Without its root a manifest is no manifest at all.
    const QDomElement root = m_model->document().documentElement();
    for (const QModelIndex &row : qAsConst(rows)) {
        if (m_model->node(row) == root) {
            showStatus(QStringLiteral("The root entry %1 cannot be deleted; delete the entries below it instead.")
                           .arg(elementName(root)));
            return;
        }
    }
    // Last row of the tree first: removing it never moves a row still to be
    // removed, and a child goes before its own parent.
    std::sort(rows.begin(), rows.end(),
              [](const QModelIndex &a, const QModelIndex &b) { return rowPath(a) > rowPath(b); });
    QVector<QDomNode> parents;
    for (const QModelIndex &row : qAsConst(rows)) {
        const QDomNode parent = m_model->node(row).parentNode();
        if (!parents.contains(parent))
            parents.append(parent);
    }
    auto *command = new TreeChangeCommand(QStringLiteral("deleting %1").arg(counted(rows.size(), "entry", "entries")),
                                          root, [this] { reshow(); }, parents);
    for (const QModelIndex &row : qAsConst(rows)) {
        const QDomNode node = m_model->node(row);
        const QDomNode parent = node.parentNode();
        if (m_model->removeRow(row.row(), row.parent()))
            command->noteRemoved(node, parent);
    }
    command->finish();
    m_undo.push(command);
    showStatus(QStringLiteral("Deleted %1; Ctrl+Z brings them back.").arg(counted(rows.size(), "entry", "entries")));
}

QString ManifestEditor::sourceFile(const QString &url) const
{
    // Only what lies below the folder: a manifest's url never leaves it.
    if (url.isEmpty() || QDir::isAbsolutePath(url) || url.contains(QLatin1Char('\\')) || url.contains(QLatin1Char(':')))
        return QString();
    const QStringList parts = url.split(QLatin1Char('/'));
    if (parts.contains(QStringLiteral("..")))
        return QString();
    const QString folder = m_addedFolders.value(parts.first(), m_sourceFolder);
    return folder.isEmpty() ? QString() : folder + QLatin1Char('/') + url;
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
    // One step to undo for the whole selection.
    auto *command = new AttributeEditCommand(QStringLiteral("checksum"),
                                             [this](const QList<QDomElement> &elements) { refreshEntries(elements); });
    for (const QModelIndex &row : rows) {
        QDomElement element = m_model->node(row).toElement();
        // Directories have no checksum of their own.
        if (!isFile(element))
            continue;
        const QString url = element.attribute(QStringLiteral("url"), QStringLiteral("."));
        const QString path = sourceFile(url);
        const QString checksum = path.isEmpty() ? QString() : fileChecksum(path, QCryptographicHash::Sha1);
        // An empty checksum would wipe out every entry it was asked to check.
        if (checksum.isEmpty()) {
            if (unreadable.isEmpty()) {
                QFile file(path);
                firstReason = path.isEmpty() ? QStringLiteral("not below the folder")
                              : file.open(QIODevice::ReadOnly) ? QStringLiteral("read error")
                                                               : file.errorString();
            }
            unreadable << url;
            continue;
        }
        ++updated;
        // A new checksum with the old size would make every download of the
        // file fail its size check.
        const QString size = QString::number(QFileInfo(path).size());
        if (element.attribute(QStringLiteral("crc")) == checksum && element.attribute(QStringLiteral("size")) == size)
            continue;
        ++changed;
        const AttributeEditCommand::Attributes before = AttributeEditCommand::attributesOf(element);
        element.setAttribute(QStringLiteral("crc"), checksum);
        element.setAttribute(QStringLiteral("size"), size);
        command->addChange(element, before);
        emit m_model->dataChanged(row, row.sibling(row.row(), DomModel::ColumnCount - 1));
    }
    if (command->isEmpty())
        delete command;
    else
        m_undo.push(command);

    // The trouble first: a long line is cut at the window's edge.
    QString status = QStringLiteral("Checksum: ");
    if (!unreadable.isEmpty())
        status += QStringLiteral("%1 not readable below %2, left unchanged (%3: %4); ")
                      .arg(counted(unreadable.size(), "file", "files"), QDir::toNativeSeparators(m_sourceFolder),
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
    if (root.isNull())
        return;
    auto *command = new TreeChangeCommand(QStringLiteral("global checksum"), root, [this] { reshow(); });
    Manifest manifest(root);
    root.setAttribute(QStringLiteral("crc"), manifest.globalChecksum());
    command->finish();
    if (command->changesNothing())
        delete command;
    else
        m_undo.push(command);
    // The checksum reorders the tree under the model's items; show it afresh.
    showDocument(document);
    showStatus(QStringLiteral("Global checksum %1.").arg(root.attribute(QStringLiteral("crc"))));
}

void ManifestEditor::on_pushButton_clicked()
{
    // One dialog, kept: the files chosen last stay chosen.
    if (!m_compare)
        m_compare = new CompareDialog(m_chooser.get(), this);
    m_compare->show();
    m_compare->raise();
    m_compare->activateWindow();
    m_compare->compare();
}
