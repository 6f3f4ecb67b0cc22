#include "versionlist.h"

#include "digesttext.h"
#include "downloadentry.h"

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

VersionList::Reading VersionList::read(const QString &line)
{
    Reading reading;
    // The terminator is the line's end, not part of what was written.
    QString written = line;
    if (written.endsWith(QLatin1Char('\n')))
        written.chop(written.endsWith(QStringLiteral("\r\n")) ? 2 : 1);
    if (written.trimmed().isEmpty())
        return reading;

    // As isNewer() reads field 1.
    QString versionLine = line;
    versionLine.remove(QStringLiteral("\r\n"));
    const QString field = versionLine.split(QLatin1Char('#'), Qt::KeepEmptyParts).at(0);
    reading.hasVersion = Version::parse(field, &reading.version);
    const QString writtenField = written.section(QLatin1Char('#'), 0, 0);
    if (reading.hasVersion) {
        reading.warnings << Version::partWarnings(writtenField);
    } else {
        reading.warnings << QStringLiteral("the version \"%1\" has %2 parts, not four: the line is never taken")
                                .arg(writtenField)
                                .arg(writtenField.split(QLatin1Char('.'), Qt::KeepEmptyParts).size());
    }

    QString entry;
    reading.hasEntry = entryOf(line, &entry);
    if (!reading.hasEntry) {
        reading.warnings << QStringLiteral("no download entry after the version: the line fetches nothing");
        return reading;
    }
    const DownloadEntry parsed = DownloadEntry::parse(entry);
    reading.url = parsed.url;
    reading.fileName = parsed.fileName;
    const QString writtenEntry = written.section(QLatin1Char('#'), 1, 1);
    const int equals = writtenEntry.count(QLatin1Char('='));
    if (equals > 1)
        reading.warnings << QStringLiteral("the entry has %1 \"=\": it reads as URL \"%2\" and file name \"%3\", "
                                           "the rest (\"%4\") is ignored")
                                .arg(equals)
                                .arg(parsed.url.toString(), parsed.fileName, writtenEntry.section(QLatin1Char('='), 2));
    if (parsed.url.isEmpty())
        reading.warnings << QStringLiteral("the entry has no URL: the line fetches nothing");
    reading.sha256 = sha256Of(line);
    if (!reading.sha256.isEmpty() && !isSha256(reading.sha256))
        reading.warnings << QStringLiteral("the sha256 \"%1\" is not 64 lower-case hexadecimal digits: the download is refused")
                                .arg(reading.sha256);
    return reading;
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
