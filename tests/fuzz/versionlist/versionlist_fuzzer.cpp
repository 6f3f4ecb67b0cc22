// libFuzzer entry for the version list a server publishes: the list, each
// line's version against a few local versions, each download entry and the
// place its file would be written to. The input is the body of the reply.
#include "destinationpath.h"
#include "downloadentry.h"
#include "fuzzcheck.h"
#include "version.h"
#include "versionlist.h"

#include <QDir>

#include <cstddef>
#include <cstdint>
#include <limits>

namespace {

// A resolved target never leaves the destination folder, whichever
// separator the name used.
void checkInside(const QString &folder, const QString &target)
{
    QString path = target;
    path.replace(QLatin1Char('\\'), QLatin1Char('/'));
    const QString clean = QDir::cleanPath(path);
    if (folder.isEmpty()) {
        FUZZ_CHECK(!clean.isEmpty() && clean != QLatin1String(".") && clean != QLatin1String(".."));
        FUZZ_CHECK(!clean.startsWith(QLatin1String("../")) && !QDir::isAbsolutePath(clean));
    } else {
        FUZZ_CHECK(clean.startsWith(folder + QLatin1Char('/')));
    }
    FUZZ_CHECK(!clean.contains(QLatin1Char(':')));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray body(reinterpret_cast<const char *>(data), int(size));
    QStringList lines;
    if (!VersionList::parse(body, &lines)) {
        FUZZ_CHECK(lines.isEmpty());
        return 0;
    }
    const qint32 most = std::numeric_limits<qint32>::max();
    const qint32 least = std::numeric_limits<qint32>::min();
    const Version locals[] = {Version(), Version(1, 2, 0, 0), Version(most, most, most, most),
                              Version(least, least, least, least)};
    for (const QString &line : qAsConst(lines)) {
        // The reading that check-list prints and the warnings come from
        // agrees with the client's decisions.
        const VersionList::Reading reading = VersionList::read(line);
        for (const Version &local : locals) {
            const bool newer = VersionList::isNewer(line, local);
            FUZZ_CHECK(newer == (reading.hasVersion && reading.version.isNewerThan(local)));
            if (newer)
                FUZZ_CHECK(!VersionList::isNewer(line, Version(most, most, most, most)));
        }
        QString entryText;
        FUZZ_CHECK(VersionList::entryOf(line, &entryText) == reading.hasEntry || line.trimmed().isEmpty());
        if (!VersionList::entryOf(line, &entryText))
            continue;
        const DownloadEntry entry = DownloadEntry::parse(entryText);
        for (const QString &folder : {QStringLiteral("updates"), QString()}) {
            QString target;
            if (DestinationPath::resolve(folder, entry.fileName, &target))
                checkInside(folder, target);
        }
    }
    return 0;
}
