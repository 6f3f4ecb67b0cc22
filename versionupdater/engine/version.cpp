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
