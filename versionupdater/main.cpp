#include "updaterui.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Updater manager"));
    Q_INIT_RESOURCE(versionupdater);

    UpdaterUI window;
    window.show();
    return app.exec();
}
