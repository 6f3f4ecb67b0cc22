#include "log.h"
#include "runhistory.h"
#include "startupcheck.h"
#include "unattendedrun.h"
#include "updatergui.h"
#include "updaterinfo.h"

#include <QApplication>
#include <QDir>

namespace {

// Set up before anything can log, so that even a failed start-up leaves its
// records in log.txt beside the executable. "--log_size" is read here for
// that reason; the command-line check warns about a bad value later.
void configureLogging()
{
    Logging::Logger &logger = Logging::Logger::instance();
    logger.setLevel(Logging::Trace);
    qint64 rotationSize = 1024;
    StartupCheck::logSize(QCoreApplication::arguments(), &rotationSize);
    const QString logPath = QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("log.txt"));
    const QSharedPointer<Logging::Destination> fileDestination =
        Logging::createFileDestination(logPath, true, rotationSize, 2);
    const QSharedPointer<Logging::Destination> debugDestination = Logging::createDebugOutputDestination();
    logger.addDestination(debugDestination);
    logger.addDestination(fileDestination);
    // Whatever follows, a reader of the log knows which program wrote it
    // and what it was asked to do.
    LOG_INFO() << QStringLiteral("updater %1 started with").arg(QStringLiteral(UPDATER_PROJECT_VERSION))
               << QCoreApplication::arguments().mid(1) << Qt::endl;
    // One line per run, beside the program, shared with versionupdater.
    Logging::RunHistory::instance().setPath(
        QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("update-history.log")));
}

// No window and no display needed: a core application runs the update.
int runUnattended(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    configureLogging();
    QCoreApplication::setApplicationName(QStringLiteral("Updater"));

    UnattendedRun run(QCoreApplication::arguments());
    QObject::connect(&run, &UnattendedRun::finished, &app, &QCoreApplication::exit);
    if (!run.start())
        return run.startupStatus();
    return app.exec();
}

// "--silent" runs without a window, and so does "--check", which only
// reports.
bool unattendedRequested(int argc, char *argv[])
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    return StartupCheck::silentRequested(arguments) || StartupCheck::checkRequested(arguments);
}

} // namespace

int main(int argc, char *argv[])
{
    // Decided before any application object exists: a windowed one would
    // need a display that an unattended machine may not have.
    if (const UpdaterInfo::Request request = UpdaterInfo::requested(argc, argv))
        return UpdaterInfo::answer(request);
    if (unattendedRequested(argc, argv))
        return runUnattended(argc, argv);

    QApplication app(argc, argv);
    configureLogging();
    QCoreApplication::setApplicationName(QStringLiteral("Updater"));

    // Lives until the process ends; its constructor may end the process.
    UpdaterGUI *window = new UpdaterGUI;
    window->show();
    const int status = app.exec();
    // Closing the window ends the loop normally; what the run achieved is
    // what a launching program needs to hear.
    return status != 0 ? status : window->exitStatus();
}
