#include "manifesteditor.h"

#include <QApplication>

#include <cstdio>
#include <cstring>

namespace {

const char *const usage =
    "Usage: manifesteditor [MANIFEST]\n"
    "Makes and maintains update manifests in a window: builds one from a folder,\n"
    "edits and deletes entries, recomputes checksums and saves the result.\n"
    "\n"
    "  MANIFEST    manifest file shown at start\n"
    "  --help      show this text and exit\n"
    "  --version   show the program's version and exit\n";

} // namespace

int main(int argc, char *argv[])
{
    // Answered before the application object exists, which needs a display.
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0) {
            std::fputs(usage, stdout);
            return 0;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::fputs("manifesteditor " UPDATER_PROJECT_VERSION "\n", stdout);
            return 0;
        }
    }

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Manifest editor"));
    // The toolkit has taken its own options (-platform, -style, ...) out.
    const QStringList arguments = QApplication::arguments().mid(1);
    if (arguments.size() > 1 || (!arguments.isEmpty() && arguments.first().startsWith(QLatin1Char('-')))) {
        std::fprintf(stderr, "manifesteditor: unexpected argument %s\n%s",
                     qPrintable(arguments.last()), usage);
        return 2;
    }

    ManifestEditor editor;
    editor.show();
    if (!arguments.isEmpty())
        editor.openManifestFile(arguments.first());
    return app.exec();
}
