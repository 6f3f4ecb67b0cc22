#include "updatemanager.h"

#include "httptransfer.h"
#include "keyring.h"
#include "log.h"
#include "manifest.h"
#include "manifestfetch.h"
#include "manifestreader.h"
#include "nativename.h"
#include "digesttext.h"
#include "regularfile.h"
#include "releasecheck.h"
#include "releasenotes.h"
#include "repairscan.h"
#include "safepath.h"
#include "stagedfile.h"
#include "updatecheck.h"
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

// The most memory the process has held (its peak resident set), in MiB;
// -1 where the system does not say.
qint64 peakMemoryMiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong() / 1024;
    }
    return -1;
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

// What the local tree lists below a directory node, as listedBelow() does
// for an element.
QSet<QString> listedBelow(const ManifestTree &tree, ManifestTree::Node directory, const QString &prefix = QString(),
                          QSet<QString> *listed = nullptr)
{
    QSet<QString> own;
    if (!listed)
        listed = &own;
    for (ManifestTree::Node child = tree.firstChild(directory); child != ManifestTree::kNone;
         child = tree.nextSibling(child)) {
        const QString path = prefix + tree.attributeText(child, ManifestTree::NameAttribute);
        if (tree.isDirectory(child)) {
            listed->insert(path + QLatin1Char('/'));
            listedBelow(tree, child, path + QLatin1Char('/'), listed);
        } else if (tree.isFile(child)) {
            listed->insert(path);
        }
    }
    return own;
}

} // namespace

UpdateManager::UpdateManager(QObject *parent)
    : QObject(parent),
      m_destDir(UpdaterSettings::instance().destinationDir),
      m_destination(UpdaterSettings::instance().destinationDir)
{
    const UpdaterSettings &settings = UpdaterSettings::instance();
    m_checkOnly = settings.checkOnly;
    m_repair = settings.repair;
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
    noteFailure(QString(), reason);
    // Refused before the local manifest was read: its version is still
    // worth saying in the summary. Its root element is all that is read.
    if (!m_roots && m_localVersionBefore.isEmpty()) {
        QFile local(UpdaterSettings::instance().localManifestPath);
        ManifestTree root;
        if (local.open(QIODevice::ReadOnly) && ManifestReader(&local, QStringLiteral("manifest")).readRoot(&root))
            m_localVersionBefore = root.attributeText(root.root(), ManifestTree::VersionAttribute);
    }
    m_refused = true;
    ++m_errorCount;
    m_finished = true;
    m_runLock.release();
    logSummary(QStringLiteral("refused"));
    if (m_checkOnly) {
        emit checkFinished(UpdateCheck::failure(QStringLiteral("refused"), reason, summary().distantVersion,
                                                m_localVersionBefore),
                           UpdateCheck::Failed);
        return;
    }
    emit fileDownloadsFinished(m_errorCount);
}

void UpdateManager::standDown(const QString &reason)
{
    LOG_INFO() << reason << Qt::endl;
    m_finished = true;
    m_runLock.release();
    logSummary(QStringLiteral("not yet offered"));
    emit fileDownloadsFinished(m_errorCount);
}

void UpdateManager::logSummary(const QString &ending)
{
    m_ending = ending;
    const RunSummary run = summary();
    LOG_INFO() << run.logText() << Qt::endl;
    // A check is no run: the history lists what changed installations.
    if (m_checkOnly)
        return;
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
    run.bytesToWrite = m_bytesToWrite;
    run.peakMemoryMiB = peakMemoryMiB();
    for (const Failure &failure : m_failures)
        run.failures.append({failure.entry, failure.reason});
    run.repaired = m_repaired;
    return run;
}

void UpdateManager::start()
{
    m_clock.start();
    const UpdaterSettings &settings = UpdaterSettings::instance();
    // One run at a time: two at once interleave their files, and the
    // manifest saved last describes neither. The lock file lies beside the
    // local manifest; the lock is held until the manifest is saved.
    // A check changes nothing, the lock file included.
    const QFileInfo localFile(settings.localManifestPath);
    const platform::Result locked = m_checkOnly ? platform::Result() : m_runLock.acquire(
            NativeName::of(localFile.absolutePath() + QStringLiteral("/.") + localFile.fileName() + QStringLiteral(".lock")));
    if (!locked) {
        refuse(locked.kind() == platform::Result::Kind::Busy
                       ? QStringLiteral("another update is running")
                       : QStringLiteral("cannot take the run lock, nothing updated: ") + NativeName::errorOf(locked));
        return;
    }
    // With a key, the release's exact bytes are checked first and parsed
    // from memory: the signature is over them. Without one, the file is
    // parsed as it streams in, and a release that is refused is never read
    // past its root element.
    QString distantError;
    QByteArray distantBytes;
    QFile distantFile(settings.distantManifestPath);
    const bool signedRelease = !settings.publicKeyPaths.isEmpty();
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
    if (m_signed)
        LOG_INFO() << QStringLiteral("release signature valid: checked with the publisher's key") << Qt::endl;

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
    // A staged rollout decides before the release is read further; a
    // repair restores the installed version, which was offered.
    if (!m_repair) {
        m_rollout = Rollout::decide(m_roots->first, localFile.absolutePath(), !m_checkOnly, settings.ignoreRollout);
        if (m_rollout.ignored)
            LOG_INFO() << QStringLiteral("rollout at %1 % ignored (--ignore_rollout)").arg(m_rollout.percent) << Qt::endl;
        if (m_rollout.state == Rollout::Decision::NotOffered && !m_checkOnly) {
            standDown(m_rollout.reason);
            return;
        }
    }
    if (m_fetchNotes && !m_checkOnly && m_roots->first.hasAttribute(QStringLiteral("notes_url"))) {
        m_notes = new ReleaseNotes(m_downloader->transport(), settings.updateUrl, settings.filesUrl, this);
        connect(m_notes, &ReleaseNotes::finished, this, [this] {
            if (!m_notes->isAvailable())
                LOG_WARN() << QStringLiteral("release notes not shown: ") + m_notes->errorString() << Qt::endl;
        });
        if (!m_notes->start(m_roots->first, m_signed, settings.timeoutSeconds * 1000))
            LOG_WARN() << QStringLiteral("release notes not shown: ") + m_notes->errorString() << Qt::endl;
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
    if (m_destination.root().isEmpty() && !m_checkOnly) {
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
    if (m_repair)
        findDamage();
    if (m_checkOnly) {
        reportCheck();
        return;
    }
    m_distantElements = std::make_unique<ManifestElements>(&m_update->distant());
    m_localElements = std::make_unique<ManifestElements>(&m_update->local());
    const ManifestTree &distant = m_update->distant();
    checkNames(distant.root(), QString());
    findFoldersReplacingFiles(distant.root(), m_update->local().root(), QString());
    const std::vector<TreeComparison::Difference> &diffs = m_update->differences();
    QSet<QString> written; // the folders this run puts files in
    double queuedBytes = 0;
    for (size_t i = 0; i < diffs.size(); ++i) {
        const TreeComparison::Difference &diff = diffs[i];
        // The checks see an element made for the entry alone, never a
        // whole tree.
        if ((diff.type == NEW || diff.type == CHANGED) && distant.isFile(diff.distant)) {
            const QDomElement element = m_distantElements->element(diff.distant);
            if (acceptEntry(element) && acceptName(element) && acceptDigest(element)) {
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
            const bool accepted = acceptEntry(element) && acceptName(element);
            m_distantElements->release(element);
            if (accepted && belowReplacedFile(path)) {
                // Made at the end, once the file in its way has gone.
                m_foldersBelowReplacedFiles.append(i);
                continue;
            }
            QString error;
            // The comparison already copied it into the local tree; it
            // must not be saved as if it had been created.
            if (!accepted || (!m_destination.existingFolder(path, &error).isOpen() && !createFolder(path, &error)))
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
    m_bytesToWrite = qint64(queuedBytes);
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
    if (problem.isEmpty())
        problem = Rollout::problem(m_roots->first);
    // A repair fetches from the release the installation is at, whatever
    // the key: files of another version are not a repair.
    int order = 0;
    const QString distantVersion = m_roots->first.attribute(QStringLiteral("version"));
    const QString localVersion = m_roots->second.attribute(QStringLiteral("version"));
    if (problem.isEmpty() && m_repair && localManifest != ReleaseCheck::LocalManifest::Read)
        problem = QStringLiteral("nothing to repair: the local manifest is missing or unreadable");
    else if (problem.isEmpty() && m_repair && (!ReleaseCheck::compareVersions(distantVersion, localVersion, &order) || order != 0))
        problem = QStringLiteral("a repair needs the release of the installed version %1, not %2").arg(localVersion, distantVersion);
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

void UpdateManager::checkNames(ManifestTree::Node directory, const QString &path)
{
    const ManifestTree &tree = m_update->distant();
    // The first of two names that differ only in case is the one Windows
    // would keep.
    QHash<QString, QString> seen;
    for (ManifestTree::Node child = tree.firstChild(directory); child != ManifestTree::kNone;
         child = tree.nextSibling(child)) {
        if (!tree.isFile(child) && !tree.isDirectory(child))
            continue;
        const QString name = tree.attributeText(child, ManifestTree::NameAttribute);
        const QString childPath = path.isEmpty() ? name : path + QLatin1Char('/') + name;
        const QString problem = WindowsNames::problemInFolder(name, &seen);
        if (!problem.isEmpty())
            m_nameProblems.insert(childPath, problem);
        if (tree.isDirectory(child))
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

void UpdateManager::findFoldersReplacingFiles(ManifestTree::Node distant, ManifestTree::Node local,
                                              const QString &path)
{
    const ManifestTree &distantTree = m_update->distant();
    const ManifestTree &localTree = m_update->local();
    if (distant == ManifestTree::kNone || local == ManifestTree::kNone)
        return;
    QHash<QString, ManifestTree::Node> localByName;
    for (ManifestTree::Node child = localTree.firstChild(local); child != ManifestTree::kNone;
         child = localTree.nextSibling(child)) {
        const QString name = localTree.attributeText(child, ManifestTree::NameAttribute);
        if (localTree.isElement(child) && !localByName.contains(name))
            localByName.insert(name, child);
    }
    for (ManifestTree::Node child = distantTree.firstChild(distant); child != ManifestTree::kNone;
         child = distantTree.nextSibling(child)) {
        if (!distantTree.isDirectory(child))
            continue;
        const QString name = distantTree.attributeText(child, ManifestTree::NameAttribute);
        const QString childPath = path.isEmpty() ? name : path + QLatin1Char('/') + name;
        if (!isSafeEntryName(name))
            continue;
        const ManifestTree::Node installed = localByName.value(name, ManifestTree::kNone);
        if (installed == ManifestTree::kNone)
            continue;
        if (localTree.isFile(installed)) {
            // A file the local manifest lists: it may go, but only once
            // something of the new folder is ready.
            m_replacedFiles.append(qMakePair(installed, childPath));
            m_destination.allowFolderInPlaceOfFile(childPath);
        } else if (localTree.isDirectory(installed)) {
            findFoldersReplacingFiles(child, installed, childPath);
        }
    }
}

bool UpdateManager::belowReplacedFile(const QString &path) const
{
    for (const auto &file : m_replacedFiles) {
        if (path == file.second || path.startsWith(file.second + QLatin1Char('/')))
            return true;
    }
    return false;
}

void UpdateManager::finishFoldersReplacingFiles()
{
    QStringList stillFiles;
    for (const auto &file : qAsConst(m_replacedFiles)) {
        const QString &path = file.second;
        QString error;
        // A file placed below it made the folder; otherwise, in a run
        // without errors, the folder is made now (it holds only folders).
        bool folder = m_destination.existingFolder(path, &error).isOpen();
        if (!folder && m_errorCount == 0)
            folder = createFolder(path, &error);
        if (folder) {
            m_update->makeDirectory(file.first);
        } else {
            // Still the installed file: nothing of the folder is recorded.
            m_update->dropChildren(file.first);
            stillFiles << path;
        }
    }
    const ManifestTree &distant = m_update->distant();
    for (const size_t i : qAsConst(m_foldersBelowReplacedFiles)) {
        const ManifestTree::Node node = m_update->differences()[i].distant;
        const QString path = distant.folder(node) + distant.attributeText(node, ManifestTree::NameAttribute);
        bool gone = false;
        for (const QString &file : qAsConst(stillFiles))
            gone = gone || path.startsWith(file + QLatin1Char('/'));
        QString error;
        if (!gone && !m_destination.existingFolder(path, &error).isOpen() && !createFolder(path, &error))
            m_update->dropDirectoryCopy(i);
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
        if (m_damage.contains(quint32(diff)))
            m_repaired << QStringLiteral("%1 (%2)").arg(elementPath(distant), m_damage.value(quint32(diff)));
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
    const int diff = recordFor(distant);
    const ManifestTree &local = m_update->local();
    const TreeComparison::Difference *record = diff >= 0 ? &m_update->differences()[size_t(diff)] : nullptr;
    if (record && record->type == CHANGED && local.isDirectory(record->local)) {
        QStringList kept;
        if (!m_destination.removeFolder(dir.chopped(dir.isEmpty() ? 0 : 1), nameOf(distant),
                                        listedBelow(local, record->local), true, &kept, &error)) {
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
    finishFoldersReplacingFiles();
    // A repair restores; what the release does not list stays.
    if (m_errorCount == 0 && !m_repair) {
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
    // Staged beside the file and renamed over it: a link there is replaced,
    // never written through, and a crash leaves the old manifest or the
    // whole new one. Every write is checked as it is made, so a disk that
    // fills up never lets a cut-short manifest be committed.
    const QFileInfo target(path);
    StagedFile staged;
    const bool saved = staged.create(target.absolutePath()) && m_update->write(&staged, &saveError)
        && !staged.writeFailed() && staged.flushToDisk() && staged.commit(target.fileName());
    // The run is over on disk: another may start.
    m_runLock.release();
    if (!saved) {
        if (saveError.isEmpty() || staged.writeFailed())
            saveError = staged.errorString();
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

void UpdateManager::findDamage()
{
    // What the comparison fetches anyway is not read again.
    QSet<ManifestTree::Node> fetched;
    for (const TreeComparison::Difference &difference : m_update->differences()) {
        if (difference.type == CHANGED)
            fetched.insert(difference.local);
    }
    const std::vector<RepairScan::Damage> damage =
        RepairScan::run(m_update->distant(), m_update->local(), m_destination, fetched);
    for (const RepairScan::Damage &file : damage) {
        LOG_INFO() << QStringLiteral("%1 damaged (%2): fetched again").arg(file.path, file.reason) << Qt::endl;
        m_damage.insert(quint32(m_update->addChanged(file.distant, file.local)), file.reason);
    }
    LOG_INFO() << QStringLiteral("repair: %1 damaged file(s) found").arg(damage.size()) << Qt::endl;
}

void UpdateManager::reportCheck()
{
    const UpdaterSettings &settings = UpdaterSettings::instance();
    UpdateCheck::Release release;
    release.update = m_update.get();
    release.destination = &m_destination;
    release.distantRoot = m_roots->first;
    release.localVersion = m_localVersionBefore;
    release.signedRelease = m_signed;
    release.repair = m_repair;
    release.damage = m_damage;
    release.rollout = m_rollout;
    release.client = m_downloader->transport();
    release.updateUrl = settings.updateUrl;
    release.filesUrl = settings.filesUrl;
    release.timeoutMs = settings.timeoutSeconds * 1000;
    QByteArray report;
    const int status = UpdateCheck::report(release, &report);
    m_finished = true;
    emit checkFinished(report, status);
}
