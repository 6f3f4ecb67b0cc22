#ifndef DOWNLOADENTRY_H
#define DOWNLOADENTRY_H

#include <QString>
#include <QUrl>

// One file to fetch: "URL" or "URL=relative/file/name". Without a name the
// file is called after the last path component of the URL.
struct DownloadEntry
{
    static DownloadEntry parse(const QString &text);

    QUrl url;
    QString fileName;
};

#endif // DOWNLOADENTRY_H
