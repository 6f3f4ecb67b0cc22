#ifndef COMPAREDIALOG_H
#define COMPAREDIALOG_H

#include <QDialog>
#include <QStringList>

class FileChooser;

namespace Ui {
class CompareDialog;
}

// Lists what a distant manifest changes against a local one: each entry it
// adds or changes ("... is NEW.") and each it no longer lists ("... to
// DELETE"). The two files are the user's choice; they start as "Distant"
// and "Local" in the current folder. Not modal: the editor stays usable.
class CompareDialog : public QDialog
{
    Q_OBJECT

public:
    // The chooser is the editor's and outlives the dialog.
    CompareDialog(FileChooser *chooser, QWidget *parent = nullptr);
    ~CompareDialog() override;

    QString distantPath() const;
    QString localPath() const;
    // The lines of the last comparison, in the comparison's order.
    QStringList differences() const { return m_differences; }

public slots:
    // Compares the two files named now and shows the result.
    void compare();

private:
    void browse(bool distant);

    Ui::CompareDialog *ui;
    FileChooser *m_chooser;
    QStringList m_differences;
};

#endif // COMPAREDIALOG_H
