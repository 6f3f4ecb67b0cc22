#ifndef NOTESVIEW_H
#define NOTESVIEW_H

#include <QTextBrowser>

// Shows a release's notes, plain text as text and HTML as rich text, and
// nothing more: no image, style sheet or other resource is ever loaded,
// from the network or from a file, and a link is not followed. Qt's rich
// text runs no scripts.
class NotesView : public QTextBrowser
{
    Q_OBJECT
public:
    explicit NotesView(QWidget *parent = nullptr);

    void showNotes(const QString &text, bool html);

    // Every resource the notes name: none is given.
    QVariant loadResource(int type, const QUrl &name) override;
};

#endif // NOTESVIEW_H
