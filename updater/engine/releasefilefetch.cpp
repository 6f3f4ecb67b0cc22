#include "releasefilefetch.h"

#include "httpclient.h"
#include "httptransfer.h"
#include "updatedownloader.h"

#include <QEventLoop>

ReleaseFileFetch::ReleaseFileFetch(HttpClient *client, const QString &updateUrl, const QString &filesUrl, QObject *parent)
    : QObject(parent)
    , m_client(client)
    , m_updateUrl(updateUrl)
    , m_filesUrl(filesUrl)
{
}

ReleaseFileFetch::~ReleaseFileFetch()
{
    delete m_transfer.data();
}

void ReleaseFileFetch::start(const QString &relativeUrl, qint64 limit, int milliseconds)
{
    m_limit = limit;
    TransferLimits limits;
    limits.totalMilliseconds = milliseconds;
    m_transfer = m_filesUrl.isEmpty()
        ? m_client->post(QUrl(m_updateUrl, QUrl::TolerantMode), UpdateDownloader::formContentType(),
                         UpdateDownloader::formBody(QString(), relativeUrl), limits)
        : m_client->get(UpdateDownloader::fileUrl(m_filesUrl, relativeUrl), limits);
    connect(m_transfer, &HttpTransfer::readyRead, this, &ReleaseFileFetch::readBody);
    connect(m_transfer, &HttpTransfer::finished, this, &ReleaseFileFetch::transferFinished);
}

bool ReleaseFileFetch::waitForFinished()
{
    if (!m_finished) {
        QEventLoop loop;
        connect(this, &ReleaseFileFetch::finished, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return succeeded();
}

void ReleaseFileFetch::readBody()
{
    char buffer[16384];
    for (qint64 n; m_transfer && (n = m_transfer->read(buffer, sizeof buffer)) > 0;) {
        if (m_bytes.size() + n > m_limit) {
            m_transfer->abort(QNetworkReply::UnknownContentError, QStringLiteral("larger than %1 bytes").arg(m_limit));
            return;
        }
        m_bytes.append(buffer, int(n));
    }
}

void ReleaseFileFetch::transferFinished()
{
    readBody();
    if (m_transfer->error() != QNetworkReply::NoError) {
        m_error = m_transfer->errorString();
        m_bytes.clear();
    }
    m_transfer->deleteLater();
    m_transfer.clear();
    m_finished = true;
    emit finished();
}
