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

// Why the root's "expires" (ISO 8601 UTC, e.g. 2027-01-31T00:00:00Z) keeps
// it from being installed at `now`: "expired", or "expiry date unreadable";
// empty when it has none or has not expired.
QString expiryProblem(const QDomElement &root, const QDateTime &now);

} // namespace ReleaseCheck

#endif // RELEASECHECK_H
