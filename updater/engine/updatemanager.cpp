#include "updatemanager.h"

#include "httptransfer.h"
#include "log.h"
#include "manifest.h"
#include "manifestfetch.h"
#include "keyring.h"
#include "regularfile.h"
#include "digesttext.h"
#include "releasecheck.h"
#include "safepath.h"
#include "stagedfile.h"
#include "updatersettings.h"

#include <QBuffer>
#include <QDateTime>
#include <QDomDocument>
#include <QFileInfo>

namespace {

QString nameOf(const QDomElement &element)
{
    return element.attribute(QStringLiteral("name"));
}

} // namespace

UpdateManager::UpdateManager(QObject *parent)
    : QObject(parent),
      m_diffByUrl(new QMap<QString, DOM_DIFF *>),
      m_destDir(UpdaterSettings::instance().destinationDir),
      m_destination(UpdaterSettings::instance().destinationDir)
{
    LOG_INFO() << QDateTime::currentDateTime().toString(Qt::ISODate) << Qt::endl;

    const UpdaterSettings &settings = UpdaterSettings::instance();
    m_downloader = new UpdateDownloader(settings.updateUrl, this);
    m_downloader->setDestination(&m_destination);
    m_downloader->setFilesUrl(settings.filesUrl);
    m_downloader->setConnections(settings.connections);
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
    // Files never asked for count as failed: nothing is deleted.
    connect(m_downloader, &UpdateDownloader::fileQueueAbandoned, this, [this](int files, QString reason) {
        LOG_ERROR() << QStringLiteral("%1; %2 file(s) not fetched").arg(reason).arg(files) << Qt::endl;
        noteFailure(QStringLiteral("%1 file(s) not fetched").arg(files), reason);
        m_errorCount += files;
        m_filesFailed += files;
    });
}

UpdateManager::~UpdateManager()
{
    if (m_diffs)
        qDeleteAll(*m_diffs);
    delete m_diffs;
    delete m_diffByUrl;
    delete m_roots;
}

bool UpdateManager::isManifestTree(const QDomElement &root) const
{
    // An error page or any other document that happens to be XML describes
    // no tree: acting on it would remove the whole installation.
    for (QDomElement child = root.firstChildElement(); !child.isNull(); child = child.nextSiblingElement()) {
        if (isFile(child) || isDirectory(child))
            return true;
    }
    return false;
}

void UpdateManager::refuse(const QString &reason)
{
    LOG_ERROR() << reason << Qt::endl;
    noteFailure(QString(), reason.section(QStringLiteral(": "), -1));
    m_refused = true;
    if (!m_diffs)
        m_diffs = new QList<DOM_DIFF *>;
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
               << Qt::endl;
}

void UpdateManager::start()
{
    m_clock.start();
    const UpdaterSettings &settings = UpdaterSettings::instance();
    // Parsed here rather than through loadManifestRoots(): the manager must
    // own both documents for the whole run, and a truncated file that fails
    // to parse can still leave a partial tree behind, so only the parse
    // result tells whether a manifest may be acted on.
    // The release's exact bytes: the signature is over them, and they are
    // parsed only once they have passed.
    QString distantError;
    QByteArray distantBytes;
    QFile distantFile(settings.distantManifestPath);
    if (!distantFile.open(QIODevice::ReadOnly))
        distantError = distantFile.errorString();
    else if (distantFile.size() > ManifestFetch::maximumSize)
        distantError = QStringLiteral("larger than %1 bytes").arg(ManifestFetch::maximumSize);
    else
        distantBytes = distantFile.readAll();
    distantFile.close();

    const QString signatureProblem = checkSignature(distantBytes);
    if (!signatureProblem.isEmpty()) {
        refuse(QStringLiteral("distant manifest refused, nothing updated: %1: %2")
                   .arg(settings.distantManifestPath, signatureProblem));
        return;
    }
    if (m_signed)
        LOG_INFO() << QStringLiteral("release signature valid: checked with the publisher's key") << Qt::endl;

    QBuffer distantBuffer(&distantBytes);
    QString localError;
    if (distantError.isEmpty())
        m_distantDocument = readManifestDocument(&distantBuffer, &distantError);
    m_localDocument = readManifestDocument(settings.localManifestPath, &localError);
    m_roots = new QPair<QDomElement, QDomElement>(m_distantDocument.documentElement(),
                                                  m_localDocument.documentElement());
    m_localVersionBefore = m_roots->second.attribute(QStringLiteral("version"));

    // An unreadable release, or one that lists nothing, cannot be told from
    // "everything was removed"; acting on it would delete the installation.
    // Nothing is done, the local manifest stays as it is, and the run ends
    // with one error.
    if (m_roots->first.isNull()) {
        refuse(QStringLiteral("distant manifest unreadable, nothing updated: %1: %2")
                   .arg(settings.distantManifestPath, distantError));
        return;
    }
    if (!isManifestTree(m_roots->first)) {
        refuse(QStringLiteral("distant manifest lists no file or directory, nothing updated: ")
               + settings.distantManifestPath);
        return;
    }
    const QString releaseProblem = checkRelease();
    if (!releaseProblem.isEmpty()) {
        refuse(QStringLiteral("distant manifest refused, nothing updated: %1: %2")
                   .arg(settings.distantManifestPath, releaseProblem));
        return;
    }
    if (m_destination.root().isEmpty()) {
        refuse(QStringLiteral("destination folder missing, nothing updated: ") + settings.destinationDir);
        return;
    }
    // Without a usable local manifest the run starts from an empty tree, so
    // that the saved manifest lists exactly what this run wrote.
    if (m_roots->second.isNull()) {
        LOG_WARN() << QStringLiteral("local manifest missing or unreadable, starting from an empty tree: %1: %2")
                          .arg(settings.localManifestPath, localError)
                   << Qt::endl;
        m_localDocument = QDomDocument();
        m_localDocument.appendChild(m_localDocument.createElement(QStringLiteral("UPDATE_STRUCTURE")));
        m_roots->second = m_localDocument.documentElement();
    }

    m_diffs = compareManifests(m_roots);
    QSet<QString> written; // the folders this run puts files in
    for (DOM_DIFF *diff : qAsConst(*m_diffs)) {
        m_diffByUrl->insert(diff->distant.attribute(QStringLiteral("url")), diff);
        if ((diff->type == NEW || diff->type == CHANGED) && isFile(diff->distant)) {
            if (acceptEntry(diff->distant) && acceptDigest(diff->distant)) {
                m_downloader->addDownload(diff->distant);
                written.insert(getDestDirectory(diff->distant));
            }
        } else if (diff->type == NEW && isDirectory(diff->distant)) {
            const QString path = getDestDirectory(diff->distant) + nameOf(diff->distant);
            QString error;
            if (!acceptEntry(diff->distant)
                || (!m_destDir.exists(path) && !createFolder(path, &error))) {
                // The comparison already copied it into the local tree; it
                // must not be saved as if it had been created.
                diff->local.removeChild(findChildByName(diff->local, nameOf(diff->distant)));
                continue;
            }
        } else if (diff->type == REMOVED && !acceptEntry(diff->local)) {
            // Never deleted; dropped from the tree so that later runs are not
            // held back by it forever.
            diff->local.parentNode().removeChild(diff->local);
        }
    }
    removeLeftovers(written);
    m_downloader->downloadNext();
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
    const UpdaterSettings &settings = UpdaterSettings::instance();
    if (settings.publicKeyPaths.isEmpty()) {
        LOG_WARN() << QStringLiteral("no public key: the release is installed without checking its signature")
                   << Qt::endl;
        return QString();
    }
    // Every key given must be usable: one that is not may be a key the
    // publisher meant to rely on.
    KeyRing keys;
    QString error;
    for (const QString &path : settings.publicKeyPaths) {
        if (!keys.addFile(path, &error))
            return QStringLiteral("public key unusable: ") + error;
    }
    m_signed = true;
    // A missing signature file reads as an empty one: "signature missing".
    QByteArray signature;
    const QString signaturePath = settings.distantManifestPath + QStringLiteral(".sig");
    const RegularFile::Result read = RegularFile::read(signaturePath, 64 * 1024, &signature, &error);
    if (read != RegularFile::Read && read != RegularFile::Missing)
        return QStringLiteral("%1 (%2: %3)").arg(signatureCheckText(SignatureCheck::Missing), signaturePath, error);
    const SignatureCheck check = keys.verify(manifest, signature);
    return check == SignatureCheck::Valid ? QString() : signatureCheckText(check);
}

QString UpdateManager::checkRelease() const
{
    const UpdaterSettings &settings = UpdaterSettings::instance();
    // A replayed older manifest would silently downgrade the installation
    // and delete what the newer release added. The same version is a repair.
    const QFileInfo local(settings.localManifestPath);
    const ReleaseCheck::LocalManifest localManifest = !m_roots->second.isNull() ? ReleaseCheck::LocalManifest::Read
                                                      : local.exists() || local.isSymLink()
                                                          ? ReleaseCheck::LocalManifest::Unreadable
                                                          : ReleaseCheck::LocalManifest::Missing;
    QString problem = ReleaseCheck::versionProblem(m_roots->first.attribute(QStringLiteral("version")),
                                                   m_roots->second.attribute(QStringLiteral("version")), localManifest,
                                                   {m_signed, settings.allowDowngrade});
    if (problem.isEmpty())
        problem = ReleaseCheck::channelProblem(m_roots->first, settings.channel);
    return problem.isEmpty() ? ReleaseCheck::expiryProblem(m_roots->first, QDateTime::currentDateTimeUtc()) : problem;
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

DOM_DIFF *UpdateManager::recordFor(const QDomElement &distant) const
{
    // Two files may share a "url"; the map then holds the later one, and the
    // element itself tells which record is meant.
    DOM_DIFF *diff = m_diffByUrl->value(distant.attribute(QStringLiteral("url")));
    if (diff && diff->distant == distant)
        return diff;
    if (m_diffs) {
        for (DOM_DIFF *d : qAsConst(*m_diffs)) {
            if (d->distant == distant)
                return d;
        }
    }
    return diff;
}

void UpdateManager::downloadStart(QDomElement elt, int remainingDownloads)
{
    Q_UNUSED(remainingDownloads)
    m_currentElement = elt;
    m_lastReason.clear();
}

void UpdateManager::downloadFinished(QDomElement distant, QFile *file)
{
    DOM_DIFF *diff = recordFor(distant);
    const bool ok = diff && writeFile(distant, file);
    if (ok) {
        ++m_filesFetched;
        m_bytesWritten += elementSize(distant).toLongLong();
        LOG_INFO() << nameOf(m_currentElement) + QStringLiteral(" written.") << Qt::endl;
        updateElement(distant, diff->local);
    } else {
        if (!diff)
            delete file;
        LOG_ERROR() << nameOf(m_currentElement) + QStringLiteral(" file writing error.") << Qt::endl;
        noteFailure(elementPath(distant), m_lastReason);
        ++m_errorCount;
        ++m_filesFailed;
    }
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
    DOM_DIFF *diff = recordFor(distant);
    if (!diff)
        return;
    if (diff->type == NEW) {
        diff->local.appendChild(diff->local.ownerDocument().importNode(diff->distant, true));
    } else if (diff->type == CHANGED) {
        // An attribute the release lacks is dropped rather than set empty:
        // an empty "version" reads differently from a missing one ("0"), and
        // every later run would fetch the file again.
        for (const char *attribute : {"name", "crc", "date", "version", "url", "size", "sha256"}) {
            const QString key = QString::fromLatin1(attribute);
            if (distant.hasAttribute(key))
                local.setAttribute(key, distant.attribute(key));
            else
                local.removeAttribute(key);
        }
    }
}

void UpdateManager::downloadFailed(QDomElement elt)
{
    noteFailure(elementPath(elt), m_lastReason);
    ++m_errorCount;
    ++m_filesFailed;
    emit fileDownloadFailed(elt);
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
    if (m_refused) {
        emit fileDownloadsFinished(m_errorCount);
        return;
    }
    if (m_errorCount == 0) {
        for (DOM_DIFF *diff : qAsConst(*m_diffs)) {
            if (diff->type == REMOVED)
                deleteItem(diff);
        }
    }

    QDomElement distantRoot = m_roots->first;
    QDomElement localRoot = m_roots->second;
    QString version = distantRoot.attribute(QStringLiteral("version"));
    if (m_errorCount != 0)
        version += QStringLiteral("__") + QString::number(m_errorCount);
    localRoot.setAttribute(QStringLiteral("version"), version);
    Manifest manifest(localRoot);
    localRoot.setAttribute(QStringLiteral("crc"), manifest.globalChecksum());

    // What the saved manifest lists must be on disk for good before it says
    // so; a file whose data is lost in a power cut is then fetched again.
    QString syncError;
    if (!m_destination.sync(&syncError))
        LOG_WARN() << QStringLiteral("cannot flush the destination folder: ") + syncError << Qt::endl;

    const QString path = UpdaterSettings::instance().localManifestPath;
    QString saveError;
    if (!saveManifestRoot(path, localRoot, &saveError)) {
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
    logSummary(m_downloader->isCancelled()         ? QStringLiteral("cancelled")
               : m_downloader->serverUnreachable() ? QStringLiteral("server unreachable")
                                                   : QStringLiteral("finished"));
    emit fileDownloadsFinished(m_errorCount);
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
