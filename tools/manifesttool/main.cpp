#include "manifesttool.h"

#include <QCoreApplication>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("manifesttool"));
    ManifestTool tool;
    return tool.run(QCoreApplication::arguments().mid(1));
}
