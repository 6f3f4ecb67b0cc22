#include "updaterhandler.h"

#include "destinationfolder.h"
#include "destinationpath.h"
#include "downloadentry.h"
#include "log.h"
#include "nativename.h"
#include "runlock.h"
#include "stagedfile.h"
#include "transferguard.h"
#include "versionlist.h"
#include "windowsnames.h"

#include <QDir>
#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QTimer>

namespace {
// Bounds what the reply holds between two writes, so memory stays flat
// whatever the size of the file.
constexpr qint64 kReadBufferSize = 1024 * 1024;
}

updaterHandler::updaterHandler(const QString &destinationDir, QObject *parent)
    : QObject(parent)
    , m_manager(new QNetworkAccessManager(this))
    , m_destinationDir(destinationDir)
{
    FetchOptions::useSystemProxies(m_manager);
    connect(m_manager, &QNetworkAccessManager::finished, this, &updaterHandler::writeDownload);
}

updaterHandler::~updaterHandler() = default;

void updaterHandler::setFetchOptions(const FetchOptions &options)
{
    m_options = options;
}

void updaterHandler::setSha256Required(bool required)
{
    m_sha256Required = required;
}

void updaterHandler::appendEntries(const QStringList &entries, const QStringList &sha256)
{
    // The first download still starts before the rest is queued; refused
    // entries at the head only make the queue look empty for a moment.
    const bool outer = !m_appending;
    m_appending = true;
    for (int i = 0; i < entries.size(); ++i) {
        const DownloadEntry entry = DownloadEntry::parse(entries.at(i));
        appendDownload(entry.url, entry.fileName, sha256.value(i));
    }
    if (!outer)
        return;
    m_appending = false;
    if (m_endPending && !m_busy && !m_stopped)
        finishQueue();
}

void updaterHandler::finishQueue()
{
    m_endPending = false;
    LOG_INFO() << QStringLiteral("downloads done: %1 written, %2 failed").arg(m_succeeded).arg(m_failed);
    emit queueEmpty(!m_anyFailed);
}

void updaterHandler::appendDownload(const QUrl &url, const QString &fileName, const QString &sha256)
{
    if (url.isEmpty() || m_stopped)
        return;
    m_queue.append(Item{url, fileName, sha256});
    ++m_entries;
    if (!m_busy)
        startNext();
}

void updaterHandler::cancel()
{
    if (m_stopped)
        return;
    m_stopped = true;
    m_busy = true;
    m_queue.clear();
    m_waiting = false;
    if (m_reply) {
        QNetworkReply *reply = m_reply;
        m_reply = nullptr;
        disconnect(reply, nullptr, this, nullptr);
        reply->abort();
        reply->deleteLater();
    }
    if (m_file) {
        noteFailure(QStringLiteral("cancelled"));
        m_file.reset(); // never committed: removed
    }
    LOG_INFO() << QStringLiteral("downloads cancelled: %1 written, %2 failed").arg(m_succeeded).arg(m_failed);
}

void updaterHandler::noteFailure(const QString &reason)
{
    m_anyFailed = true;
    ++m_failed;
    m_failures.append({m_current.fileName, reason});
}

bool updaterHandler::isDownloading() const
{
    return m_reply || m_waiting;
}

bool updaterHandler::prepare(QString *reason, bool *stop)
{
    *stop = false;
    const Item &item = m_current;
    if (!FetchOptions::isFetchable(item.url)) {
        *reason = QStringLiteral("refused: not an http or https URL");
        return false;
    }
    QString folderPart;
    if (!DestinationPath::split(item.fileName, &folderPart, &m_currentName)) {
        *reason = QStringLiteral("refused: the file name is empty, absolute, climbs out or holds a NUL or a colon");
        return false;
    }
    if (item.sha256.isEmpty() && m_sha256Required) {
        *reason = QStringLiteral("refused: no sha256 for the entry, and a public key is in use");
        return false;
    }
    if (!item.sha256.isEmpty() && !VersionList::isSha256(item.sha256)) {
        *reason = QStringLiteral("refused: the sha256 is not 64 lower-case hexadecimal digits");
        return false;
    }

    const QString problem = windowsNameProblem(folderPart, m_currentName);
    if (!problem.isEmpty()) {
        if (WindowsNames::refusedHere()) {
            *reason = QStringLiteral("refused: a name Windows cannot hold (%1)").arg(problem);
            return false;
        }
        LOG_WARN() << QStringLiteral("%1: a name Windows cannot hold (%2)").arg(describe(), problem);
    }

    if (!m_destination) {
        const QString root = m_destinationDir.isEmpty() ? QStringLiteral(".") : m_destinationDir;
        if (!QDir().mkpath(root)) {
            *reason = QStringLiteral("cannot create the destination folder %1").arg(root);
            *stop = true;
            return false;
        }
        // One process at a time writes here, for as long as it runs.
        m_runLock = std::make_unique<platform::RunLock>();
        const platform::Result locked = m_runLock->acquire(NativeName::of(QDir(root).filePath(QStringLiteral(".versionupdater.lock"))));
        if (!locked) {
            *reason = locked.kind() == platform::Result::Kind::Busy
                              ? QStringLiteral("another update is running")
                              : QStringLiteral("cannot take the run lock: ") + NativeName::errorOf(locked);
            *stop = true;
            return false;
        }
        m_destination = std::make_unique<DestinationFolder>(root);
    }
    QString error;
    const DestinationFolder::Folder folder = m_destination->makeFolder(folderPart, &error);
    if (!folder.isOpen()) {
        *reason = QStringLiteral("refused: ") + error;
        return false;
    }
    m_file = std::make_unique<StagedFile>();
    m_file->setSha256Enabled(!item.sha256.isEmpty());
    if (!m_file->create(folder)) {
        *reason = m_file->errorString();
        *stop = true;
        m_file.reset();
        return false;
    }
    return true;
}

QString updaterHandler::windowsNameProblem(const QString &folder, const QString &name)
{
    const QStringList levels = (folder.isEmpty() ? QStringList() : folder.split(QLatin1Char('/'))) << name;
    for (const QString &level : levels) {
        const QString problem = WindowsNames::problem(level);
        if (!problem.isEmpty())
            return QStringLiteral("'%1': %2").arg(level, problem);
    }
    // Two targets that Windows takes for one file: the second would
    // replace the first there.
    const QString path = levels.join(QLatin1Char('/'));
    const QString key = WindowsNames::key(path);
    const QString earlier = m_nameByKey.value(key);
    if (!earlier.isNull() && earlier != path)
        return QStringLiteral("'%1' differs from '%2' only in case").arg(path, earlier);
    m_nameByKey.insert(key, path);
    return QString();
}

void updaterHandler::startNext()
{
    // A loop rather than recursion: refused entries are skipped in place.
    while (!m_queue.isEmpty()) {
        m_busy = true;
        m_current = m_queue.takeFirst();
        QString reason;
        bool stop = false;
        if (!prepare(&reason, &stop)) {
            LOG_ERROR() << QStringLiteral("%1: %2").arg(describe(), reason);
            noteFailure(reason);
            if (stop) {
                // Nothing more can be written here: stopped for good, busy stays set.
                LOG_ERROR() << QStringLiteral("downloads stopped");
                m_stopped = true;
                // What was still queued is never fetched.
                while (!m_queue.isEmpty()) {
                    m_current = m_queue.takeFirst();
                    noteFailure(QStringLiteral("not fetched: downloads stopped"));
                }
                emit queueEmpty(false);
                return;
            }
            continue;
        }
        m_attempt = 0;
        sendAttempt();
        QUrl source;
        source.setPath(m_current.fileName);
        emit downloadStart(source, m_queue.size());
        return;
    }
    m_busy = false;
    if (m_appending)
        m_endPending = true;
    else
        finishQueue();
}

void updaterHandler::sendAttempt()
{
    if (!m_file) // cancelled while waiting for this attempt
        return;
    m_waiting = false;
    ++m_attempt;
    m_reply = m_manager->get(m_options.request(m_current.url));
    m_reply->setReadBufferSize(kReadBufferSize);
    new TransferGuard(m_reply, m_options.maximumDownloadBytes, m_options.stallSeconds);
    connect(m_reply, &QNetworkReply::downloadProgress, this, &updaterHandler::downloadProgress);
    connect(m_reply, &QNetworkReply::readyRead, this, &updaterHandler::writeAvailable);
}

void updaterHandler::writeAvailable()
{
    TransferGuard *guard = TransferGuard::of(m_reply);
    if (!guard || !m_file)
        return;
    const QByteArray chunk = guard->take();
    if (!m_file->writeFailed() && m_file->write(chunk) != chunk.size())
        guard->stop(QStringLiteral("cannot write: %1").arg(m_file->errorString()), false);
}

void updaterHandler::writeDownload(QNetworkReply *reply)
{
    if (reply != m_reply) // not ours (already handled)
        return;
    writeAvailable();
    disconnect(reply, nullptr, this, nullptr);
    reply->deleteLater();
    m_reply = nullptr;

    const TransferGuard *guard = TransferGuard::of(reply);
    QString reason = guard->failure();
    bool retryable = guard->retryable();
    if (reason.isEmpty() && m_file->writeFailed()) {
        reason = QStringLiteral("cannot write: %1").arg(m_file->errorString());
        retryable = false;
    }
    if (reason.isEmpty() && !m_current.sha256.isEmpty() && m_file->sha256Hex() != m_current.sha256)
        reason = QStringLiteral("sha256 mismatch: expected %1, got %2").arg(m_current.sha256, m_file->sha256Hex());

    if (!reason.isEmpty() && retryable && m_attempt < m_options.attempts()) {
        const int delay = m_options.retryDelayAfter(m_attempt);
        // One arg() call: a reason that holds "%1" stays as it is.
        LOG_WARN() << QStringLiteral("%1: attempt %2 of %3 failed: %4; trying again in %5 ms")
                          .arg(describe(), QString::number(m_attempt), QString::number(m_options.attempts()), reason,
                               QString::number(delay));
        if (m_file->restart()) {
            m_waiting = true;
            // Precise: a coarse timer may end a 3 s wait 150 ms early.
            QTimer::singleShot(delay, Qt::PreciseTimer, this, &updaterHandler::sendAttempt);
            return;
        }
        reason = m_file->errorString();
    }
    if (reason.isEmpty() && !m_file->commit(m_currentName))
        reason = m_file->errorString();
    if (!reason.isEmpty()) {
        failCurrent(reason);
        return;
    }

    const QString target = m_file->folder() + QLatin1Char('/') + m_currentName;
    LOG_INFO() << QStringLiteral("%1: written, %2 bytes%3")
                      .arg(describe(), QString::number(m_file->writtenSize()),
                           m_current.sha256.isEmpty() ? QString() : QStringLiteral(", sha256 matches"));
    m_bytesWritten += m_file->writtenSize();
    m_file.reset();
    ++m_succeeded;
    m_busy = false;
    m_finishedFile.setFileName(target);
    emit downloadFinished(m_current.url, &m_finishedFile);
    startNext();
}

void updaterHandler::failCurrent(const QString &reason)
{
    LOG_ERROR() << QStringLiteral("%1: failed after %2 attempt(s): %3").arg(describe(), QString::number(m_attempt), reason);
    m_file.reset(); // never committed: removed
    noteFailure(reason);
    m_busy = false;
    startNext();
}

QString updaterHandler::describe() const
{
    return DownloadEntry::describe(m_current.url, m_current.fileName);
}

void updaterHandler::downloadProgress(qint64 bytesReceived, qint64 bytesTotal)
{
    emit currentDownloadProgress(bytesReceived, bytesTotal);
}
