#ifndef VERSIONLISTCHECK_H
#define VERSIONLISTCHECK_H

#include <QByteArray>
#include <QString>
#include <QStringList>

// `manifesttool check-list LIST`: reads a version list with versionupdater's
// own engine (VersionList), prints each line's version and what it fetches,
// and a warning wherever a line reads otherwise than it is written.
class VersionListCheck
{
public:
    static const char *help();
    // `arguments` after the command's name; returns the exit status: 0 no
    // warning, 1 some, 2 the list cannot be read or is refused as a whole.
    static int run(const QStringList &arguments);

private:
    // The whole file, at most the size versionupdater accepts; only a
    // regular file is read. On failure, *error says why.
    static bool readList(const QString &path, QByteArray *content, QString *error);
};

#endif // VERSIONLISTCHECK_H
