#include "filechooser.h"

#include <QFileDialog>

QString FileChooser::existingFolder(QWidget *parent, const QString &caption)
{
    // A link is shown as the link the user picked, not as its target.
    return QFileDialog::getExistingDirectory(parent, caption, QString(),
                                             QFileDialog::ShowDirsOnly | QFileDialog::DontResolveSymlinks);
}

QString FileChooser::openFileName(QWidget *parent, const QString &caption, const QString &proposed)
{
    return QFileDialog::getOpenFileName(parent, caption, proposed);
}

QString FileChooser::saveFileName(QWidget *parent, const QString &proposed, const QString &filter)
{
    return QFileDialog::getSaveFileName(parent, QString(), proposed, filter);
}
