#include "updaterui.h"
#include "versionupdaterinfo.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    // Answered before the application object exists, which needs a display.
    if (const VersionUpdaterInfo::Request request = VersionUpdaterInfo::requested(argc, argv))
        return VersionUpdaterInfo::answer(request);

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Updater manager"));
    Q_INIT_RESOURCE(versionupdater);

    UpdaterUI window;
    window.show();
    return app.exec();
}
