#include "manifestfetch.h"

#include "httpclient.h"
#include "log.h"
#include "updatedownloader.h"
#include "updatersettings.h"

#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <memory>

namespace {

// Fetches one file into `path`, refusing more than `limit` bytes.
bool fetchInto(HttpClient &client, const UpdaterSettings &settings, const QString &request, const QString &path,
               qint64 limit, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        *error = file.errorString();
        return false;
    }
    HttpTransfer *transfer = settings.filesUrl.isEmpty()
        ? client.post(QUrl(settings.updateUrl, QUrl::TolerantMode), UpdateDownloader::formContentType(),
                      UpdateDownloader::formBody(QString(), request))
        : client.get(UpdateDownloader::fileUrl(settings.filesUrl, request));
    QEventLoop loop;
    bool written = true;
    QObject::connect(transfer, &HttpTransfer::readyRead, &loop, [&] {
        char buffer[65536];
        for (qint64 n; (n = transfer->read(buffer, sizeof buffer)) > 0;) {
            if (file.size() + n > limit) {
                transfer->abort(QNetworkReply::UnknownContentError,
                                QStringLiteral("larger than %1 bytes").arg(limit));
                return;
            }
            if (file.write(buffer, n) != n) {
                written = false;
                transfer->abort(QNetworkReply::OperationCanceledError, file.errorString());
                return;
            }
        }
    });
    QObject::connect(transfer, &HttpTransfer::finished, &loop, &QEventLoop::quit);
    loop.exec();
    const bool ok = transfer->error() == QNetworkReply::NoError && written && file.flush();
    if (!ok)
        *error = transfer->errorString();
    delete transfer;
    file.close();
    if (!ok)
        file.remove();
    return ok;
}

} // namespace

QString ManifestFetch::fetch(const UpdaterSettings &settings, bool withSignature, QString *error)
{
    // Kept until the process ends: the run reads the copy later.
    static std::unique_ptr<QTemporaryDir> folder;
    if (!folder)
        folder = std::make_unique<QTemporaryDir>();
    if (!folder->isValid()) {
        *error = folder->errorString();
        return QString();
    }
    QString name = QFileInfo(settings.manifestRequest).fileName();
    if (name.isEmpty() || name.startsWith(QLatin1Char('.')))
        name = QStringLiteral("distant.xml");
    const QString path = folder->filePath(name);

    HttpClient client;
    TransferOptions options;
    options.stallSeconds = settings.timeoutSeconds;
    options.caFile = settings.caFile;
    client.setOptions(options);
    if (!fetchInto(client, settings, settings.manifestRequest, path, maximumSize, error))
        return QString();
    QString signatureError;
    if (withSignature
        && !fetchInto(client, settings, settings.manifestRequest + QStringLiteral(".sig"), path + QStringLiteral(".sig"),
                      64 * 1024, &signatureError))
        LOG_WARN() << QStringLiteral("signature of the manifest not fetched: ") + signatureError << Qt::endl;
    return path;
}
