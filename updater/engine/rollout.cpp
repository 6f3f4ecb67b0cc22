#include "rollout.h"

#include "installid.h"

#include <QCryptographicHash>

bool Rollout::parsePercent(const QString &text, int *percent)
{
    if (text.isEmpty() || text.size() > 3)
        return false;
    for (const QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
    }
    const int value = text.toInt();
    if (value > 100)
        return false;
    *percent = value;
    return true;
}

int Rollout::bucket(quint64 installId, const QString &version)
{
    const QByteArray digest = QCryptographicHash::hash(InstallId::text(installId) + ':' + version.toUtf8(),
                                                       QCryptographicHash::Sha256);
    quint64 value = 0;
    for (int i = 0; i < 8; ++i)
        value = (value << 8) | quint8(digest.at(i));
    return int(value % kBuckets);
}

bool Rollout::offered(quint64 installId, const QString &version, int percent)
{
    return bucket(installId, version) < percent * (kBuckets / 100);
}

QString Rollout::problem(const QDomElement &root)
{
    int percent = 0;
    if (!root.hasAttribute(QStringLiteral("rollout")) || parsePercent(root.attribute(QStringLiteral("rollout")), &percent))
        return QString();
    return QStringLiteral("rollout '%1' unreadable: a whole percent from 0 to 100").arg(root.attribute(QStringLiteral("rollout")));
}

Rollout::Decision Rollout::decide(const QDomElement &root, const QString &folder, bool mayWrite, bool ignore)
{
    Decision decision;
    if (!root.hasAttribute(QStringLiteral("rollout")) || !parsePercent(root.attribute(QStringLiteral("rollout")), &decision.percent)) {
        decision.percent = -1;
        return decision;
    }
    if (ignore) {
        decision.ignored = true;
        return decision;
    }
    const QString version = root.attribute(QStringLiteral("version"));
    if (decision.percent == 0) {
        decision.state = Decision::NotOffered;
        decision.reason = QStringLiteral("version %1 not yet offered: its rollout is halted (0 %)").arg(version);
    } else if (decision.percent < 100) {
        quint64 id = 0;
        QString error;
        bool missing = false;
        const bool known = mayWrite ? InstallId::obtain(folder, &id, &error) : InstallId::read(folder, &id, &error, &missing);
        if (!known && !mayWrite && missing) {
            decision.state = Decision::Unknown;
            decision.reason = QStringLiteral("no installation id yet: the first run makes one and decides");
        } else if (!known) {
            decision.state = Decision::NotOffered;
            decision.reason = QStringLiteral("version %1 not yet offered: no installation id (%2)").arg(version, error);
        } else if (!offered(id, version, decision.percent)) {
            decision.state = Decision::NotOffered;
            decision.reason = QStringLiteral("version %1 not yet offered to this installation (rollout %2 %)")
                                  .arg(version)
                                  .arg(decision.percent);
        }
    }
    return decision;
}
