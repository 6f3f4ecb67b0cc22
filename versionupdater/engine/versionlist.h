#ifndef VERSIONLIST_H
#define VERSIONLIST_H

#include "version.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QUrl>

// The plain-text version list the server publishes: a first line starting
// with "**UPDATE LIST**", then one line per update, "version#entry", further
// "#" fields ignored, except a third field "sha256=<64 lower-case hex>"
// that pins the download's content. The body comes from the network and is
// never trusted.
class VersionList
{
public:
    // One line as the client reads it, and every place where that differs
    // from how it is written (the publisher's slips: the parsing itself is
    // fixed, since lists written for it must keep their meaning).
    struct Reading
    {
        bool hasVersion = false; // field 1 has exactly four parts
        Version version;
        bool hasEntry = false; // there is a field 2
        QUrl url; // the entry, as DownloadEntry reads it
        QString fileName;
        QString sha256; // as sha256Of() gives it
        QStringList warnings;
    };
    // `line` as parse() gives it.
    static Reading read(const QString &line);

    // Splits body into its lines after the marker line. Each line keeps its
    // terminator, as a line reader returns it. False when the first line
    // lacks the marker; *lines is then left empty.
    static bool parse(const QByteArray &body, QStringList *lines);

    // True when the line's version (field 1, exactly four parts) is newer
    // than local.
    static bool isNewer(QString line, const Version &local);

    // Field 2 of a line, the download entry; false when the line has none.
    static bool entryOf(const QString &line, QString *entry);

    // The text after "sha256=" in field 3, white space removed; empty when
    // the line has no such field. Whether it is a well-formed digest is
    // for isSha256 to say.
    static QString sha256Of(const QString &line);

    // Exactly 64 lower-case hexadecimal digits.
    static bool isSha256(const QString &text);
};

#endif // VERSIONLIST_H
