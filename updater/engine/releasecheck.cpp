#include "releasecheck.h"

#include <QStringList>
#include <QVector>

namespace {

bool readVersion(QString text, QVector<quint64> *parts)
{
    const int suffix = text.indexOf(QLatin1String("__"));
    if (suffix >= 0)
        text.truncate(suffix);
    if (text.isEmpty())
        return false;
    const QStringList fields = text.split(QLatin1Char('.'));
    for (const QString &field : fields) {
        // Digits only: "+1", " 2" or "-3" are no version parts.
        if (field.isEmpty() || field.size() > 18)
            return false;
        for (const QChar c : field) {
            if (c < QLatin1Char('0') || c > QLatin1Char('9'))
                return false;
        }
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
