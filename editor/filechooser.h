#ifndef FILECHOOSER_H
#define FILECHOOSER_H

#include <QString>

class QWidget;

// Where the editor asks for the names of files and folders. The editor
// never opens a file dialog itself: whoever embeds it (or a test) can put
// another chooser in, and answer without a dialog. This one asks with the
// standard dialogs; an empty name means the user cancelled.
class FileChooser
{
public:
    virtual ~FileChooser() = default;

    virtual QString existingFolder(QWidget *parent, const QString &caption);
    // proposed: the file (or folder) the dialog starts at, may be empty.
    virtual QString openFileName(QWidget *parent, const QString &caption = QString(),
                                 const QString &proposed = QString());
    // proposed: the name (and folder) the dialog starts with, may be empty.
    virtual QString saveFileName(QWidget *parent, const QString &proposed, const QString &filter);
};

#endif // FILECHOOSER_H
