// Editor benchmark: opens a manifest whose one folder holds N entries in the
// manifest editor (offscreen) and shows it as a user would see it, every
// folder expanded and the view scrolled to the last entry. Prints the time
// from the open to the last row laid out, and the peak memory.
//
//   editor-open-bench [N ...]   entries in the folder (default 25000 50000 100000)
#include "manifesteditor.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTreeView>

#include <cstdio>

namespace {

QString peakMemory()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly | QIODevice::Text))
        return QStringLiteral("unknown");
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return QString::fromLatin1(line.mid(6).simplified());
    }
    return QStringLiteral("unknown");
}

bool writeManifest(const QString &path, int entries)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    QByteArray xml = "<UPDATE_STRUCTURE name=\"ROOT\" version=\"2.0\">\n<directory name=\"data\">\n";
    for (int i = 0; i < entries; ++i) {
        const QByteArray name = "file-" + QByteArray::number(i) + ".dat";
        xml += "<file name=\"" + name + "\" size=\"4096\" crc=\"" + QByteArray::number(i, 16).rightJustified(40, '0')
            + "\" url=\"data/" + name + "\" version=\"2.0\" date=\"2026-01-01T00:00:00\"/>\n";
    }
    xml += "</directory>\n</UPDATE_STRUCTURE>\n";
    return file.write(xml) == xml.size();
}

} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    QApplication app(argc, argv);
    QList<int> sizes;
    for (int i = 1; i < argc; ++i)
        sizes << QByteArray(argv[i]).toInt();
    if (sizes.isEmpty())
        sizes = {25000, 50000, 100000};
    QTemporaryDir dir;
    for (const int entries : sizes) {
        const QString path = dir.filePath(QStringLiteral("m%1.xml").arg(entries));
        if (entries <= 0 || !writeManifest(path, entries)) {
            std::fprintf(stderr, "editor-open-bench: cannot write a manifest of %d entries\n", entries);
            return 2;
        }
        ManifestEditor editor;
        editor.resize(900, 700);
        editor.show();
        QTreeView *view = editor.findChild<QTreeView *>();
        QElapsedTimer timer;
        timer.start();
        if (!editor.openManifestFile(path) || !view) {
            std::fprintf(stderr, "editor-open-bench: the editor did not open %s\n", qPrintable(path));
            return 1;
        }
        view->scrollToBottom();
        app.processEvents();
        const double seconds = double(timer.nsecsElapsed()) / 1e9;
        const QModelIndex folder = view->model()->index(0, 0, view->model()->index(0, 0));
        std::printf("%7d entries in one folder: %6.2f s to open and show the last one (%d rows shown), peak %s\n",
                    entries, seconds, view->model()->rowCount(folder), qPrintable(peakMemory()));
        std::fflush(stdout);
    }
    return 0;
}
