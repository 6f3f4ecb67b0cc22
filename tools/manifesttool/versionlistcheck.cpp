#include "versionlistcheck.h"

#include "downloadentry.h"
#include "fetchoptions.h"
#include "versionlist.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdio>
#include <cstring>

#ifndef Q_OS_WIN
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

void printLine(const QString &line)
{
    std::fputs((line + QLatin1Char('\n')).toUtf8().constData(), stdout);
}

int fail(const QString &message)
{
    std::fflush(stdout);
    std::fputs(QStringLiteral("manifesttool: check-list: %1\n").arg(message).toUtf8().constData(), stderr);
    return 2;
}

} // namespace

const char *VersionListCheck::help()
{
    return "Usage: manifesttool check-list LIST\n"
           "Reads the version list LIST as versionupdater reads it and prints, for each\n"
           "line after the \"**UPDATE LIST**\" line, its number, its version and what it\n"
           "fetches (URL -> file name), and a warning wherever the line reads otherwise\n"
           "than it is written: an entry with more than one '=' (the rest is ignored), a\n"
           "version part that is empty, signed, padded, out of range or not a number\n"
           "(it reads as the number shown), a version without four parts or a line\n"
           "without an entry (never fetched), a malformed sha256 field. versionupdater\n"
           "logs the same warnings.\n"
           "\n"
           "Exit status: 0 when no line has a warning, 1 when any has, 2 when LIST cannot\n"
           "be read, is larger than the 1 MiB versionupdater accepts, or does not start\n"
           "with \"**UPDATE LIST**\".\n";
}

bool VersionListCheck::readList(const QString &path, QByteArray *content, QString *error)
{
    QFile file;
#ifdef Q_OS_WIN
    if (!QFileInfo(path).isFile()) {
        *error = QStringLiteral("'%1' is not a regular file").arg(path);
        return false;
    }
    file.setFileName(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read '%1': %2").arg(path, file.errorString());
        return false;
    }
#else
    // Opened without waiting (a FIFO would block here), then looked at
    // through the descriptor: only a regular file is read.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat info;
    if (fd < 0 || ::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        *error = fd < 0 ? QStringLiteral("cannot read '%1': %2").arg(path, QString::fromLocal8Bit(std::strerror(errno)))
                        : QStringLiteral("'%1' is not a regular file").arg(path);
        if (fd >= 0)
            ::close(fd);
        return false;
    }
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        *error = QStringLiteral("cannot read '%1': %2").arg(path, file.errorString());
        return false;
    }
#endif
    *content = file.read(FetchOptions::kMaximumListBytes + 1);
    if (file.error() != QFileDevice::NoError) {
        *error = QStringLiteral("cannot read '%1': %2").arg(path, file.errorString());
        return false;
    }
    if (content->size() > FetchOptions::kMaximumListBytes) {
        *error = QStringLiteral("'%1' is larger than the %2 bytes versionupdater accepts")
                     .arg(path)
                     .arg(FetchOptions::kMaximumListBytes);
        return false;
    }
    return true;
}

int VersionListCheck::run(const QStringList &arguments)
{
    if (arguments.contains(QStringLiteral("-h")) || arguments.contains(QStringLiteral("--help"))) {
        std::fputs(help(), stdout);
        return 0;
    }
    if (arguments.size() != 1 || arguments.first().startsWith(QLatin1Char('-')))
        return fail(QStringLiteral("expected one LIST, got '%1'").arg(arguments.join(QLatin1Char(' '))));
    const QString path = arguments.first();
    QByteArray content;
    QString error;
    if (!readList(path, &content, &error))
        return fail(error);
    QStringList lines;
    if (!VersionList::parse(content, &lines))
        return fail(QStringLiteral("'%1' does not start with **UPDATE LIST**: versionupdater refuses all of it").arg(path));

    int warnings = 0;
    for (int i = 0; i < lines.size(); ++i) {
        const VersionList::Reading reading = VersionList::read(lines.at(i));
        // Numbered as versionupdater's log numbers them: the marker is line 1.
        const QString where = QStringLiteral("line %1: ").arg(i + 2);
        if (!reading.hasVersion && reading.warnings.isEmpty())
            continue; // a blank line
        QString text = where + (reading.hasVersion ? reading.version.toString() : QStringLiteral("(no version)"));
        if (reading.hasEntry)
            text += QLatin1Char(' ') + DownloadEntry::describe(reading.url, reading.fileName);
        if (!reading.sha256.isEmpty())
            text += QStringLiteral(" sha256=") + reading.sha256;
        printLine(text);
        for (const QString &warning : reading.warnings)
            printLine(where + QStringLiteral("warning: ") + warning);
        warnings += reading.warnings.size();
    }
    printLine(QStringLiteral("%1: %2 lines, %3 warnings").arg(path).arg(lines.size()).arg(warnings));
    return warnings > 0 ? 1 : 0;
}
