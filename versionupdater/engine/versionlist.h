#ifndef VERSIONLIST_H
#define VERSIONLIST_H

#include "version.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

// The plain-text version list the server publishes: a first line starting
// with "**UPDATE LIST**", then one line per update, "version#entry", further
// "#" fields ignored. The body comes from the network and is never trusted.
class VersionList
{
public:
    // Splits body into its lines after the marker line. Each line keeps its
    // terminator, as a line reader returns it. False when the first line
    // lacks the marker; *lines is then left empty.
    static bool parse(const QByteArray &body, QStringList *lines);

    // True when the line's version (field 1, exactly four parts) is newer
    // than local.
    static bool isNewer(QString line, const Version &local);

    // Field 2 of a line, the download entry; false when the line has none.
    static bool entryOf(const QString &line, QString *entry);
};

#endif // VERSIONLIST_H
