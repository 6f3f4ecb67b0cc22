#include "updatemanager.h"

#include "httptransfer.h"
#include "log.h"
#include "manifest.h"
#include "manifestfetch.h"
#include "keyring.h"
#include "regularfile.h"
#include "nativename.h"
#include "publickey.h"
#include "digesttext.h"
#include "releasecheck.h"
#include "safepath.h"
#include "stagedfile.h"
#include "updatersettings.h"
#include "windowsnames.h"

#include <QBuffer>
#include <QDateTime>
#include <QDomDocument>
#include <QFileInfo>

namespace {

QString nameOf(const QDomElement &element)
{
    return element.attribute(QStringLiteral("name"));
}

// What the manifest lists below a directory element: files by their path
// relative to it, folders with a final "/".
void collectListed(const QDomElement &directory, const QString &prefix, QSet<QString> *listed)
{
    for (QDomElement child = directory.firstChildElement(); !child.isNull(); child = child.nextSiblingElement()) {
        const QString path = prefix + nameOf(child);
        if (isDirectory(child)) {
            listed->insert(path + QLatin1Char('/'));
            collectListed(child, path + QLatin1Char('/'), listed);
        } else if (isFile(child)) {
            listed->insert(path);
        }
    }
}

QSet<QString> listedBelow(const QDomElement &directory)
{
    QSet<QString> listed;
    collectListed(directory, QString(), &listed);
    return listed;
}

// Staged beside the file and renamed over it: a link there is replaced,
// never written through, and a crash leaves the old manifest or the whole
// new one.
bool saveLocalManifest(const QString &path, const QDomElement &root, QString *error)
{
    const QFileInfo target(path);
    StagedFile file;
    if (file.create(target.absolutePath()) && writeManifestRoot(&file, root) && !file.writeFailed()
        && file.flushToDisk() && file.commit(target.fileName()))
        return true;
    *error = file.errorString();
    return false;
}

} // namespace

UpdateManager::UpdateManager(QObject *parent)
    : QObject(parent),
      m_diffByUrl(new QMap<QString, DOM_DIFF *>),
      m_destDir(UpdaterSettings::instance().destinationDir),
      m_destination(UpdaterSettings::instance().destinationDir)
{
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
    noteFailure(QString(), reason);
    // Refused before the local manifest was read: its version is still
    // worth saying in the summary.
    if (!m_roots && m_localVersionBefore.isEmpty())
        m_localVersionBefore = readManifestDocument(UpdaterSettings::instance().localManifestPath)
                                   .documentElement()
                                   .attribute(QStringLiteral("version"));
    m_refused = true;
    if (!m_diffs)
        m_diffs = new QList<DOM_DIFF *>;
    ++m_errorCount;
    m_finished = true;
    m_runLock.release();
    logSummary(QStringLiteral("refused"));
    emit fileDownloadsFinished(m_errorCount);
}

void UpdateManager::logSummary(const QString &ending)
{
    m_ending = ending;
    const RunSummary run = summary();
    LOG_INFO() << run.logText() << Qt::endl;
    Logging::RunHistory::Run line = run.historyRun();
    line.ended = QDateTime::currentDateTime();
    Logging::RunHistory::instance().append(line);
}

RunSummary UpdateManager::summary() const
{
    RunSummary run;
    run.ending = m_ending;
    run.errors = m_errorCount;
    run.distantVersion = m_roots ? m_roots->first.attribute(QStringLiteral("version")) : QString();
    run.localVersionBefore = m_localVersionBefore;
    run.filesFetched = m_filesFetched;
    run.filesFailed = m_filesFailed;
    run.entriesDeleted = m_entriesDeleted;
    run.bytesWritten = m_bytesWritten;
    run.bytesTransferred = m_downloader->bytesTransferred();
    run.bytesSaved = m_downloader->bytesSaved();
    run.seconds = m_clock.isValid() ? m_clock.elapsed() / 1000.0 : 0.0;
    if (m_diffs) {
        for (const DOM_DIFF *diff : qAsConst(*m_diffs)) {
            if ((diff->type == NEW || diff->type == CHANGED) && isFile(diff->distant))
                run.bytesToWrite += elementSize(diff->distant).toLongLong();
        }
    }
    for (const Failure &failure : m_failures)
        run.failures.append({failure.entry, failure.reason});
    return run;
}

void UpdateManager::start()
{
    m_clock.start();
    const UpdaterSettings &settings = UpdaterSettings::instance();
    // One run at a time: two at once interleave their files, and the
    // manifest saved last describes neither. The lock file lies beside the
    // local manifest; the lock is held until the manifest is saved.
    const QFileInfo localFile(settings.localManifestPath);
    const platform::Result locked = m_runLock.acquire(
            NativeName::of(localFile.absolutePath() + QStringLiteral("/.") + localFile.fileName() + QStringLiteral(".lock")));
    if (!locked) {
        refuse(locked.kind() == platform::Result::Kind::Busy
                       ? QStringLiteral("another update is running")
                       : QStringLiteral("cannot take the run lock, nothing updated: ") + NativeName::errorOf(locked));
        return;
    }
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
    checkNames(m_roots->first, QString());
    findFoldersReplacingFiles(m_roots->first, m_roots->second, QString());
    QSet<QString> written; // the folders this run puts files in
    for (DOM_DIFF *diff : qAsConst(*m_diffs)) {
        m_diffByUrl->insert(diff->distant.attribute(QStringLiteral("url")), diff);
        if ((diff->type == NEW || diff->type == CHANGED) && isFile(diff->distant)) {
            if (acceptEntry(diff->distant) && acceptName(diff->distant) && acceptDigest(diff->distant)) {
                m_downloader->addDownload(diff->distant);
                written.insert(getDestDirectory(diff->distant));
            }
        } else if (diff->type == NEW && isDirectory(diff->distant)) {
            const QString path = getDestDirectory(diff->distant) + nameOf(diff->distant);
            const bool accepted = acceptEntry(diff->distant) && acceptName(diff->distant);
            if (accepted && belowReplacedFile(path)) {
                // Made at the end, once the file in its way has gone.
                m_foldersBelowReplacedFiles.append(diff);
                continue;
            }
            QString error;
            if (!accepted || (!m_destination.existingFolder(path, &error).isOpen() && !createFolder(path, &error))) {
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
        const DestinationFolder::Folder folder = m_destination.existingFolder(dir, &error);
        if (folder.isOpen())
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
    if (m_destination.makeFolder(path, error).isOpen())
        return true;
    LOG_ERROR() << QStringLiteral("directory not created: ") + *error << Qt::endl;
    noteFailure(path, *error);
    ++m_errorCount;
    return false;
}

void UpdateManager::checkNames(const QDomElement &directory, const QString &path)
{
    // The first of two names that differ only in case is the one Windows
    // would keep.
    QHash<QString, QString> seen;
    for (QDomElement child = directory.firstChildElement(); !child.isNull(); child = child.nextSiblingElement()) {
        if (!isFile(child) && !isDirectory(child))
            continue;
        const QString name = nameOf(child);
        const QString childPath = path.isEmpty() ? name : path + QLatin1Char('/') + name;
        const QString problem = WindowsNames::problemInFolder(name, &seen);
        if (!problem.isEmpty())
            m_nameProblems.insert(childPath, problem);
        if (isDirectory(child))
            checkNames(child, childPath);
    }
}

bool UpdateManager::acceptName(const QDomElement &element)
{
    const QString path = elementPath(element);
    const QString problem = m_nameProblems.value(path);
    if (problem.isEmpty())
        return true;
    if (WindowsNames::refusedHere()) {
        LOG_ERROR() << QStringLiteral("a name Windows cannot hold, not installed: %1 (%2)").arg(path, problem) << Qt::endl;
        noteFailure(path, problem);
        ++m_errorCount;
        return false;
    }
    LOG_WARN() << QStringLiteral("a name Windows cannot hold: %1 (%2)").arg(path, problem) << Qt::endl;
    return true;
}

void UpdateManager::findFoldersReplacingFiles(const QDomElement &distant, const QDomElement &local, const QString &path)
{
    QHash<QString, QDomElement> localByName;
    for (QDomElement child = local.firstChildElement(); !child.isNull(); child = child.nextSiblingElement()) {
        if (!localByName.contains(nameOf(child)))
            localByName.insert(nameOf(child), child);
    }
    for (QDomElement child = distant.firstChildElement(); !child.isNull(); child = child.nextSiblingElement()) {
        if (!isDirectory(child) || !isSafeEntryPath(child))
            continue;
        const QString childPath = path.isEmpty() ? nameOf(child) : path + QLatin1Char('/') + nameOf(child);
        const QDomElement installed = localByName.value(nameOf(child));
        if (isFile(installed)) {
            // A file the local manifest lists: it may go, but only once
            // something of the new folder is ready.
            m_replacedFiles.append(installed);
            m_destination.allowFolderInPlaceOfFile(childPath);
        } else if (isDirectory(installed)) {
            findFoldersReplacingFiles(child, installed, childPath);
        }
    }
}

bool UpdateManager::belowReplacedFile(const QString &path) const
{
    for (const QDomElement &file : m_replacedFiles) {
        const QString replaced = elementPath(file);
        if (path == replaced || path.startsWith(replaced + QLatin1Char('/')))
            return true;
    }
    return false;
}

void UpdateManager::finishFoldersReplacingFiles()
{
    QStringList stillFiles;
    for (QDomElement file : qAsConst(m_replacedFiles)) {
        const QString path = elementPath(file);
        QString error;
        // A file placed below it made the folder; otherwise, in a run
        // without errors, the folder is made now (it holds only folders).
        bool folder = m_destination.existingFolder(path, &error).isOpen();
        if (!folder && m_errorCount == 0)
            folder = createFolder(path, &error);
        if (folder) {
            file.setTagName(QStringLiteral("directory"));
            const QDomNamedNodeMap attributes = file.attributes();
            QStringList names;
            for (int i = 0; i < attributes.count(); ++i)
                names << attributes.item(i).nodeName();
            for (const QString &attribute : qAsConst(names)) {
                if (attribute != QLatin1String("name"))
                    file.removeAttribute(attribute);
            }
        } else {
            // Still the installed file: nothing of the folder is recorded.
            while (!file.firstChildElement().isNull())
                file.removeChild(file.firstChildElement());
            stillFiles << path;
        }
    }
    for (DOM_DIFF *diff : qAsConst(m_foldersBelowReplacedFiles)) {
        const QString path = getDestDirectory(diff->distant) + nameOf(diff->distant);
        bool gone = false;
        for (const QString &file : qAsConst(stillFiles))
            gone = gone || path.startsWith(file + QLatin1Char('/'));
        QString error;
        if (!gone && !m_destination.existingFolder(path, &error).isOpen() && !createFolder(path, &error))
            diff->local.removeChild(findChildByName(diff->local, nameOf(diff->distant)));
    }
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

    // The folder is reached again, level by level: one that became a link
    // or was swapped since the file was staged is refused.
    QString error;
    const DestinationFolder::Folder folder = m_destination.makeFolder(dir, &error);
    if (!folder.isOpen()) {
        m_lastReason = error;
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

    // An installed folder gives way to the file only when the local
    // manifest lists everything in it.
    const DOM_DIFF *diff = recordFor(distant);
    if (diff && diff->type == CHANGED && isDirectory(diff->local)) {
        QStringList kept;
        if (!m_destination.removeFolder(dir.chopped(dir.isEmpty() ? 0 : 1), nameOf(distant), listedBelow(diff->local),
                                        true, &kept, &error)) {
            m_lastReason = kept.isEmpty() ? error
                                          : QStringLiteral("the folder %1 holds entries no manifest lists: %2%3")
                                                    .arg(target, kept.mid(0, 5).join(QStringLiteral(", ")),
                                                         kept.size() > 5 ? QStringLiteral(", ...") : QString());
            LOG_ERROR() << "error copying file" << m_lastReason;
            return false;
        }
    }

    if (!staged->commit(folder, nameOf(distant))) {
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
    } else if (diff->type == CHANGED && isDirectory(local)) {
        // A folder that became a file.
        const QDomElement file = local.ownerDocument().importNode(distant, true).toElement();
        local.parentNode().replaceChild(file, local);
        diff->local = file;
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
    finishFoldersReplacingFiles();
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
    const bool saved = saveLocalManifest(path, localRoot, &saveError);
    // The run is over on disk: another may start.
    m_runLock.release();
    if (!saved) {
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
    // The entry's folder is reached level by level inside the installation;
    // through a link, or a folder swapped during the run, nothing is
    // deleted, and the run counts it.
    QString error;
    bool missing = false;
    const QString dir = getDestDirectory(e);
    if (!m_destination.existingFolder(dir, &error, &missing).isOpen() && !missing) {
        LOG_ERROR() << QStringLiteral("not deleted: ") + error << Qt::endl;
        noteFailure(elementPath(e), error);
        ++m_errorCount;
        return;
    }
    if (!missing) {
        // A folder loses only what the local manifest lists; it goes itself
        // only when nothing else is left in it.
        QStringList kept;
        const bool removed = isFile(e) ? m_destination.removeFile(dir, nameOf(e), &error)
                                       : m_destination.removeFolder(dir.chopped(dir.isEmpty() ? 0 : 1), nameOf(e),
                                                                    listedBelow(e), false, &kept, &error);
        for (const QString &entry : qAsConst(kept))
            LOG_INFO() << QStringLiteral("%1/%2: not listed in the local manifest, left in place").arg(elementPath(e), entry)
                       << Qt::endl;
        if (removed)
            ++m_entriesDeleted;
        else if (!error.isEmpty())
            LOG_WARN() << QStringLiteral("not deleted: ") + error << Qt::endl;
    }
    e.parentNode().removeChild(e);
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
