#ifndef UPDATERGUI_H
#define UPDATERGUI_H

#include <QWidget>

namespace Ui {
class UpdaterForm;
}

// The updater's only window. Constructing it checks the command line first
// and ends the process when no update can run.
class UpdaterGUI : public QWidget
{
    Q_OBJECT

public:
    explicit UpdaterGUI(QWidget *parent = nullptr);
    ~UpdaterGUI() override;

private:
    Ui::UpdaterForm *ui;
};

#endif // UPDATERGUI_H
