#ifndef MANIFESTEDITOR_H
#define MANIFESTEDITOR_H

#include <QDomDocument>
#include <QWidget>

#include <memory>

class DomModel;

namespace Ui {
class ManifestEditor;
}

// Makes and maintains manifests: builds one from a folder, appends further
// folders, opens and saves manifest files, edits and deletes entries,
// recomputes checksums and lists what a distant manifest changes against a
// local one. The model over the shown document is its only state.
class ManifestEditor : public QWidget
{
    Q_OBJECT

public:
    explicit ManifestEditor(QWidget *parent = nullptr);
    ~ManifestEditor() override;

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

    Ui::ManifestEditor *ui;
    std::unique_ptr<DomModel> m_model;
};

#endif // MANIFESTEDITOR_H
