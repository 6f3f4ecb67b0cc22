#ifndef UPDATERHANDLER_H
#define UPDATERHANDLER_H

#include "fetchoptions.h"

#include <QFile>
#include <QHash>
#include <QList>
#include <QNetworkReply>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <memory>

class DestinationFolder;
class QNetworkAccessManager;
class StagedFile;
namespace platform {
class RunLock;
}

// Downloads queued files one after another into the destination folder.
//
// Each body is streamed into a new file in its target's own folder, checked
// as it is written, and put in place by one rename only when the reply
// succeeded (and its SHA-256 matched, when the entry names one); a failed
// download never touches the file already there. An attempt that fails is
// tried again, three attempts in all. An entry that is no http(s) URL, whose
// name leaves the destination (by "..", an absolute name, a NUL or a link
// on disk), or that lacks its SHA-256 while one is required is refused. A
// failed or refused entry makes the run end in error; the queue goes on,
// and the entries handed over together end with one queueEmpty().
// The destination is written by one process at a time: the first download
// takes the lock file .versionupdater.lock in it, and a second process
// stops there ("another update is running"). A name Windows cannot hold is
// refused on Windows and written with a warning elsewhere.
class updaterHandler : public QObject
{
    Q_OBJECT

public:
    explicit updaterHandler(const QString &destinationDir, QObject *parent = nullptr);
    ~updaterHandler() override;

    // Bounds, retries and certificates of the transfers started from now on.
    void setFetchOptions(const FetchOptions &options);
    // With a public key in use, only entries pinned by a SHA-256 are fetched.
    void setSha256Required(bool required);

    // Parses each entry ("URL" or "URL=file/name") and queues it; sha256[i],
    // when present and not empty, is the expected SHA-256 of entries[i].
    void appendEntries(const QStringList &entries, const QStringList &sha256 = QStringList());
    // Queues one download; starts at once when the handler is idle.
    void appendDownload(const QUrl &url, const QString &fileName, const QString &sha256 = QString());

    // A download is in flight or waits for its next attempt.
    bool isDownloading() const;
    // Nothing more is fetched: a file could not be created, or cancel().
    bool isStopped() const { return m_stopped; }

    // Drops the queue and aborts the download in flight (its file is never
    // placed). No signal follows; the handler stays stopped.
    void cancel();

    struct Failure
    {
        QString name;
        QString reason;
    };
    // Entries accepted into the queue so far, those that ended (written,
    // failed or refused), and what they came to.
    int entryCount() const { return m_entries; }
    int endedCount() const { return m_succeeded + m_failed; }
    int succeededCount() const { return m_succeeded; }
    int failedCount() const { return m_failed; }
    qint64 bytesWritten() const { return m_bytesWritten; }
    QList<Failure> failures() const { return m_failures; }

signals:
    void downloadStart(QUrl source, int remainingDownloads);
    void currentDownloadProgress(qint64 bytesReceived, qint64 bytesTotal);
    // The file object names the written file; it stays valid until the
    // next download finishes.
    void downloadFinished(QUrl source, QFile *file);
    // The queue has run dry (true when every entry so far succeeded), or a
    // destination file could not be created (false; the handler stops).
    void queueEmpty(bool success);

private slots:
    void writeDownload(QNetworkReply *reply);
    void downloadProgress(qint64 bytesReceived, qint64 bytesTotal);
    void writeAvailable();

private:
    struct Item
    {
        QUrl url;
        QString fileName;
        QString sha256;
    };

    void startNext();
    void finishQueue();
    // Checks the current item and makes its staged file. False with the
    // reason when it is refused; *stop when nothing more can be written.
    bool prepare(QString *reason, bool *stop);
    void sendAttempt();
    void failCurrent(const QString &reason);
    void noteFailure(const QString &reason);
    QString describe() const;
    // Why Windows could not hold the target folder/name; empty when it can.
    QString windowsNameProblem(const QString &folder, const QString &name);

    QNetworkAccessManager *m_manager;          // child of the handler
    FetchOptions m_options;
    bool m_sha256Required = false;
    std::unique_ptr<StagedFile> m_file;        // the download in flight
    QString m_destinationDir;
    std::unique_ptr<DestinationFolder> m_destination; // made when first needed
    std::unique_ptr<platform::RunLock> m_runLock;     // taken with it, held to the end
    QHash<QString, QString> m_nameByKey;              // written names, by their Windows key
    QNetworkReply *m_reply = nullptr;          // deleted once finished
    QList<Item> m_queue;
    Item m_current;
    QString m_currentName;                     // the file's own name in its folder
    int m_attempt = 0;                         // of the current item, from 1
    bool m_waiting = false;                    // between two attempts
    bool m_busy = false;
    bool m_anyFailed = false;                  // some entry of this process failed
    bool m_stopped = false;
    // Entries are being handed over; the queue running dry meanwhile is
    // not the end, only a refused first entry.
    bool m_appending = false;
    bool m_endPending = false;
    int m_entries = 0;
    int m_succeeded = 0;
    int m_failed = 0;
    qint64 m_bytesWritten = 0;
    QList<Failure> m_failures;
    QFile m_finishedFile;
};

#endif // UPDATERHANDLER_H
