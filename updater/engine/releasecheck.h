#ifndef RELEASECHECK_H
#define RELEASECHECK_H

#include <QDateTime>
#include <QDomElement>
#include <QString>

// Whether a release described by a distant manifest may be installed over
// what the local manifest says is installed, apart from its signature:
// an older release would downgrade the installation (a replayed manifest),
// an expired one may be a frozen mirror holding back fixes.
namespace ReleaseCheck {

// Compares two versions read as dot-separated non-negative integers with
// any number of parts, missing parts counting 0, after dropping an error
// suffix "__N". False when either cannot be read; otherwise *order is
// negative, zero or positive as distant is older, equal or newer.
bool compareVersions(const QString &distant, const QString &local, int *order);

// What the run could read of the installation's manifest.
enum class LocalManifest {
    Read,
    Missing,    // nothing installed yet: no version to hold back
    Unreadable, // there, but truncated or damaged: its version is unknown
};

// How the release's version is judged.
struct VersionRules
{
    // The release's signature was checked with the publisher's key. Only
    // then is a version a trust question: an unsigned manifest can be
    // rewritten at will, and publishers roll back by republishing.
    bool signedRelease = false;
    // "--allow_downgrade": an older or unreadable version is let through.
    bool allowDowngrade = false;
};

// Why the distant version must not replace the local one; empty when it
// may. Signed, a version on either side that compareVersions() cannot read,
// an unreadable local manifest, or an older release is refused, so that
// nothing hostile can slip through as a version nobody can order. Unsigned,
// no version is refused.
QString versionProblem(const QString &distant, const QString &local, LocalManifest localManifest,
                       const VersionRules &rules);

// Why a release does not belong to the channel asked for ("--channel"):
// its root's "channel" differs or is missing. Empty when it belongs, or
// when no channel was asked for.
QString channelProblem(const QDomElement &root, const QString &channel);

// Why the root's "expires" (ISO 8601 UTC, e.g. 2027-01-31T00:00:00Z) keeps
// it from being installed at `now`: "expired", or "expiry date unreadable";
// empty when it has none or has not expired.
QString expiryProblem(const QDomElement &root, const QDateTime &now);

} // namespace ReleaseCheck

#endif // RELEASECHECK_H
