#ifndef MANIFESTTOOL_H
#define MANIFESTTOOL_H

#include <QDomDocument>
#include <QString>
#include <QStringList>

// The manifest tool's commands for release scripts: create a manifest from
// a folder, list the differences between two manifests, verify an installed
// folder against a manifest. Results go to standard output, problems to
// standard error as one line each.
class ManifestTool
{
public:
    enum ExitStatus { Success = 0, Differences = 1, Failure = 2 };

    // `arguments` without the program name; returns the exit status.
    int run(const QStringList &arguments);

private:
    int create(const QStringList &arguments);
    int diff(const QStringList &arguments);
    int verify(const QStringList &arguments);

    // Reads a manifest file; on failure reports why (with line and column
    // when it does not parse) and returns false.
    bool readManifest(const QString &path, QDomDocument *document);
    // Reports a folder that cannot be listed; true when it can.
    bool checkFolder(const QString &folder);
    // Scans `folder` and reports any file or folder below it that could
    // not be read, which the scan itself passes over in silence.
    bool scanFolder(const QString &folder, const QString &excludedFile, QDomDocument *document);

    static void printOut(const QString &line);
    static int fail(const QString &message);
};

#endif // MANIFESTTOOL_H
