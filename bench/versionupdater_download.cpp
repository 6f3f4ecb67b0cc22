// Downloads a 1 GiB file from a loopback server through versionupdater's
// download queue and reports the process's peak memory, which must stay
// under 64 MiB because bodies are streamed to disk. curl fetches the same
// file in the same run as the reference for time and memory.
// Usage: versionupdater-download-bench [MiB]   (default 1024)
#include "updaterhandler.h"

#include <httplib.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTextStream>

#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>

extern char **environ;

namespace {

// Resident-set figures of a process from /proc, in KiB.
long procStatusKb(const char *field, const QString &process = QStringLiteral("self"))
{
    QFile status(QStringLiteral("/proc/%1/status").arg(process));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray prefix = QByteArray(field) + ':';
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(prefix))
            return line.mid(prefix.size()).trimmed().split(' ').value(0).toLong();
    }
    return -1;
}

// Runs curl on the URL; returns seconds, sets its peak RSS in KiB.
double runCurl(const std::string &url, const std::string &out, long *peakKb)
{
    const char *argv[] = {"curl", "-s", "-o", out.c_str(), url.c_str(), nullptr};
    QElapsedTimer timer;
    timer.start();
    pid_t pid = 0;
    if (posix_spawnp(&pid, "curl", nullptr, nullptr, const_cast<char **>(argv), environ) != 0)
        return -1;
    // Sampled from /proc while curl runs: the child's own rusage would also
    // count the memory of this process it was forked from.
    int status = 0;
    *peakKb = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        *peakKb = std::max(*peakKb, procStatusKb("VmHWM", QString::number(pid)));
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? timer.nsecsElapsed() / 1e9 : -1;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const qint64 mib = argc > 1 ? QByteArray(argv[1]).toLongLong() : 1024;
    const size_t total = size_t(mib) * 1024 * 1024;
    QTextStream out(stdout);

    // The server makes the body on the fly from one 64 KiB block.
    httplib::Server server;
    const std::string block(64 * 1024, 'v');
    server.Get("/big.bin", [&](const httplib::Request &, httplib::Response &response) {
        response.set_content_provider(total, "application/octet-stream",
                                      [&](size_t offset, size_t length, httplib::DataSink &sink) {
                                          const size_t n = std::min(length, std::min(block.size(), total - offset));
                                          return sink.write(block.data(), n);
                                      });
    });
    const int port = server.bind_to_any_port("127.0.0.1");
    std::thread serverThread([&] { server.listen_after_bind(); });
    const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/big.bin";

    QTemporaryDir dir;
    const long baselineKb = procStatusKb("VmRSS");

    updaterHandler handler(dir.path());
    QEventLoop loop;
    bool success = false;
    QObject::connect(&handler, &updaterHandler::queueEmpty, &loop, [&](bool ok) {
        success = ok;
        loop.quit();
    });
    QElapsedTimer timer;
    timer.start();
    handler.appendDownload(QUrl(QString::fromStdString(url)), QStringLiteral("big.bin"));
    loop.exec();
    const double seconds = timer.nsecsElapsed() / 1e9;
    const long peakKb = procStatusKb("VmHWM");
    const qint64 written = QFileInfo(dir.filePath(QStringLiteral("big.bin"))).size();
    QFile::remove(dir.filePath(QStringLiteral("big.bin")));

    long curlPeakKb = 0;
    const double curlSeconds = runCurl(url, dir.filePath(QStringLiteral("curl.bin")).toStdString(), &curlPeakKb);

    server.stop();
    serverThread.join();

    out << "file size:                  " << mib << " MiB\n";
    out << "versionupdater download:    " << (success && written == qint64(total) ? "complete" : "FAILED") << "\n";
    out << "versionupdater time:        " << QString::number(seconds, 'f', 2) << " s ("
        << QString::number(mib / seconds, 'f', 0) << " MiB/s)\n";
    out << "versionupdater peak RSS:    " << QString::number(peakKb / 1024.0, 'f', 1) << " MiB (before: "
        << QString::number(baselineKb / 1024.0, 'f', 1) << " MiB; limit 64 MiB: "
        << (peakKb < 64 * 1024 ? "met" : "EXCEEDED") << ")\n";
    if (curlSeconds > 0) {
        out << "curl time:                  " << QString::number(curlSeconds, 'f', 2) << " s\n";
        out << "curl peak RSS:              " << QString::number(curlPeakKb / 1024.0, 'f', 1) << " MiB\n";
        out << "time ratio (ours / curl):   " << QString::number(seconds / curlSeconds, 'f', 2) << "\n";
        out << "memory ratio (ours / curl): " << QString::number(double(peakKb) / curlPeakKb, 'f', 2) << "\n";
    } else {
        out << "curl: not run (is curl installed?)\n";
    }
    out.flush();
    return success && written == qint64(total) && peakKb < 64 * 1024 ? 0 : 1;
}
