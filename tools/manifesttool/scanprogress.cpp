#include "scanprogress.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <chrono>
#include <cstdio>
#include <unistd.h>

namespace {

// Bytes read by this process so far, or -1 where the kernel does not say.
qint64 processBytesRead()
{
    QFile io(QStringLiteral("/proc/self/io"));
    if (!io.open(QIODevice::ReadOnly))
        return -1;
    const QList<QByteArray> lines = io.readAll().split('\n');
    for (const QByteArray &line : lines) {
        if (line.startsWith("rchar:"))
            return line.mid(6).trimmed().toLongLong();
    }
    return -1;
}

QString humanBytes(qint64 bytes)
{
    if (bytes >= 1024LL * 1024 * 1024)
        return QString::number(double(bytes) / (1024.0 * 1024 * 1024), 'f', 2) + QStringLiteral(" GiB");
    if (bytes >= 1024LL * 1024)
        return QString::number(double(bytes) / (1024.0 * 1024), 'f', 1) + QStringLiteral(" MiB");
    return QString::number(double(bytes) / 1024.0, 'f', 1) + QStringLiteral(" KiB");
}

} // namespace

ScanProgress::ScanProgress(const QString &folder)
{
    if (!isatty(STDERR_FILENO))
        return;
    m_startRead = processBytesRead();
    if (m_startRead < 0)
        return;
    collectSizes(folder);
    m_enabled = true;
    m_thread = std::thread(&ScanProgress::run, this);
}

ScanProgress::~ScanProgress()
{
    finish();
}

// The same listing as the folder scan: no hidden entries, directories
// first, then files, by name.
void ScanProgress::collectSizes(const QString &folder)
{
    const QFileInfoList entries = QDir(folder).entryInfoList(QDir::Dirs | QDir::Files | QDir::NoDotAndDotDot,
                                                             QDir::Name | QDir::DirsFirst);
    for (const QFileInfo &entry : entries) {
        if (entry.isDir()) {
            collectSizes(entry.filePath());
        } else {
            m_sizes.append(entry.size());
            m_totalBytes += entry.size();
        }
    }
}

void ScanProgress::finish()
{
    if (!m_enabled)
        return;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_finished)
            return;
        m_finished = true;
    }
    m_wake.notify_all();
    m_thread.join();
    print(processBytesRead() - m_startRead, true);
}

void ScanProgress::run()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_wake.wait_for(lock, std::chrono::milliseconds(250), [this] { return m_finished; }))
        print(processBytesRead() - m_startRead, false);
}

void ScanProgress::print(qint64 readSinceStart, bool last)
{
    const qint64 bytes = qBound<qint64>(0, readSinceStart, m_totalBytes);
    // Files whose every byte has been read count as hashed.
    int files = 0;
    qint64 covered = 0;
    while (files < m_sizes.size() && covered + m_sizes.at(files) <= bytes)
        covered += m_sizes.at(files++);
    const QString line = QStringLiteral("\rhashed %1/%2 files, %3 of %4")
                             .arg(files)
                             .arg(m_sizes.size())
                             .arg(humanBytes(bytes), humanBytes(m_totalBytes));
    std::fputs(qPrintable(line + QStringLiteral("\x1b[K") + (last ? QStringLiteral("\n") : QString())), stderr);
    std::fflush(stderr);
}
