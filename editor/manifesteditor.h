#ifndef MANIFESTEDITOR_H
#define MANIFESTEDITOR_H

#include <QDomDocument>
#include <QWidget>

#include <memory>

class DomModel;
class FileChooser;

namespace Ui {
class ManifestEditor;
}

// Makes and maintains manifests: builds one from a folder, appends further
// folders, opens and saves manifest files, edits and deletes entries,
// recomputes checksums and lists what a distant manifest changes against a
// local one. The model over the shown document is its state, with the file
// it came from and whether it has changes not yet saved (the title's "[*]").
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

protected:
    // Unsaved changes are saved, discarded or keep the editor open, as the
    // user answers.
    void closeEvent(QCloseEvent *event) override;

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
    // The file name in the title; an empty path is a manifest never saved.
    void setFilePath(const QString &path);
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
};

#endif // MANIFESTEDITOR_H
