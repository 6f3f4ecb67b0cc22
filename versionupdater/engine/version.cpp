#include "version.h"

#include <QStringList>

Version::Version()
    : m_parts{{-1, 0, 0, 0}}
{
}

Version::Version(qint32 major, qint32 minor, qint32 patch, qint32 build)
    : m_parts{{major, minor, patch, build}}
{
}

bool Version::parse(const QString &text, Version *version)
{
    const QStringList parts = text.split(QLatin1Char('.'), Qt::KeepEmptyParts);
    if (parts.size() != 4)
        return false;
    for (int i = 0; i < 4; ++i)
        version->m_parts[size_t(i)] = parts.at(i).toInt(nullptr, 10); // 0 when not a number
    return true;
}

QStringList Version::partWarnings(const QString &text)
{
    QStringList warnings;
    const QStringList parts = text.split(QLatin1Char('.'), Qt::KeepEmptyParts);
    if (parts.size() != 4)
        return warnings;
    for (int i = 0; i < 4; ++i) {
        const QString &part = parts.at(i);
        const QString bare = part.trimmed();
        const bool sign = bare.startsWith(QLatin1Char('+')) || bare.startsWith(QLatin1Char('-'));
        const QString digits = sign ? bare.mid(1) : bare;
        bool number = !digits.isEmpty();
        for (const QChar c : digits)
            number = number && c >= QLatin1Char('0') && c <= QLatin1Char('9');
        bool fits = false;
        const qint32 value = part.toInt(&fits, 10);
        QStringList how;
        if (part.isEmpty())
            how << QStringLiteral("empty");
        if (sign)
            how << QStringLiteral("signed");
        if (bare != part || (number && digits.size() > 1 && digits.startsWith(QLatin1Char('0'))))
            how << QStringLiteral("padded");
        if (!part.isEmpty() && !number)
            how << QStringLiteral("not a number");
        else if (number && !fits)
            how << QStringLiteral("out of range");
        if (!how.isEmpty())
            warnings << QStringLiteral("version part %1 \"%2\" is %3: it reads as %4")
                            .arg(i + 1)
                            .arg(part, how.join(QStringLiteral(", ")))
                            .arg(value);
    }
    return warnings;
}

bool Version::isNewerThan(const Version &other) const
{
    for (size_t i = 0; i < m_parts.size(); ++i) {
        if (m_parts[i] != other.m_parts[i])
            return m_parts[i] > other.m_parts[i];
    }
    return false;
}

QString Version::toString() const
{
    return QStringLiteral("%1.%2.%3.%4").arg(m_parts[0]).arg(m_parts[1]).arg(m_parts[2]).arg(m_parts[3]);
}
