#include "updaterhandler.h"

#include "destinationpath.h"
#include "downloadentry.h"

#include <QDir>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QSaveFile>
#include <QVariant>

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
    connect(m_manager, &QNetworkAccessManager::finished, this, &updaterHandler::writeDownload);
}

updaterHandler::~updaterHandler() = default;

void updaterHandler::appendEntries(const QStringList &entries)
{
    for (const QString &text : entries) {
        const DownloadEntry entry = DownloadEntry::parse(text);
        appendDownload(entry.url, entry.fileName);
    }
}

void updaterHandler::appendDownload(const QUrl &url, const QString &fileName)
{
    if (url.isEmpty())
        return;
    m_queue.append(qMakePair(url, fileName));
    if (!m_busy)
        startNext();
}

void updaterHandler::startNext()
{
    // A loop rather than recursion: refused entries are skipped in place.
    while (!m_queue.isEmpty()) {
        m_busy = true;
        m_current = m_queue.takeFirst();

        QString target;
        if (!DestinationPath::resolve(m_destinationDir, m_current.second, &target)) {
            m_anyFailed = true;
            continue;
        }
        QDir().mkpath(QFileInfo(target).absolutePath());
        m_file = std::make_unique<QSaveFile>(target);
        if (!m_file->open(QIODevice::WriteOnly)) {
            // Nothing more can be written here: stop for good, busy stays set.
            m_file.reset();
            emit queueEmpty(false);
            return;
        }
        m_writeFailed = false;
        m_bytesWritten = 0;

        QNetworkRequest request(m_current.first);
        // Without this a redirect would end as a "successful" reply whose
        // body is the redirect page.
        request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
        m_reply = m_manager->get(request);
        m_reply->setReadBufferSize(kReadBufferSize);
        QUrl source;
        source.setPath(m_current.second);
        emit downloadStart(source, m_queue.size());
        connect(m_reply, &QNetworkReply::downloadProgress, this, &updaterHandler::downloadProgress);
        connect(m_reply, &QNetworkReply::readyRead, this, &updaterHandler::writeAvailable);
        return;
    }
    m_busy = false;
    emit queueEmpty(!m_anyFailed);
}

void updaterHandler::writeAvailable()
{
    if (!m_reply || !m_file)
        return;
    const QByteArray chunk = m_reply->readAll();
    if (!m_writeFailed && m_file->write(chunk) != chunk.size())
        m_writeFailed = true;
    m_bytesWritten += chunk.size();
}

void updaterHandler::writeDownload(QNetworkReply *reply)
{
    if (reply != m_reply) // not ours (already handled)
        return;
    writeAvailable();
    disconnect(reply, nullptr, this, nullptr);
    reply->deleteLater();
    m_reply = nullptr;

    // error() covers HTTP error statuses and cut-off bodies; anything but a
    // 2xx answer is refused as well, so no error page is installed.
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    const bool statusOk = !status.isValid() || (status.toInt() >= 200 && status.toInt() < 300);
    // A connection closed early is not always reported as an error, so the
    // body is also held against the announced length (when not compressed,
    // since the length then counts the compressed bytes).
    const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
    const bool complete = !length.isValid() || reply->hasRawHeader("Content-Encoding")
                          || length.toLongLong() == m_bytesWritten;
    const bool ok = reply->error() == QNetworkReply::NoError && statusOk && complete && !m_writeFailed
                    && m_file->commit();
    const QString target = m_file->fileName();
    if (!ok) {
        m_file->cancelWriting();
        m_anyFailed = true;
    }
    m_file.reset(); // an uncommitted QSaveFile removes its temporary file

    m_busy = false;
    if (ok) {
        m_finishedFile.setFileName(target);
        emit downloadFinished(m_current.first, &m_finishedFile);
    }
    startNext();
}

void updaterHandler::downloadProgress(qint64 bytesReceived, qint64 bytesTotal)
{
    emit currentDownloadProgress(bytesReceived, bytesTotal);
}
