#include "notesview.h"

NotesView::NotesView(QWidget *parent)
    : QTextBrowser(parent)
{
    setOpenLinks(false);
    setOpenExternalLinks(false);
    setReadOnly(true);
}

void NotesView::showNotes(const QString &text, bool html)
{
    if (html)
        setHtml(text);
    else
        setPlainText(text);
}

QVariant NotesView::loadResource(int type, const QUrl &name)
{
    Q_UNUSED(type)
    Q_UNUSED(name)
    return QVariant();
}
