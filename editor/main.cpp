#include "manifesteditor.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Manifest editor"));
    ManifestEditor editor;
    editor.setWindowTitle(QStringLiteral("Manifest editor"));
    editor.show();
    return app.exec();
}
