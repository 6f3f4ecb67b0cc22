#ifndef UPDATEMANAGER_H
#define UPDATEMANAGER_H

#include "destinationfolder.h"
#include "manifestcomparison.h"
#include "manifestelements.h"
#include "manifestupdate.h"
#include "rollout.h"
#include "runsummary.h"
#include "runlock.h"
#include "updatedownloader.h"

#include <QDir>
#include <QDomDocument>
#include <QDomElement>
#include <QElapsedTimer>
#include <QHash>
#include <QFile>
#include <QList>
#include <QMap>
#include <QNetworkReply>
#include <QObject>
#include <QPair>
#include <QSet>
#include <QString>
#include <QStringList>

#include <memory>
#include <vector>

class ReleaseNotes;

// Runs one update run: compares the distant manifest with the local one,
// has the downloader fetch every new or changed file, puts each verified
// file in place, deletes what the release no longer lists (only when
// nothing failed), saves the local manifest with the new version and
// global checksum and tells the server that the run is closed.
class UpdateManager : public QObject
{
    Q_OBJECT
public:
    explicit UpdateManager(QObject *parent = nullptr);
    ~UpdateManager() override;

    // True while a close request has been posted and not yet answered. An
    // unattended run waits for closeRequestFinished() before it exits.
    bool closeRequestPending() const { return m_closeRequestsPending > 0; }
    // Whether the run has ended (fileDownloadsFinished was emitted).
    bool isFinished() const { return m_finished; }

    // What failed in the run: an entry's path (or the whole release) and
    // the last reason, in the order they happened.
    struct Failure
    {
        QString entry;
        QString reason;
    };
    QList<Failure> failures() const { return m_failures; }
    // The run's figures so far; once it has ended, with how it ended.
    RunSummary summary() const;

    // How long the close request may take at most.
    static const int closeRequestTimeoutMs = 5000;

    // A repair ("--repair"): the release must be the installed version;
    // every file both list is checked on disk, and the damaged ones are
    // fetched again with what differs; nothing is deleted. Set before
    // start(); the command line sets it too.
    void setRepair(bool repair) { m_repair = repair; }
    // Fetch the release's notes once it is accepted, for the window.
    // Set before start().
    void setFetchNotes(bool fetch) { m_fetchNotes = fetch; }
    // The notes being fetched; null when none are.
    ReleaseNotes *releaseNotes() const { return m_notes; }

signals:
    void fileDownloadFailed(QDomElement element);
    void fileDownloadsFinished(int errors);
    // Declared for the window's use; nothing emits them yet.
    void downloadProgress(qint64 received, qint64 total);
    void manifestQueryFailed();
    void fileWritten(QString path);
    // The server's answer to a close request has arrived (or failed).
    void closeRequestFinished();
    // "--check" has its report: one JSON object, and the exit status.
    void checkFinished(QByteArray report, int status);

public slots:
    void start();
    void downloadsFinished();
    void downloadFinished(QDomElement distant, QFile *file);
    QString getDestDirectory(QDomElement elt);
    void deleteItem(DOM_DIFF *item);
    void sendCloseRequest(QString version);
    // Takes ownership of file and deletes it, whatever the outcome.
    bool writeFile(QDomElement distant, QFile *file);
    void updateElement(QDomElement distant, QDomElement local);
    void downloadFailed(QDomElement elt);
    void downloadFailed(QNetworkReply::NetworkError er, QString str, QDomElement elt);
    void downloadFailedCRC(QDomElement elt, QFile *file);
    void downloadStart(QDomElement elt, int remainingDownloads);
    void downloadFailedElt(QDomElement elt);
    // Writing a received file failed; the downloader retries or gives up.
    void downloadFailedWrite(QDomElement elt, QString reason);

public:
    // Errors of the run. The window adds one itself when the user cancels.
    int m_errorCount = 0;
    // Owned by the manager; the window connects to its signals.
    UpdateDownloader *m_downloader;

private:
    bool acceptEntry(const QDomElement &element);
    // A name Windows cannot hold is refused there, and installed with a
    // warning elsewhere.
    bool acceptName(const QDomElement &element);
    // Creates a folder below the destination; a refusal is a counted error.
    bool createFolder(const QString &path, QString *error);
    // Refuses the whole run: nothing is fetched, deleted or saved.
    void refuse(const QString &reason);
    // Ends a run that has nothing to do for now, without an error.
    void standDown(const QString &reason);
    // Repair: the installed files the comparison did not find changed, but
    // which are not what the release lists, are fetched as changed ones.
    void findDamage();
    void reportCheck();
    // The one record that says how the run went, for whoever reads the log.
    void logSummary(const QString &ending);
    void noteFailure(const QString &entry, const QString &reason) { m_failures.append({entry, reason}); }
    bool isManifestTree() const;
    // Why the release must not be installed: its signature (with a key),
    // then its version and expiry. Empty when it may.
    QString checkSignature(const QByteArray &manifest);
    QString checkRelease() const;
    // With a key, a file must carry its SHA-256; one without is an error.
    bool acceptDigest(const QDomElement &element);
    // The difference whose file `distant` was handed out for; -1 for none.
    int recordFor(const QDomElement &distant) const;
    // The element of the next queued file, for the downloader.
    QDomElement nextQueued();
    // A file's outcome is known: its element may go.
    void doneWith(const QDomElement &distant);
    // Deletes the entry of a REMOVED difference, on disk and in the tree.
    void deleteEntry(size_t difference);
    // Clears unfinished files that a killed run left in these folders
    // (relative to the destination).
    void removeLeftovers(const QSet<QString> &folders);
    // Names Windows cannot hold, and where a folder of the release takes
    // the place of an installed file: found in one walk before anything is
    // queued.
    void checkNames(ManifestTree::Node distantDirectory, const QString &path);
    void findFoldersReplacingFiles(ManifestTree::Node distant, ManifestTree::Node local, const QString &path);
    bool belowReplacedFile(const QString &path) const;
    // Ends what those replacements left to the end of the run.
    void finishFoldersReplacingFiles();

    // Both manifests as compact trees, their differences, and the local
    // tree as the run changes it; no DOM of either is ever built.
    std::unique_ptr<ManifestUpdate> m_update;
    // Elements of the entries that the checks, the downloader and the
    // window see, made when they are needed.
    std::unique_ptr<ManifestElements> m_distantElements;
    std::unique_ptr<ManifestElements> m_localElements;
    // The differences whose files are fetched, in order; the next one.
    std::vector<quint32> m_queue;
    size_t m_queueNext = 0;
    // Elements handed out and their differences; those whose outcome is
    // known, released before the next one is made.
    QList<QPair<QDomElement, quint32>> m_inFlight;
    QList<QDomElement> m_done;
    QDir m_destDir;
    // Every path below the destination goes through it, links included.
    DestinationFolder m_destination;
    // Distant root first, local root second: each with its attributes only.
    QPair<QDomElement, QDomElement> *m_roots = nullptr;
    // Their documents: a root element alone does not keep its document alive.
    QDomDocument m_distantDocument;
    QDomDocument m_localDocument;
    // The element whose download started last; the log texts name it.
    QDomElement m_currentElement;
    // The distant manifest could not be used: the run does nothing at all.
    bool m_refused = false;
    // The release's signature was checked with the publisher's key.
    bool m_signed = false;
    // The run has been finished once; a second request to finish changes
    // nothing and sends nothing.
    bool m_finished = false;
    bool m_checkOnly = false;
    bool m_repair = false;
    bool m_fetchNotes = false;
    ReleaseNotes *m_notes = nullptr;
    Rollout::Decision m_rollout;
    // Differences of damaged files, with what was wrong; those repaired.
    QHash<quint32, QString> m_damage;
    QStringList m_repaired;
    int m_closeRequestsPending = 0;

    // Held for the whole run: one run at a time per installation.
    platform::RunLock m_runLock;
    // Entry path -> why Windows cannot hold its name.
    QHash<QString, QString> m_nameProblems;
    // Installed files (local tree nodes) whose place a folder of the
    // release takes, with their paths, and the differences of the new
    // folders below them, made once the file has gone.
    QList<QPair<ManifestTree::Node, QString>> m_replacedFiles;
    QList<size_t> m_foldersBelowReplacedFiles;

    QList<Failure> m_failures;
    // How the run ended, as the summary record says; empty until then.
    QString m_ending;
    // Why the file in flight failed last, for m_failures.
    QString m_lastReason;

    // For the summary record.
    QElapsedTimer m_clock;
    QString m_localVersionBefore;
    int m_filesFetched = 0;
    int m_filesFailed = 0;
    int m_entriesDeleted = 0;
    qint64 m_bytesWritten = 0;
    qint64 m_bytesToWrite = 0; // sizes of the files queued
};

#endif // UPDATEMANAGER_H
