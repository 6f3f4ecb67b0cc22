#include "log.h"
#include "updatergui.h"

#include <QApplication>
#include <QDir>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);

    // Set up before anything can log, so that even a failed start-up leaves
    // its records in log.txt beside the executable.
    Logging::Logger &logger = Logging::Logger::instance();
    logger.setLevel(Logging::Trace);
    const QString logPath = QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("log.txt"));
    const QSharedPointer<Logging::Destination> fileDestination =
        Logging::createFileDestination(logPath, true, 1024, 2);
    const QSharedPointer<Logging::Destination> debugDestination = Logging::createDebugOutputDestination();
    logger.addDestination(debugDestination);
    logger.addDestination(fileDestination);

    QCoreApplication::setApplicationName(QStringLiteral("Updater"));

    // Lives until the process ends; its constructor may end the process.
    UpdaterGUI *window = new UpdaterGUI;
    window->show();
    return app.exec();
}
