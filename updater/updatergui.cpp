#include "updatergui.h"
#include "ui_updatergui.h"

#include "startupcheck.h"

#include <QCoreApplication>

#include <cstdlib>

UpdaterGUI::UpdaterGUI(QWidget *parent)
    : QWidget(parent)
    , ui(new Ui::UpdaterForm)
{
    ui->setupUi(this);
    setWindowTitle(QStringLiteral("Updater"));
    ui->pushButton->hide();
    ui->pushButton_2->hide();

    // Nothing has started yet, so a failed check has nothing to wind down;
    // the log file is flushed and closed as the process exits.
    if (!StartupCheck(this, QCoreApplication::arguments()).run().isEmpty())
        std::exit(0);

    // From here an update can run: the update manager is created, wired to
    // this window and started.
}

UpdaterGUI::~UpdaterGUI()
{
    delete ui;
}
