#ifndef MANIFESTTOOL_H
#define MANIFESTTOOL_H

#include "folderscanner.h"
#include "manifesttree.h"

#include <QDomDocument>
#include <QString>
#include <QStringList>

// The manifest tool's commands for release scripts: create a manifest from
// a folder, list the differences between two manifests, verify an installed
// folder against a manifest, make a signing key pair, sign a release file
// and check a signature. Results go to standard output, problems to
// standard error as one line each.
class ManifestTool
{
public:
    // Differences and Rejected (a missing or invalid signature) share 1.
    enum ExitStatus { Success = 0, Differences = 1, Rejected = 1, Failure = 2 };

    // `arguments` without the program name; returns the exit status.
    int run(const QStringList &arguments);

private:
    int create(const QStringList &arguments);
    int diff(const QStringList &arguments);
    int verify(const QStringList &arguments);
    int keygen(const QStringList &arguments);
    int sign(const QStringList &arguments);
    int checkSignature(const QStringList &arguments);

    // Reads a manifest file as it streams in, into compact records; on
    // failure reports why (with line and column when it does not parse)
    // and returns false.
    bool readManifest(const QString &path, ManifestTree *tree);
    // Reports a folder that cannot be listed; true when it can.
    bool checkFolder(const QString &folder);
    // Scans `folder`, hashing `jobs` files at once (0: every core), and
    // reports any file or folder below it that could not be read, which the
    // scan itself passes over in silence, and every link it does not
    // describe (see FolderScanner), one line each.
    // `observerFactory` sees the content of the files as they are hashed.
    bool scanFolder(const QString &folder, const QString &excludedFile, int jobs, QDomDocument *document,
                    const FolderScanner::ContentObserverFactory &observerFactory = {}, bool followInternalLinks = true);
    // Reads a whole regular file of at most `limit` bytes that the command
    // needs; reports why it cannot.
    bool readWholeFile(const QString &path, qint64 limit, QByteArray *content);

    static void printOut(const QString &line);
    static int fail(const QString &message);
};

#endif // MANIFESTTOOL_H
