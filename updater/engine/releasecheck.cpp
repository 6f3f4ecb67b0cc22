#include "releasecheck.h"

#include <QStringList>
#include <QVector>

namespace {

bool readVersion(QString text, QVector<quint64> *parts)
{
    // Digits only: "+1", " 2" or "-3" are no version parts.
    const auto isNumber = [](const QString &field) {
        if (field.isEmpty() || field.size() > 18)
            return false;
        for (const QChar c : field) {
            if (c < QLatin1Char('0') || c > QLatin1Char('9'))
                return false;
        }
        return true;
    };
    // The error count a failed run saved ("2.1__3"), and nothing else.
    const int suffix = text.indexOf(QLatin1String("__"));
    if (suffix >= 0) {
        if (!isNumber(text.mid(suffix + 2)))
            return false;
        text.truncate(suffix);
    }
    if (text.isEmpty())
        return false;
    const QStringList fields = text.split(QLatin1Char('.'));
    for (const QString &field : fields) {
        if (!isNumber(field))
            return false;
        parts->append(field.toULongLong());
    }
    return true;
}

} // namespace

namespace ReleaseCheck {

bool compareVersions(const QString &distant, const QString &local, int *order)
{
    QVector<quint64> a, b;
    if (!readVersion(distant, &a) || !readVersion(local, &b))
        return false;
    const int parts = qMax(a.size(), b.size());
    *order = 0;
    for (int i = 0; i < parts && *order == 0; ++i) {
        const quint64 x = a.value(i, 0);
        const quint64 y = b.value(i, 0);
        *order = x < y ? -1 : (x > y ? 1 : 0);
    }
    return true;
}

QString versionProblem(const QString &distant, const QString &local, LocalManifest localManifest,
                       const VersionRules &rules)
{
    if (!rules.signedRelease || rules.allowDowngrade)
        return QString();
    const QString anyway = QStringLiteral("; --allow_downgrade installs it anyway");
    QVector<quint64> parts;
    if (!readVersion(distant, &parts))
        return QStringLiteral("release version '%1' unreadable").arg(distant) + anyway;
    if (localManifest == LocalManifest::Missing)
        return QString();
    if (localManifest == LocalManifest::Unreadable)
        return QStringLiteral("local manifest unreadable, the installed version is unknown") + anyway;
    int order = 0;
    if (!compareVersions(distant, local, &order))
        return QStringLiteral("installed version '%1' unreadable").arg(local) + anyway;
    if (order < 0)
        return QStringLiteral("older than the installed version (%1 < %2)").arg(distant, local);
    return QString();
}

QString channelProblem(const QDomElement &root, const QString &channel)
{
    if (channel.isEmpty())
        return QString();
    if (!root.hasAttribute(QStringLiteral("channel")))
        return QStringLiteral("the release names no channel, '%1' asked for").arg(channel);
    const QString named = root.attribute(QStringLiteral("channel"));
    if (named != channel)
        return QStringLiteral("the release is on channel '%1', '%2' asked for").arg(named, channel);
    return QString();
}

QString expiryProblem(const QDomElement &root, const QDateTime &now)
{
    if (!root.hasAttribute(QStringLiteral("expires")))
        return QString();
    const QDateTime expires = QDateTime::fromString(root.attribute(QStringLiteral("expires")), Qt::ISODate);
    // A date the publisher wrote and nobody can read is not a reason to
    // install a release that may be stale.
    if (!expires.isValid())
        return QStringLiteral("expiry date unreadable");
    return expires <= now ? QStringLiteral("expired") : QString();
}

} // namespace ReleaseCheck
