#include "updatemanager.h"

#include "filechecksum.h"
#include "filereplace.h"
#include "log.h"
#include "manifest.h"
#include "safepath.h"
#include "updatersettings.h"

#include <QDateTime>
#include <QDomDocument>
#include <QFileInfo>
#include <QSaveFile>

namespace {

QString nameOf(const QDomElement &element)
{
    return element.attribute(QStringLiteral("name"));
}

} // namespace

UpdateManager::UpdateManager(QObject *parent)
    : QObject(parent),
      m_diffByUrl(new QMap<QString, DOM_DIFF *>),
      m_destDir(UpdaterSettings::instance().destinationDir)
{
    LOG_INFO() << QDateTime::currentDateTime().toString(Qt::ISODate) << Qt::endl;

    m_downloader = new UpdateDownloader(UpdaterSettings::instance().updateUrl, this);
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
}

UpdateManager::~UpdateManager()
{
    if (m_diffs)
        qDeleteAll(*m_diffs);
    delete m_diffs;
    delete m_diffByUrl;
    delete m_roots;
}

void UpdateManager::start()
{
    const UpdaterSettings &settings = UpdaterSettings::instance();
    // Parsed here rather than through loadManifestRoots(): the manager must
    // own both documents for the whole run, and a truncated file that fails
    // to parse can still leave a partial tree behind, so only the parse
    // result tells whether a manifest may be acted on.
    QFile distantFile(settings.distantManifestPath);
    QFile localFile(settings.localManifestPath);
    const bool distantParsed = m_distantDocument.setContent(&distantFile);
    const bool localParsed = m_localDocument.setContent(&localFile);
    distantFile.close();
    localFile.close();
    m_roots = new QPair<QDomElement, QDomElement>(m_distantDocument.documentElement(),
                                                  m_localDocument.documentElement());

    // An unreadable or empty release cannot be told from "everything was
    // removed"; acting on it would delete the installation. Nothing is done,
    // the local manifest stays as it is, and the run ends with one error.
    if (!distantParsed || m_roots->first.firstChildElement().isNull()) {
        LOG_ERROR() << QStringLiteral("distant manifest unreadable or empty, nothing updated: ")
                           + settings.distantManifestPath
                    << Qt::endl;
        m_refused = true;
        m_diffs = new QList<DOM_DIFF *>;
        ++m_errorCount;
        emit fileDownloadsFinished(m_errorCount);
        return;
    }
    // Without a usable local manifest the run starts from an empty tree, so
    // that the saved manifest lists exactly what this run wrote.
    if (!localParsed || m_roots->second.isNull()) {
        LOG_WARN() << QStringLiteral("local manifest missing or unreadable, starting from an empty tree: ")
                          + settings.localManifestPath
                   << Qt::endl;
        m_localDocument = QDomDocument();
        m_localDocument.appendChild(m_localDocument.createElement(QStringLiteral("UPDATE_STRUCTURE")));
        m_roots->second = m_localDocument.documentElement();
    }

    m_diffs = compareManifests(m_roots);
    for (DOM_DIFF *diff : qAsConst(*m_diffs)) {
        m_diffByUrl->insert(diff->distant.attribute(QStringLiteral("url")), diff);
        if ((diff->type == NEW || diff->type == CHANGED) && isFile(diff->distant)) {
            if (acceptEntry(diff->distant))
                m_downloader->addDownload(diff->distant);
        } else if (diff->type == NEW && isDirectory(diff->distant)) {
            if (!acceptEntry(diff->distant)) {
                // The comparison already copied it into the local tree; it
                // must not be saved as if it had been created.
                diff->local.removeChild(findChildByName(diff->local, nameOf(diff->distant)));
                continue;
            }
            const QString path = getDestDirectory(diff->distant) + nameOf(diff->distant);
            if (!path.isEmpty() && !m_destDir.exists(path)) {
                LOG_INFO() << nameOf(diff->distant) + QStringLiteral(" written.") << Qt::endl;
                m_destDir.mkpath(path);
            }
        } else if (diff->type == REMOVED && !acceptEntry(diff->local)) {
            // Never deleted; dropped from the tree so that later runs are not
            // held back by it forever.
            diff->local.parentNode().removeChild(diff->local);
        }
    }
    m_downloader->downloadNext();
}

bool UpdateManager::acceptEntry(const QDomElement &element)
{
    if (isSafeEntryPath(element))
        return true;
    LOG_ERROR() << QStringLiteral("unsafe entry path, not touched: ") + elementPath(element) << Qt::endl;
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
}

void UpdateManager::downloadFinished(QDomElement distant, QFile *file)
{
    DOM_DIFF *diff = recordFor(distant);
    const bool ok = diff && writeFile(distant, file);
    if (ok) {
        LOG_INFO() << nameOf(m_currentElement) + QStringLiteral(" written.") << Qt::endl;
        updateElement(distant, diff->local);
    } else {
        if (!diff)
            delete file;
        LOG_ERROR() << nameOf(m_currentElement) + QStringLiteral(" file writing error.") << Qt::endl;
        ++m_errorCount;
    }
}

QString UpdateManager::getDestDirectory(QDomElement elt)
{
    const QDomElement parent = elt.parentNode().toElement();
    return isDirectory(parent) ? elementPath(parent) + QLatin1Char('/') : QString();
}

bool UpdateManager::writeFile(QDomElement distant, QFile *file)
{
    // The downloaded file is gone when this returns, on every path: a
    // temporary file kept after a failure would stay on disk for good.
    QScopedPointer<QFile> downloaded(file);
    const QString dir = getDestDirectory(distant);
    const QString target = dir + nameOf(distant);
    LOG_INFO() << target << Qt::endl;
    if (!isSafeEntryPath(distant) || !file)
        return false;

    if (!dir.isEmpty() && !m_destDir.exists(dir))
        m_destDir.mkpath(dir);
    const QString targetPath = m_destDir.filePath(target);

    // A regular file is replaced in one step below. Anything else in the way
    // (a directory, a link that would be written through) goes first.
    const QFileInfo existing(targetPath);
    if ((existing.exists() || existing.isSymLink()) && (existing.isSymLink() || !existing.isFile())) {
        if (!QFile::remove(targetPath)) {
            LOG_ERROR() << "cannot remove" << targetPath;
            return false;
        }
    }

    // The target is always either the old file or the whole new one: the
    // downloaded file is moved over it when both share a file system, and
    // otherwise copied beside it and renamed over it.
    if (!replaceFileByRename(file->fileName(), targetPath) && !copyInPlace(file->fileName(), targetPath))
        return false;
    downloaded.reset();

    // 64-bit: a file of 2 GiB or more must be able to pass as well.
    bool sizeOk = false;
    const qint64 size = elementSize(distant).toLongLong(&sizeOk, 10);
    return fileChecksum(targetPath, QCryptographicHash::Sha1) == elementCrc(distant)
            && (sizeOk ? size : 0) == QFileInfo(targetPath).size();
}

bool UpdateManager::copyInPlace(const QString &sourcePath, const QString &targetPath)
{
    QFile source(sourcePath);
    QSaveFile output(targetPath);
    if (!source.open(QIODevice::ReadOnly)) {
        LOG_ERROR() << "error copying file" << source.errorString();
        return false;
    }
    if (!output.open(QIODevice::WriteOnly)) {
        LOG_ERROR() << "error copying file" << output.errorString();
        return false;
    }
    QByteArray buffer(256 * 1024, Qt::Uninitialized);
    for (;;) {
        const qint64 n = source.read(buffer.data(), buffer.size());
        if (n < 0) {
            output.cancelWriting();
            LOG_ERROR() << "error copying file" << source.errorString();
            return false;
        }
        if (n == 0)
            break;
        if (output.write(buffer.constData(), n) != n)
            break; // the error is reported by commit()
    }
    if (!output.commit()) {
        if (QFileInfo::exists(targetPath))
            LOG_ERROR() << "cannot remove" << targetPath;
        else
            LOG_ERROR() << "error copying file" << output.errorString();
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
        for (const char *attribute : {"name", "crc", "date", "version", "url", "size"}) {
            const QString key = QString::fromLatin1(attribute);
            local.setAttribute(key, distant.attribute(key));
        }
    }
}

void UpdateManager::downloadFailed(QDomElement elt)
{
    ++m_errorCount;
    emit fileDownloadFailed(elt);
}

void UpdateManager::downloadFailed(QNetworkReply::NetworkError er, QString str, QDomElement elt)
{
    Q_UNUSED(elt)
    LOG_ERROR() << nameOf(m_currentElement) + QStringLiteral(" network error: ") + QString::number(er)
                       + QStringLiteral(" - ") + str
                << Qt::endl;
}

void UpdateManager::downloadFailedCRC(QDomElement elt, QFile *file)
{
    Q_UNUSED(elt)
    LOG_ERROR() << nameOf(m_currentElement) + QStringLiteral(" crc error !") << Qt::endl;
    delete file;
}

void UpdateManager::downloadFailedElt(QDomElement elt)
{
    Q_UNUSED(elt)
    LOG_ERROR() << nameOf(m_currentElement) + QStringLiteral(" file error !") << Qt::endl;
}

void UpdateManager::downloadsFinished()
{
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

    const QString path = UpdaterSettings::instance().localManifestPath;
    if (!saveManifestRoot(path, localRoot)) {
        // The server is not told the run is closed, but the window must not
        // wait for ever: the run ends with this failure counted.
        LOG_ERROR() << QStringLiteral("cannot write local manifest: ") + path << Qt::endl;
        ++m_errorCount;
        emit fileDownloadsFinished(m_errorCount);
        return;
    }
    sendCloseRequest(version);
    emit fileDownloadsFinished(m_errorCount);
}

void UpdateManager::deleteItem(DOM_DIFF *item)
{
    QDomElement e = item->local;
    if (!isSafeEntryPath(e))
        return;
    const QString path = m_destDir.filePath(getDestDirectory(e) + nameOf(e));
    if (isFile(e))
        QFile::remove(path);
    else
        removeDirectoryTree(path);
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
    QNetworkReply *reply = m_downloader->networkAccessManager()->post(
            UpdateDownloader::updateRequest(UpdaterSettings::instance().updateUrl),
            UpdateDownloader::formBody(version, QStringLiteral("CLOSE")));
    ++m_closeRequestsPending;
    // The answer itself is of no interest; only that it came.
    connect(reply, &QNetworkReply::finished, this, [this, reply] {
        reply->deleteLater();
        --m_closeRequestsPending;
        emit closeRequestFinished();
    });
}
