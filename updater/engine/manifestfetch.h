#ifndef MANIFESTFETCH_H
#define MANIFESTFETCH_H

#include "manifest.h"

#include <QString>

class UpdaterSettings;

// Fetches the release's manifest from the update server before a run, so
// that one command both checks for and applies an update: the update
// request with "request" set to the manifest's name, or a GET below the
// static files URL when files come from static hosting.
class ManifestFetch
{
public:
    // Fetches settings.manifestRequest into a private temporary folder that
    // lives as long as the process, and its ".sig" beside it when
    // withSignature; waits for both, together at most timeLimitMs. Returns
    // the manifest's path there, or empty with *error saying why. A
    // signature that cannot be fetched is left missing: the run then
    // refuses the manifest for that reason.
    static QString fetch(const UpdaterSettings &settings, bool withSignature, qint64 timeLimitMs, QString *error);

    // How long both fetches may take together: ten times the stall bound
    // ("--timeout"), and no less than 5 minutes, so that a server dripping
    // just enough to pass the stall rule still ends.
    static qint64 timeLimitMs(int timeoutSeconds);

    // A larger manifest would only be refused by the reader.
    static constexpr qint64 maximumSize = kManifestMaxBytes;
};

#endif // MANIFESTFETCH_H
