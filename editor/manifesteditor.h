#ifndef MANIFESTEDITOR_H
#define MANIFESTEDITOR_H

#include "attributeeditcommand.h"

#include <QDomDocument>
#include <QMap>
#include <QPointer>
#include <QUndoStack>
#include <QWidget>

#include <memory>

class CompareDialog;
class DomModel;
class FileChooser;

namespace Ui {
class ManifestEditor;
}

// Makes and maintains manifests: builds one from a folder, appends further
// folders, opens and saves manifest files, edits and deletes entries,
// recomputes checksums and lists what a distant manifest changes against a
// local one. The model over the shown document is its state, with the file
// it came from, the folder its files are read from, and the changes that
// can be undone; the title's "[*]" marks changes not yet saved.
class ManifestEditor : public QWidget
{
    Q_OBJECT

public:
    explicit ManifestEditor(QWidget *parent = nullptr);
    ~ManifestEditor() override;

    // Shows the manifest file at path, as "Open manifest..." does after its
    // dialog; false (after a box) when it cannot be read.
    bool openManifestFile(const QString &path);

    // Replaces the way file and folder names are asked for (standard file
    // dialogs by default). The editor owns the chooser.
    void setFileChooser(std::unique_ptr<FileChooser> chooser);

    // The changes that can be undone (Ctrl+Z) and redone (Ctrl+Shift+Z).
    QUndoStack *undoStack() { return &m_undo; }

protected:
    // Unsaved changes are saved, discarded or keep the editor open, as the
    // user answers.
    void closeEvent(QCloseEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private slots:
    void openFolder();
    void addFolder();
    void openManifest();
    void saveXML();
    void deleteItem();
    void crc();
    void globalCrc();
    void on_pushButton_clicked();

private:
    QString askForFolder();
    // Puts a new model over `document` in the view and releases the old one.
    void showDocument(QDomDocument document);
    // A new manifest on show: nothing to undo, and the folder its urls
    // are read from.
    void startOver(const QString &sourceFolder);
    // The view's model was left behind by a change to the tree.
    void reshow();
    // Repaints the rows of entries whose attributes changed in place.
    void refreshEntries(const QList<QDomElement> &elements);
    void entryEdited(const QDomElement &element, const AttributeEditCommand::Attributes &before);
    QModelIndex indexOf(const QDomNode &node) const;
    // Every column visible: none wider than its share of the view.
    void fitColumns();
    // The file an entry's url names below the source folder (or below the
    // folder it was added from); empty for a url that would leave it.
    QString sourceFile(const QString &url) const;
    // The file name and folder a save starts with.
    QString proposedSavePath() const;
    // The file name in the title; an empty path is a manifest never saved.
    void setFilePath(const QString &path);
    void updateModified();
    // Asks for a file and saves there; false when nothing was saved.
    bool saveWithDialog();
    // True when the shown manifest may be replaced: nothing unsaved, or the
    // user saved or discarded it.
    bool maybeDiscardChanges();
    // Whether the root's "crc" differs from the tree's global checksum;
    // the shown document is not touched.
    bool globalChecksumIsStale() const;
    void showStatus(const QString &text);

    Ui::ManifestEditor *ui;
    std::unique_ptr<DomModel> m_model;
    QString m_filePath;
    std::unique_ptr<FileChooser> m_chooser;
    QUndoStack m_undo;
    // Shown but never saved: modified whatever the undo stack says.
    bool m_neverSaved = false;
    // Where the urls of the manifest point to, and for each folder added
    // later under its name, the folder that holds it.
    QString m_sourceFolder;
    QMap<QString, QString> m_addedFolders;
    QPointer<CompareDialog> m_compare;
};

#endif // MANIFESTEDITOR_H
