// libFuzzer entry for the updater's command line as the unattended run
// checks it. The input is the argument list after the program path, split
// at NUL bytes as the kernel hands arguments over. Each run starts from the
// default settings in a fresh current folder that holds a distant manifest
// "distant.xml", a local manifest "manifest.xml", the callback
// "Kandemar.exe" and a folder "inst", so the grammar gets past its checks.
#include "fuzzcheck.h"
#include "startupcheck.h"
#include "updatersettings.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QUrl>

#include <cstddef>
#include <cstdint>

namespace {

// "--dir" creates a folder: a value that could name one outside the current
// folder is not tried.
bool staysInside(const QString &argument)
{
    return !QDir::isAbsolutePath(argument) && !argument.contains(QLatin1String(".."));
}

bool touch(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write("<UPDATE_STRUCTURE/>\n") > 0;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    // Where the arguments are resolved beside the executable.
    if (!QCoreApplication::instance())
        new QCoreApplication(*argc, *argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    QStringList arguments{QStringLiteral("updater")};
    if (size > 0) {
        for (const QByteArray &argument : QByteArray(reinterpret_cast<const char *>(data), int(size)).split('\0')) {
            arguments << QString::fromLocal8Bit(argument);
            if (!staysInside(arguments.last()))
                return 0;
        }
    }

    static QTemporaryDir base;
    FUZZ_CHECK(base.isValid());
    const QString folder = base.filePath(QStringLiteral("run"));
    FUZZ_CHECK(QDir(folder).removeRecursively() && QDir().mkdir(folder) && QDir::setCurrent(folder));
    FUZZ_CHECK(touch(QStringLiteral("distant.xml")) && touch(QStringLiteral("manifest.xml")) &&
               touch(QStringLiteral("Kandemar.exe")) && QDir().mkdir(QStringLiteral("inst")));

    UpdaterSettings &settings = UpdaterSettings::instance();
    settings.reset();
    StartupCheck::silentRequested(arguments);
    const QString fatal = StartupCheck(nullptr, arguments, StartupCheck::Unattended).run();

    if (fatal.isEmpty()) {
        FUZZ_CHECK(QFileInfo::exists(settings.distantManifestPath));
        FUZZ_CHECK(!settings.destinationDir.isEmpty());
    } else {
        FUZZ_CHECK(fatal == QLatin1String("Unable to update.") ||
                   fatal == QLatin1String("AutoInstall feature not implemented."));
    }
    FUZZ_CHECK(settings.updateUrl == UpdaterSettings::defaultUpdateUrl() ||
               QUrl(settings.updateUrl, QUrl::TolerantMode).isValid());
    FUZZ_CHECK(QDir::setCurrent(base.path()));
    return 0;
}
