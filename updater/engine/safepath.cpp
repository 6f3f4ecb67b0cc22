#include "safepath.h"

#include "manifest.h"

bool isSafeEntryName(const QString &name)
{
    for (const QChar c : name) {
        if (c == QLatin1Char('/') || c == QLatin1Char('\\') || c == QLatin1Char(':') || c.isNull())
            return false;
    }
    int end = name.size();
    while (end > 0 && (name.at(end - 1) == QLatin1Char('.') || name.at(end - 1) == QLatin1Char(' ')))
        --end;
    // Covers "", ".", "..", "..." and " ": nothing left that names an entry.
    return end > 0;
}

bool isSafeEntryPath(const QDomElement &element)
{
    if (element.isNull() || !isSafeEntryName(element.attribute(QStringLiteral("name"))))
        return false;
    for (QDomNode n = element.parentNode(); isDirectory(n); n = n.parentNode()) {
        if (!isSafeEntryName(n.toElement().attribute(QStringLiteral("name"))))
            return false;
    }
    return true;
}
