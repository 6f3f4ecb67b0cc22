#include "log.h"
#include "updaterui.h"
#include "versionupdaterinfo.h"

#include <QApplication>
#include <QDir>

namespace {

// The same log as updater's: records to the debugger output and to
// log.txt beside the executable, rotated past 1024 bytes with 2 backups.
void configureLogging()
{
    Logging::Logger &logger = Logging::Logger::instance();
    logger.setLevel(Logging::Trace);
    const QString logPath = QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("log.txt"));
    logger.addDestination(Logging::createDebugOutputDestination());
    logger.addDestination(Logging::createFileDestination(logPath, true, 1024, 2));
}

} // namespace

int main(int argc, char *argv[])
{
    // Answered before the application object exists, which needs a display.
    if (const VersionUpdaterInfo::Request request = VersionUpdaterInfo::requested(argc, argv))
        return VersionUpdaterInfo::answer(request);

    QApplication app(argc, argv);
    configureLogging();
    QApplication::setApplicationName(QStringLiteral("Updater manager"));
    Q_INIT_RESOURCE(versionupdater);

    UpdaterUI window;
    window.show();
    return app.exec();
}
