#ifndef DOWNLOADENTRY_H
#define DOWNLOADENTRY_H

#include <QString>
#include <QUrl>

// One file to fetch: "URL" or "URL=relative/file/name". Without a name the
// file is called after the last path component of the URL.
struct DownloadEntry
{
    static DownloadEntry parse(const QString &text);

    // "URL -> name", as log records name an entry. (The logger quotes it,
    // escaping a NUL or a line break that a hostile list put in the name.)
    static QString describe(const QUrl &url, const QString &fileName);

    QUrl url;
    QString fileName;
};

#endif // DOWNLOADENTRY_H
