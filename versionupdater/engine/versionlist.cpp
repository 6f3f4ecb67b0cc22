#include "versionlist.h"

#include "digesttext.h"

namespace {
const QString kListMarker = QStringLiteral("**UPDATE LIST**");
const QString kSha256Field = QStringLiteral("sha256=");
}

bool VersionList::parse(const QByteArray &body, QStringList *lines)
{
    lines->clear();
    int start = 0;
    bool first = true;
    while (start < body.size()) {
        int end = body.indexOf('\n', start);
        end = end < 0 ? body.size() : end + 1;
        const QString line = QString::fromUtf8(body.constData() + start, end - start);
        start = end;
        if (first) {
            if (!line.startsWith(kListMarker))
                return false;
            first = false;
            continue;
        }
        lines->append(line);
    }
    return !first;
}

bool VersionList::isNewer(QString line, const Version &local)
{
    line.remove(QStringLiteral("\r\n"));
    const QString field = line.split(QLatin1Char('#'), Qt::KeepEmptyParts).at(0);
    Version version;
    if (!Version::parse(field, &version))
        return false;
    return version.isNewerThan(local);
}

bool VersionList::entryOf(const QString &line, QString *entry)
{
    const QStringList fields = line.split(QLatin1Char('#'), Qt::KeepEmptyParts);
    if (fields.size() < 2)
        return false;
    *entry = fields.at(1);
    return true;
}

QString VersionList::sha256Of(const QString &line)
{
    const QStringList fields = line.split(QLatin1Char('#'), Qt::KeepEmptyParts);
    if (fields.size() < 3)
        return QString();
    const QString field = fields.at(2).trimmed();
    return field.startsWith(kSha256Field) ? field.mid(kSha256Field.size()).trimmed() : QString();
}

bool VersionList::isSha256(const QString &text)
{
    return isSha256Hex(text);
}
