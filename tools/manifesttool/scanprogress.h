#ifndef SCANPROGRESS_H
#define SCANPROGRESS_H

#include <QString>
#include <QVector>

#include <condition_variable>
#include <mutex>
#include <thread>

// Shows on standard error how far a folder scan has got: files and bytes
// hashed against the totals. The scan itself has no progress hook, so this
// counts the bytes the process has read (Linux /proc/self/io) and maps them
// onto the folder's files in the order the scan visits them. It stays silent
// when standard error is not a terminal or the count is not available.
class ScanProgress
{
public:
    explicit ScanProgress(const QString &folder);
    ~ScanProgress();

    ScanProgress(const ScanProgress &) = delete;
    ScanProgress &operator=(const ScanProgress &) = delete;

    // Ends the display with a final line; called by the destructor too.
    void finish();

private:
    void collectSizes(const QString &folder);
    void run();
    void print(qint64 readSinceStart, bool last);

    QVector<qint64> m_sizes; // file sizes in scan order
    qint64 m_totalBytes = 0;
    qint64 m_startRead = -1;
    bool m_enabled = false;
    bool m_finished = false;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::thread m_thread;
};

#endif // SCANPROGRESS_H
