#include "log.h"
#include "runhistory.h"
#include "updaterui.h"
#include "versionupdaterinfo.h"

#include <QApplication>
#include <QDir>

namespace {

// Records go to the debugger output and to versionupdater.log beside the
// executable: updater usually lives in the same folder, and a log of its
// own keeps each program's runs from pushing the other's out of the small
// rotating file. One line per run also goes to the history both share.
void configureLogging()
{
    Logging::Logger &logger = Logging::Logger::instance();
    logger.setLevel(Logging::Trace);
    const QDir programFolder(QCoreApplication::applicationDirPath());
    logger.addDestination(Logging::createDebugOutputDestination());
    logger.addDestination(Logging::createFileDestination(programFolder.filePath(QStringLiteral("versionupdater.log")),
                                                         true, 256 * 1024, 2));
    Logging::RunHistory::instance().setPath(programFolder.filePath(QStringLiteral("update-history.log")));
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
