// Manifest engine benchmark: comparison, canonical order and global checksum
// on large synthetic trees, and the file checksum against sha1sum.
//
//   manifestbench [ROUNDS]             trees of 120,000 and 240,000 files, best of ROUNDS (3)
//   manifestbench --checksum FILE [N]  fileChecksum vs sha1sum on FILE, best of N rounds
#include "filechecksum.h"
#include "manifest.h"
#include "manifestcomparison.h"
#include "manifestreader.h"
#include "manifestupdate.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTextStream>

#include <algorithm>
#include <ctime>
#include <cstdio>
#include <numeric>
#include <vector>

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

double seconds(const QElapsedTimer &timer)
{
    return double(timer.nsecsElapsed()) / 1e9;
}

// Processor time of this process: next to the wall time it shows how much
// of a slow figure came from sharing the machine.
double cpuSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

// Writes the distant and local manifests of one synthetic release. Each of
// `directories` folders holds 200 files, one more folder holds `flatFiles`.
// Folders come before files and files are in shuffled order, so the
// canonical ordering has real work to do. Relative to the local tree, 1% of
// the distant files are changed, 1% are new and 1% of the local ones are
// removed.
void writeTrees(const QString &distantPath, const QString &localPath, int directories, int flatFiles)
{
    QRandomGenerator random(42);
    QFile distantFile(distantPath);
    QFile localFile(localPath);
    if (!distantFile.open(QIODevice::WriteOnly) || !localFile.open(QIODevice::WriteOnly))
        qFatal("cannot write the trees");
    QTextStream distant(&distantFile);
    QTextStream local(&localFile);
    distant << "<UPDATE_STRUCTURE name=\"ROOT\" version=\"2.0\">\n";
    local << "<UPDATE_STRUCTURE name=\"ROOT\" version=\"1.0\">\n";

    auto crc = [&](quint64 key) {
        return QStringLiteral("%1%2%3")
            .arg(key * 0x9e3779b97f4a7c15ULL, 16, 16, QLatin1Char('0'))
            .arg(key * 0xc2b2ae3d27d4eb4fULL, 16, 16, QLatin1Char('0'))
            .arg(quint32(key), 8, 16, QLatin1Char('0'));
    };
    quint64 serial = 0;
    auto folder = [&](const QString &name, int files) {
        distant << "<directory name=\"" << name << "\">\n";
        local << "<directory name=\"" << name << "\">\n";
        std::vector<int> order(static_cast<size_t>(files));
        std::iota(order.begin(), order.end(), 0);
        std::shuffle(order.begin(), order.end(), random);
        for (int i : order) {
            ++serial;
            const QString file = QStringLiteral("file%1.dat").arg(i, 5, 10, QLatin1Char('0'));
            const QString common = QStringLiteral("name=\"%1\" size=\"%2\" url=\"%3/%1\" "
                                                  "date=\"2014-03-07T09:05:31\" version=\"1\"")
                                       .arg(file)
                                       .arg(1000 + i)
                                       .arg(name);
            const int kind = i % 100;
            if (kind != 1) // 1%: only on the local side
                local << "<file crc=\"" << crc(serial) << "\" " << common << "/>\n";
            if (kind != 2) // 1%: only on the distant side
                distant << "<file crc=\"" << crc(kind == 3 ? serial + 1 : serial) << "\" " << common
                        << "/>\n";
        }
        distant << "</directory>\n";
        local << "</directory>\n";
    };
    for (int d = 0; d < directories; ++d)
        folder(QStringLiteral("dir%1").arg(d, 4, 10, QLatin1Char('0')), 200);
    folder(QStringLiteral("flat"), flatFiles);
    distant << "</UPDATE_STRUCTURE>\n";
    local << "</UPDATE_STRUCTURE>\n";
}

// One measurement on freshly parsed trees, printed as one line of figures
// for the parent process: parse distant, parse local, compare, sortTree,
// globalChecksum, processor time of the three, changed, new, removed, peak
// memory in kB, global checksum.
int measureOnce(const QString &distantPath, const QString &localPath)
{
    QFile distantFile(distantPath);
    QFile localFile(localPath);
    QElapsedTimer timer;
    timer.start();
    const QDomDocument distantDocument = readManifestDocument(&distantFile);
    QPair<QDomElement, QDomElement> roots(distantDocument.documentElement(), QDomElement());
    const double parseDistant = seconds(timer);
    timer.restart();
    const QDomDocument localDocument = readManifestDocument(&localFile);
    roots.second = localDocument.documentElement();
    const double parseLocal = seconds(timer);

    timer.restart();
    const double cpuStart = cpuSeconds();
    QScopedPointer<QList<DOM_DIFF *>> diffs(compareManifests(&roots));
    const double compare = seconds(timer);
    timer.restart();
    sortTree(roots.first);
    const double sort = seconds(timer);
    timer.restart();
    Manifest manifest(roots.second);
    const QString checksum = manifest.globalChecksum();
    const double global = seconds(timer);
    const double engineCpu = cpuSeconds() - cpuStart;

    int counts[4] = {0, 0, 0, 0};
    for (const DOM_DIFF *diff : qAsConst(*diffs))
        ++counts[diff->type];
    qDeleteAll(*diffs);
    std::printf("%.4f %.4f %.4f %.4f %.4f %.4f %d %d %d %s %s\n", parseDistant, parseLocal, compare,
                sort, global, engineCpu, counts[CHANGED], counts[NEW], counts[REMOVED],
                qPrintable(peakMemory().section(QLatin1Char(' '), 0, 0)), qPrintable(checksum));
    return 0;
}

// The same work on the compact trees the updater uses, saving the local
// tree too: read distant, read local, compare, checksum (with the canonical
// order), write, processor time, differences, peak memory in kB, checksum.
int measureTrees(const QString &distantPath, const QString &localPath)
{
    QFile distantFile(distantPath);
    QFile localFile(localPath);
    QElapsedTimer timer;
    timer.start();
    const double cpuStart = cpuSeconds();
    ManifestUpdate update;
    if (!ManifestReader(&distantFile).read(&update.distant()))
        return 1;
    const double readDistant = seconds(timer);
    timer.restart();
    if (!ManifestReader(&localFile).read(&update.local()))
        return 1;
    const double readLocal = seconds(timer);
    timer.restart();
    update.compare();
    const double compare = seconds(timer);
    timer.restart();
    const QString checksum = update.finish(QStringLiteral("2.0"));
    const double global = seconds(timer);
    timer.restart();
    QTemporaryDir dir;
    QFile out(dir.filePath(QStringLiteral("saved.xml")));
    if (!out.open(QIODevice::WriteOnly | QIODevice::Unbuffered) || !update.write(&out, nullptr))
        return 1;
    const double write = seconds(timer);
    std::printf("%.4f %.4f %.4f %.4f %.4f %.4f %zu %s %s\n", readDistant, readLocal, compare, global, write,
                cpuSeconds() - cpuStart, update.differences().size(),
                qPrintable(peakMemory().section(QLatin1Char(' '), 0, 0)), qPrintable(checksum));
    return 0;
}

// Runs `rounds` measurements, each in a fresh process so that every parse
// starts on a fresh heap as it does in the updater, and prints them with the
// fastest. Returns the fastest engine time in seconds.
double benchTree(int directories, int flatFiles, int rounds)
{
    const int files = directories * 200 + flatFiles;
    QTemporaryDir work;
    const QString distantPath = work.filePath(QStringLiteral("distant.xml"));
    const QString localPath = work.filePath(QStringLiteral("local.xml"));
    const QString self = QCoreApplication::applicationFilePath();
    if (QProcess::execute(self, {QStringLiteral("--write-trees"), distantPath, localPath,
                                 QString::number(directories), QString::number(flatFiles)})
        != 0)
        qFatal("cannot write the trees");

    std::printf("%d files (%d folders of 200, one of %d), %lld bytes per manifest\n", files,
                directories, flatFiles, QFileInfo(distantPath).size());
    double best = 1e99;
    for (int round = 1; round <= rounds; ++round) {
        QProcess child;
        child.start(self, {QStringLiteral("--measure"), distantPath, localPath});
        if (!child.waitForFinished(-1) || child.exitCode() != 0)
            qFatal("measurement failed");
        const QStringList f = QString::fromLatin1(child.readAllStandardOutput()).simplified().split(' ');
        if (f.size() != 11)
            qFatal("unexpected measurement output");
        const double engine = f[2].toDouble() + f[3].toDouble() + f[4].toDouble();
        best = std::min(best, engine);
        std::printf("  round %d: parse %.3f s + %.3f s | compare %.3f s + sortTree %.3f s + "
                    "globalChecksum %.3f s = engine %.3f s (processor %.3f s) | %s changed, %s new, "
                    "%s removed | peak %.0f MiB | %s\n",
                    round, f[0].toDouble(), f[1].toDouble(), f[2].toDouble(), f[3].toDouble(),
                    f[4].toDouble(), engine, f[5].toDouble(), qPrintable(f[6]), qPrintable(f[7]),
                    qPrintable(f[8]), f[9].toDouble() / 1024.0, qPrintable(f[10]));
    }
    std::printf("  fastest engine time %.3f s\n", best);
    for (int round = 1; round <= rounds; ++round) {
        QProcess child;
        child.start(self, {QStringLiteral("--measure-trees"), distantPath, localPath});
        if (!child.waitForFinished(-1) || child.exitCode() != 0)
            qFatal("measurement of the compact trees failed");
        const QStringList f = QString::fromLatin1(child.readAllStandardOutput()).simplified().split(' ');
        if (f.size() != 9)
            qFatal("unexpected measurement output");
        std::printf("  compact trees, round %d: read %.3f s + %.3f s | compare %.3f s + checksum %.3f s + "
                    "write %.3f s | processor %.3f s for all | %s differences | peak %.0f MiB | %s\n",
                    round, f[0].toDouble(), f[1].toDouble(), f[2].toDouble(), f[3].toDouble(), f[4].toDouble(),
                    f[5].toDouble(), qPrintable(f[6]), f[7].toDouble() / 1024.0, qPrintable(f[8]));
    }
    return best;
}

int benchChecksum(const QString &path, int rounds)
{
    const double size = double(QFile(path).size());
    double bestOurs = 1e99;
    double bestTool = 1e99;
    QString ours;
    QString tool;
    // Alternating rounds so both sides see the same machine state.
    for (int round = 0; round < rounds; ++round) {
        QElapsedTimer timer;
        timer.start();
        QProcess sha1sum;
        sha1sum.start(QStringLiteral("sha1sum"), {path});
        if (!sha1sum.waitForFinished(-1) || sha1sum.exitCode() != 0)
            qFatal("sha1sum failed");
        bestTool = std::min(bestTool, seconds(timer));
        tool = QString::fromLatin1(sha1sum.readAllStandardOutput().left(40));

        timer.restart();
        ours = fileChecksum(path, QCryptographicHash::Sha1);
        bestOurs = std::min(bestOurs, seconds(timer));
    }
    std::printf("file %s, %.0f MiB, best of %d rounds\n", qPrintable(path), size / 1048576.0, rounds);
    std::printf("  sha1sum      %.3f s  %.2f GB/s  %s\n", bestTool, size / bestTool / 1e9, qPrintable(tool));
    std::printf("  fileChecksum %.3f s  %.2f GB/s  %s\n", bestOurs, size / bestOurs / 1e9, qPrintable(ours));
    std::printf("  throughput ratio fileChecksum / sha1sum: %.2f (target >= 1.8)\n", bestTool / bestOurs);
    std::printf("  peak memory (VmHWM) %s\n", qPrintable(peakMemory()));
    if (ours != tool) {
        std::printf("  DIGESTS DIFFER\n");
        return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() == 6 && args.at(1) == QLatin1String("--write-trees")) {
        writeTrees(args.at(2), args.at(3), args.at(4).toInt(), args.at(5).toInt());
        return 0;
    }
    if (args.size() == 4 && args.at(1) == QLatin1String("--measure"))
        return measureOnce(args.at(2), args.at(3));
    if (args.size() == 4 && args.at(1) == QLatin1String("--measure-trees"))
        return measureTrees(args.at(2), args.at(3));
    if (args.size() >= 3 && args.at(1) == QLatin1String("--checksum"))
        return benchChecksum(args.at(2), args.size() > 3 ? std::max(1, args.at(3).toInt()) : 3);

    const int rounds = args.size() > 1 ? std::max(1, args.at(1).toInt()) : 3;
    const double small = benchTree(500, 20000, rounds);
    if (qEnvironmentVariableIsSet("MANIFESTBENCH_SMALL_ONLY"))
        return 0;
    const double large = benchTree(1000, 40000, rounds);
    std::printf("engine time, fastest rounds: 120,000 files %.3f s (target < 0.6 s); "
                "240,000 / 120,000 files %.2f (target <= 2.3)\n",
                small, large / small);
    return 0;
}
