#include "updatemanager.h"

#include "httptransfer.h"
#include "log.h"
#include "manifest.h"
#include "manifestfetch.h"
#include "manifestreader.h"
#include "publickey.h"
#include "digesttext.h"
#include "releasecheck.h"
#include "safepath.h"
#include "stagedfile.h"
#include "updatersettings.h"

#include <QBuffer>
#include <QDateTime>
#include <QDomDocument>
#include <QFileInfo>
#include <QSaveFile>

namespace {

QString nameOf(const QDomElement &element)
{
    return element.attribute(QStringLiteral("name"));
}

// The most memory the run has held (its peak resident set), for the
// summary record; empty where the system does not say.
QString peakMemoryText()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return QString();
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return QStringLiteral("; peak memory %1 MiB").arg(line.mid(6).trimmed().split(' ').value(0).toLongLong() / 1024);
    }
    return QString();
}

} // namespace

UpdateManager::UpdateManager(QObject *parent)
    : QObject(parent),
      m_destDir(UpdaterSettings::instance().destinationDir),
      m_destination(UpdaterSettings::instance().destinationDir)
{
    LOG_INFO() << QDateTime::currentDateTime().toString(Qt::ISODate) << Qt::endl;

    const UpdaterSettings &settings = UpdaterSettings::instance();
    m_downloader = new UpdateDownloader(settings.updateUrl, this);
    m_downloader->setDestination(&m_destination);
    m_downloader->setFilesUrl(settings.filesUrl);
    TransferOptions options;
    options.stallSeconds = settings.timeoutSeconds;
    options.caFile = settings.caFile;
    m_downloader->transport()->setOptions(options);
    // Made before the window connects, so the manager's slot runs first for
    // every signal both receive.
    connect(m_downloader, &UpdateDownloader::fileQueueEmpty, this, &UpdateManager::downloadsFinished);
    connect(m_downloader, &UpdateDownloader::fileDownloaded, this, &UpdateManager::downloadFinished);
    connect(m_downloader, &UpdateDownloader::fileDownloadStarting, this, &UpdateManager::downloadStart);
    connect(m_downloader, &UpdateDownloader::fileDownloadError, this,
            QOverload<QDomElement>::of(&UpdateManager::downloadFailed));
    connect(m_downloader, &UpdateDownloader::fileElementError, this, &UpdateManager::downloadFailedElt);
    connect(m_downloader, &UpdateDownloader::fileCrcError, this, &UpdateManager::downloadFailedCRC);
    connect(m_downloader, &UpdateDownloader::fileNetworkError, this,
            QOverload<QNetworkReply::NetworkError, QString, QDomElement>::of(&UpdateManager::downloadFailed));
    connect(m_downloader, &UpdateDownloader::fileWriteError, this, &UpdateManager::downloadFailedWrite);
    connect(m_downloader, &UpdateDownloader::fileChunksUnusable, this, [](QDomElement element, QString reason) {
        LOG_WARN() << QStringLiteral("%1: not rebuilt from its chunks (%2), fetched whole")
                          .arg(elementPath(element), reason)
                   << Qt::endl;
    });
}

UpdateManager::~UpdateManager()
{
    delete m_roots;
}

bool UpdateManager::isManifestTree() const
{
    // An error page or any other document that happens to be XML describes
    // no tree: acting on it would remove the whole installation.
    const ManifestTree &tree = m_update->distant();
    for (ManifestTree::Node child = tree.firstChild(tree.root()); child != ManifestTree::kNone;
         child = tree.nextSibling(child)) {
        if (tree.isFile(child) || tree.isDirectory(child))
            return true;
    }
    return false;
}

void UpdateManager::refuse(const QString &reason)
{
    LOG_ERROR() << reason << Qt::endl;
    noteFailure(QString(), reason.section(QStringLiteral(": "), -1));
    m_refused = true;
    ++m_errorCount;
    m_finished = true;
    logSummary(QStringLiteral("refused"));
    emit fileDownloadsFinished(m_errorCount);
}

void UpdateManager::logSummary(const QString &ending)
{
    const QString distantVersion = m_roots ? m_roots->first.attribute(QStringLiteral("version")) : QString();
    LOG_INFO() << QStringLiteral("run %1: distant version %2, local version before %3; files fetched %4, failed %5, "
                                 "deleted %6; %7 bytes written, %8 bytes transferred, %9 bytes saved; %10 s")
                      .arg(ending, distantVersion.isEmpty() ? QStringLiteral("-") : distantVersion,
                           m_localVersionBefore.isEmpty() ? QStringLiteral("-") : m_localVersionBefore)
                      .arg(m_filesFetched)
                      .arg(m_filesFailed)
                      .arg(m_entriesDeleted)
                      .arg(m_bytesWritten)
                      .arg(m_downloader->bytesTransferred())
                      .arg(m_downloader->bytesSaved())
                      .arg(m_clock.elapsed() / 1000.0, 0, 'f', 2)
                      + peakMemoryText()
               << Qt::endl;
}

void UpdateManager::start()
{
    m_clock.start();
    const UpdaterSettings &settings = UpdaterSettings::instance();
    // With a key, the release's exact bytes are checked first and parsed
    // from memory: the signature is over them. Without one, the file is
    // parsed as it streams in, and a release that is refused is never read
    // past its root element.
    QString distantError;
    QByteArray distantBytes;
    QFile distantFile(settings.distantManifestPath);
    const bool signedRelease = !settings.publicKeyPath.isEmpty();
    if (!distantFile.open(QIODevice::ReadOnly))
        distantError = distantFile.errorString();
    else if (distantFile.size() > ManifestFetch::maximumSize)
        distantError = QStringLiteral("larger than %1 bytes").arg(ManifestFetch::maximumSize);
    else if (signedRelease)
        distantBytes = distantFile.readAll();

    const QString signatureProblem = checkSignature(distantBytes);
    if (!signatureProblem.isEmpty()) {
        refuse(QStringLiteral("distant manifest refused, nothing updated: %1: %2")
                   .arg(settings.distantManifestPath, signatureProblem));
        return;
    }

    // The local tree first: it is as large as the installation, and its
    // version decides whether the release may be installed.
    m_update = std::make_unique<ManifestUpdate>();
    QString localError;
    const bool localRead = ManifestReader::readFile(settings.localManifestPath, &m_update->local(), &localError);
    m_roots = new QPair<QDomElement, QDomElement>;
    m_roots->second = ManifestElements::rootElement(m_update->local(), &m_localDocument);
    m_localVersionBefore = m_roots->second.attribute(QStringLiteral("version"));

    const QString readerName = QStringLiteral("manifest");
    ManifestReader distantReader = signedRelease ? ManifestReader(distantBytes, readerName)
                                                 : ManifestReader(&distantFile, readerName);
    ManifestTree distantRoot;
    if (distantError.isEmpty() && !distantReader.readRoot(&distantRoot))
        distantError = distantReader.errorString();
    m_roots->first = ManifestElements::rootElement(distantRoot, &m_distantDocument);

    // An unreadable release, or one that lists nothing, cannot be told from
    // "everything was removed"; acting on it would delete the installation.
    // Nothing is done, the local manifest stays as it is, and the run ends
    // with one error.
    if (m_roots->first.isNull()) {
        refuse(QStringLiteral("distant manifest unreadable, nothing updated: %1: %2")
                   .arg(settings.distantManifestPath, distantError));
        return;
    }
    const QString releaseProblem = checkRelease();
    if (!releaseProblem.isEmpty()) {
        refuse(QStringLiteral("distant manifest refused, nothing updated: %1: %2")
                   .arg(settings.distantManifestPath, releaseProblem));
        return;
    }
    if (!distantReader.read(&m_update->distant())) {
        refuse(QStringLiteral("distant manifest unreadable, nothing updated: %1: %2")
                   .arg(settings.distantManifestPath, distantReader.errorString()));
        return;
    }
    distantBytes.clear();
    distantFile.close();
    if (!isManifestTree()) {
        refuse(QStringLiteral("distant manifest lists no file or directory, nothing updated: ")
               + settings.distantManifestPath);
        return;
    }
    if (m_destination.root().isEmpty()) {
        refuse(QStringLiteral("destination folder missing, nothing updated: ") + settings.destinationDir);
        return;
    }
    // Without a usable local manifest the run starts from an empty tree, so
    // that the saved manifest lists exactly what this run wrote.
    if (!localRead) {
        LOG_WARN() << QStringLiteral("local manifest missing or unreadable, starting from an empty tree: %1: %2")
                          .arg(settings.localManifestPath, localError)
                   << Qt::endl;
        m_update->ensureLocalRoot();
        m_roots->second = ManifestElements::rootElement(m_update->local(), &m_localDocument);
    }

    m_update->compare();
    m_distantElements = std::make_unique<ManifestElements>(&m_update->distant());
    m_localElements = std::make_unique<ManifestElements>(&m_update->local());
    const ManifestTree &distant = m_update->distant();
    const std::vector<TreeComparison::Difference> &diffs = m_update->differences();
    QSet<QString> written; // the folders this run puts files in
    double queuedBytes = 0;
    for (size_t i = 0; i < diffs.size(); ++i) {
        const TreeComparison::Difference &diff = diffs[i];
        // The checks see an element made for the entry alone, never a
        // whole tree.
        if ((diff.type == NEW || diff.type == CHANGED) && distant.isFile(diff.distant)) {
            const QDomElement element = m_distantElements->element(diff.distant);
            if (acceptEntry(element) && acceptDigest(element)) {
                m_queue.push_back(quint32(i));
                bool ok = false;
                const double size = elementSize(element).toDouble(&ok);
                queuedBytes += ok && qIsFinite(size) ? size : 0.0;
                written.insert(distant.folder(diff.distant));
            }
            m_distantElements->release(element);
        } else if (diff.type == NEW && distant.isDirectory(diff.distant)) {
            const QDomElement element = m_distantElements->element(diff.distant);
            const QString path = distant.folder(diff.distant) + nameOf(element);
            QString error;
            const bool made = acceptEntry(element) && (m_destDir.exists(path) || createFolder(path, &error));
            m_distantElements->release(element);
            // The comparison already copied it into the local tree; it
            // must not be saved as if it had been created.
            if (!made)
                m_update->dropDirectoryCopy(i);
        } else if (diff.type == REMOVED) {
            const QDomElement element = m_localElements->element(diff.local);
            // Never deleted; dropped from the tree so that later runs are
            // not held back by it forever.
            if (!acceptEntry(element))
                m_update->removeEntry(i);
            m_localElements->release(element);
        }
    }
    removeLeftovers(written);
    m_downloader->setFeed([this] { return nextQueued(); }, int(m_queue.size()), queuedBytes);
    m_downloader->downloadNext();
}

QDomElement UpdateManager::nextQueued()
{
    // Every receiver of the finished files' signals has run by now.
    for (const QDomElement &element : qAsConst(m_done))
        m_distantElements->release(element);
    m_done.clear();
    if (m_queueNext == m_queue.size())
        return QDomElement();
    const quint32 index = m_queue[m_queueNext++];
    const QDomElement element = m_distantElements->element(m_update->differences()[index].distant);
    m_inFlight.append(qMakePair(element, index));
    return element;
}

void UpdateManager::doneWith(const QDomElement &distant)
{
    for (int i = 0; i < m_inFlight.size(); ++i) {
        if (m_inFlight.at(i).first == distant) {
            m_done.append(m_inFlight.takeAt(i).first);
            return;
        }
    }
}

void UpdateManager::removeLeftovers(const QSet<QString> &folders)
{
    // Where a file is named while it is written (no unnamed files on the
    // file system, or Windows), a run that was killed leaves it behind. A
    // live run writes its file at least once per stall bound, and waits
    // seconds between attempts: a file idle far longer has no writer.
    const qint64 idle = qMax<qint64>(3600, 3 * qint64(UpdaterSettings::instance().timeoutSeconds) + 60);
    int removed = 0;
    for (const QString &dir : folders) {
        QString error;
        const QString folder = m_destination.existingFolder(dir, &error);
        if (!folder.isEmpty())
            removed += StagedFile::removeLeftovers(folder, idle);
    }
    if (removed > 0)
        LOG_INFO() << QStringLiteral("%1 unfinished file(s) left by an earlier run removed").arg(removed) << Qt::endl;
}

QString UpdateManager::checkSignature(const QByteArray &manifest)
{
    const QString keyPath = UpdaterSettings::instance().publicKeyPath;
    if (keyPath.isEmpty()) {
        LOG_WARN() << QStringLiteral("no public key: the release is installed without checking its signature")
                   << Qt::endl;
        return QString();
    }
    QString error;
    const PublicKey key = PublicKey::fromPemFile(keyPath, &error);
    if (key.isNull())
        return QStringLiteral("public key unusable: ") + error;
    m_signed = true;
    // A missing signature file reads as an empty one: "signature missing".
    QFile signatureFile(UpdaterSettings::instance().distantManifestPath + QStringLiteral(".sig"));
    const QByteArray signature = signatureFile.open(QIODevice::ReadOnly) ? signatureFile.read(64 * 1024) : QByteArray();
    const SignatureCheck check = key.verify(manifest, signature);
    return check == SignatureCheck::Valid ? QString() : signatureCheckText(check);
}

QString UpdateManager::checkRelease() const
{
    const UpdaterSettings &settings = UpdaterSettings::instance();
    // A replayed older manifest would silently downgrade the installation
    // and delete what the newer release added. The same version is a repair.
    const QString distantVersion = m_roots->first.attribute(QStringLiteral("version"));
    const QString localVersion = m_roots->second.attribute(QStringLiteral("version"));
    int order = 0;
    if (!settings.allowDowngrade && ReleaseCheck::compareVersions(distantVersion, localVersion, &order) && order < 0)
        return QStringLiteral("older than the installed version (%1 < %2)").arg(distantVersion, localVersion);
    return ReleaseCheck::expiryProblem(m_roots->first, QDateTime::currentDateTimeUtc());
}

bool UpdateManager::acceptDigest(const QDomElement &element)
{
    // A signed manifest vouches for each file through its SHA-256; SHA-1
    // alone can be forged.
    if (!m_signed || isSha256Hex(element.attribute(QStringLiteral("sha256"))))
        return true;
    LOG_ERROR() << QStringLiteral("no SHA-256 in a signed release, not fetched: ") + elementPath(element) << Qt::endl;
    noteFailure(elementPath(element), QStringLiteral("no SHA-256 in a signed release"));
    ++m_errorCount;
    return false;
}

bool UpdateManager::createFolder(const QString &path, QString *error)
{
    LOG_INFO() << path.section(QLatin1Char('/'), -1) + QStringLiteral(" written.") << Qt::endl;
    if (!m_destination.makeFolder(path, error).isEmpty())
        return true;
    LOG_ERROR() << QStringLiteral("directory not created: ") + *error << Qt::endl;
    noteFailure(path, *error);
    ++m_errorCount;
    return false;
}

bool UpdateManager::acceptEntry(const QDomElement &element)
{
    if (isSafeEntryPath(element))
        return true;
    LOG_ERROR() << QStringLiteral("unsafe entry path, not touched: ") + elementPath(element) << Qt::endl;
    noteFailure(elementPath(element), QStringLiteral("unsafe entry path"));
    ++m_errorCount;
    return false;
}

int UpdateManager::recordFor(const QDomElement &distant) const
{
    // The element itself tells which difference it was made for: two files
    // may share a "url".
    for (const QPair<QDomElement, quint32> &flight : m_inFlight) {
        if (flight.first == distant)
            return int(flight.second);
    }
    return -1;
}

void UpdateManager::downloadStart(QDomElement elt, int remainingDownloads)
{
    Q_UNUSED(remainingDownloads)
    m_currentElement = elt;
    m_lastReason.clear();
}

void UpdateManager::downloadFinished(QDomElement distant, QFile *file)
{
    const int diff = recordFor(distant);
    const bool ok = diff >= 0 && writeFile(distant, file);
    if (ok) {
        ++m_filesFetched;
        m_bytesWritten += elementSize(distant).toLongLong();
        LOG_INFO() << nameOf(m_currentElement) + QStringLiteral(" written.") << Qt::endl;
        // The local side is the difference's own.
        updateElement(distant, QDomElement());
    } else {
        if (diff < 0)
            delete file;
        LOG_ERROR() << nameOf(m_currentElement) + QStringLiteral(" file writing error.") << Qt::endl;
        noteFailure(elementPath(distant), m_lastReason);
        ++m_errorCount;
        ++m_filesFailed;
    }
    doneWith(distant);
}

QString UpdateManager::getDestDirectory(QDomElement elt)
{
    const QDomElement parent = elt.parentNode().toElement();
    return isDirectory(parent) ? elementPath(parent) + QLatin1Char('/') : QString();
}

bool UpdateManager::writeFile(QDomElement distant, QFile *file)
{
    // The downloaded file is gone when this returns, on every path: put in
    // place, or removed with its object.
    QScopedPointer<QFile> downloaded(file);
    const QString dir = getDestDirectory(distant);
    const QString target = dir + nameOf(distant);
    LOG_INFO() << target << Qt::endl;
    auto *staged = qobject_cast<StagedFile *>(file);
    if (!isSafeEntryPath(distant) || !staged)
        return false;

    QString error;
    const QString folder = m_destination.makeFolder(dir, &error);
    if (folder.isEmpty() || folder != staged->folder()) {
        m_lastReason = folder.isEmpty() ? error : QStringLiteral("the folder moved");
        LOG_ERROR() << "error copying file" << m_lastReason;
        return false;
    }

    // The very file about to be renamed over the target is checked first;
    // its size and digests were taken from every byte written into it.
    if (!UpdateDownloader::mismatch(staged, distant).isEmpty() || staged->size() != staged->writtenSize()) {
        m_lastReason = QStringLiteral("the file does not match its manifest entry");
        LOG_ERROR() << "error copying file" << m_lastReason + QStringLiteral(": ") + target;
        return false;
    }

    if (!staged->commit(nameOf(distant))) {
        m_lastReason = staged->errorString();
        LOG_ERROR() << "error copying file" << m_lastReason;
        return false;
    }
    return true;
}

void UpdateManager::updateElement(QDomElement distant, QDomElement local)
{
    // Recorded in the local tree, where the difference says: a NEW entry
    // under its local parent, a CHANGED one over its local entry.
    Q_UNUSED(local)
    const int diff = recordFor(distant);
    if (diff >= 0)
        m_update->recordWritten(size_t(diff));
}

void UpdateManager::downloadFailed(QDomElement elt)
{
    noteFailure(elementPath(elt), m_lastReason);
    ++m_errorCount;
    ++m_filesFailed;
    emit fileDownloadFailed(elt);
    doneWith(elt);
}

void UpdateManager::downloadFailed(QNetworkReply::NetworkError er, QString str, QDomElement elt)
{
    Q_UNUSED(elt)
    m_lastReason = str;
    LOG_ERROR() << nameOf(m_currentElement) + QStringLiteral(" network error: ") + QString::number(er)
                       + QStringLiteral(" - ") + str
                << Qt::endl;
}

void UpdateManager::downloadFailedCRC(QDomElement elt, QFile *file)
{
    Q_UNUSED(elt)
    m_lastReason = m_downloader->lastFailure();
    LOG_ERROR() << nameOf(m_currentElement) + QStringLiteral(" crc error ! ") + m_lastReason << Qt::endl;
    delete file;
}

void UpdateManager::downloadFailedElt(QDomElement elt)
{
    // The element could not even be given a file in its folder (a folder
    // that leads outside the installation, a disk that refuses): it is
    // never installed, so it counts, or the run would end as a success and
    // delete what the release removed.
    m_currentElement = elt;
    LOG_ERROR() << nameOf(m_currentElement) + QStringLiteral(" file error ! ") + m_downloader->lastFailure()
                << Qt::endl;
    noteFailure(elementPath(elt), m_downloader->lastFailure());
    ++m_errorCount;
    ++m_filesFailed;
    doneWith(elt);
}

void UpdateManager::downloadFailedWrite(QDomElement elt, QString reason)
{
    Q_UNUSED(elt)
    m_lastReason = reason;
    LOG_ERROR() << nameOf(m_currentElement) + QStringLiteral(" file writing error. ") + reason << Qt::endl;
}

void UpdateManager::downloadsFinished()
{
    // The run ends once: a cancel followed by the emptied queue, or any
    // other second request, saves nothing and sends nothing again.
    if (m_finished)
        return;
    m_finished = true;
    if (m_refused || !m_update) {
        emit fileDownloadsFinished(m_errorCount);
        return;
    }
    if (m_errorCount == 0) {
        const std::vector<TreeComparison::Difference> &diffs = m_update->differences();
        for (size_t i = 0; i < diffs.size(); ++i) {
            if (diffs[i].type == REMOVED)
                deleteEntry(i);
        }
    }

    QDomElement distantRoot = m_roots->first;
    QDomElement localRoot = m_roots->second;
    QString version = distantRoot.attribute(QStringLiteral("version"));
    if (m_errorCount != 0)
        version += QStringLiteral("__") + QString::number(m_errorCount);
    // The checksum puts the local tree in canonical order.
    const QString checksum = m_update->finish(version);
    localRoot.setAttribute(QStringLiteral("version"), version);
    localRoot.setAttribute(QStringLiteral("crc"), checksum);

    // What the saved manifest lists must be on disk for good before it says
    // so; a file whose data is lost in a power cut is then fetched again.
    QString syncError;
    if (!m_destination.sync(&syncError))
        LOG_WARN() << QStringLiteral("cannot flush the destination folder: ") + syncError << Qt::endl;

    const QString path = UpdaterSettings::instance().localManifestPath;
    QString saveError;
    // Written as it is produced into a file that replaces the old one only
    // once it is complete. Unbuffered: a buffered save file takes bytes
    // that a full disk then cuts off, and still commits.
    QSaveFile saved(path);
    const bool written = saved.open(QIODevice::WriteOnly | QIODevice::Unbuffered) && m_update->write(&saved, &saveError)
        && saved.commit();
    if (!written) {
        if (saveError.isEmpty())
            saveError = saved.errorString();
        saved.cancelWriting();
        // The server is not told the run is closed, but the window must not
        // wait for ever: the run ends with this failure counted.
        LOG_ERROR() << QStringLiteral("cannot write local manifest: %1: %2").arg(path, saveError) << Qt::endl;
        ++m_errorCount;
        logSummary(QStringLiteral("failed"));
        emit fileDownloadsFinished(m_errorCount);
        return;
    }
    // Files fetched from static hosting have no server to tell.
    if (UpdaterSettings::instance().filesUrl.isEmpty())
        sendCloseRequest(version);
    logSummary(m_downloader->isCancelled() ? QStringLiteral("cancelled") : QStringLiteral("finished"));
    emit fileDownloadsFinished(m_errorCount);
}

void UpdateManager::deleteEntry(size_t difference)
{
    // deleteItem() sees the entry with everything the local tree lists in
    // it, and takes it out of its parent once it is gone from the disk.
    const QDomElement element = m_localElements->element(m_update->differences()[difference].local, true);
    DOM_DIFF item{element, element, REMOVED};
    deleteItem(&item);
    if (element.parentNode().isNull())
        m_update->removeEntry(difference);
    else
        m_localElements->release(element);
}

void UpdateManager::deleteItem(DOM_DIFF *item)
{
    QDomElement e = item->local;
    if (!isSafeEntryPath(e))
        return;
    // The entry's folder must be inside the installation; through a link
    // that leads out, nothing is deleted, and the run counts it.
    QString error;
    const QString dir = getDestDirectory(e);
    const QString folder = m_destination.existingFolder(dir, &error);
    if (folder.isEmpty()) {
        if (QFileInfo::exists(m_destDir.filePath(dir)) || QFileInfo(m_destDir.filePath(dir)).isSymLink()) {
            LOG_ERROR() << QStringLiteral("not deleted: ") + error << Qt::endl;
            noteFailure(elementPath(e), error);
            ++m_errorCount;
            return;
        }
    } else {
        const QString path = folder + QLatin1Char('/') + nameOf(e);
        const bool removed = isFile(e) ? QFile::remove(path) : removeDirectoryTree(path);
        if (removed)
            ++m_entriesDeleted;
    }
    e.parentNode().removeChild(e);
}

bool UpdateManager::removeDirectoryTree(const QString &path)
{
    // A link is removed as itself, never followed: what it points to may lie
    // outside the installation.
    const QFileInfo info(path);
    if (info.isSymLink())
        return QFile::remove(path);
    QDir dir(path);
    if (!dir.exists())
        return true;
    const QFileInfoList entries = dir.entryInfoList(
            QDir::Files | QDir::Hidden | QDir::System | QDir::AllDirs | QDir::NoDotAndDotDot,
            QDir::Name | QDir::DirsFirst);
    for (const QFileInfo &entry : entries) {
        const bool ok = entry.isDir() && !entry.isSymLink() ? removeDirectoryTree(entry.absoluteFilePath())
                                                            : QFile::remove(entry.absoluteFilePath());
        if (!ok)
            return false;
    }
    return QDir().rmdir(path);
}

void UpdateManager::sendCloseRequest(QString version)
{
    TransferLimits limits;
    limits.totalMilliseconds = closeRequestTimeoutMs;
    HttpTransfer *reply = m_downloader->transport()->post(
            QUrl(UpdaterSettings::instance().updateUrl, QUrl::TolerantMode), UpdateDownloader::formContentType(),
            UpdateDownloader::formBody(version, QStringLiteral("CLOSE")), limits);
    ++m_closeRequestsPending;
    // The answer itself is of no interest; only that it came.
    connect(reply, &HttpTransfer::finished, this, [this, reply] {
        reply->deleteLater();
        --m_closeRequestsPending;
        emit closeRequestFinished();
    });
}
