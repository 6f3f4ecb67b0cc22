#include "manifestfetch.h"

#include "httpclient.h"
#include "log.h"
#include "updatedownloader.h"
#include "updatersettings.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <limits>
#include <memory>

namespace {

// Fetches one file into `path`, refusing more than `limit` bytes or taking
// longer than `milliseconds`.
bool fetchInto(HttpClient &client, const UpdaterSettings &settings, const QString &request, const QString &path,
               qint64 limit, qint64 milliseconds, QString *error)
{
    if (milliseconds <= 0) {
        *error = QStringLiteral("no time left");
        return false;
    }
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        *error = file.errorString();
        return false;
    }
    TransferLimits limits;
    limits.totalMilliseconds = int(qMin<qint64>(milliseconds, std::numeric_limits<int>::max()));
    HttpTransfer *transfer = settings.filesUrl.isEmpty()
        ? client.post(QUrl(settings.updateUrl, QUrl::TolerantMode), UpdateDownloader::formContentType(),
                      UpdateDownloader::formBody(QString(), request), limits)
        : client.get(UpdateDownloader::fileUrl(settings.filesUrl, request), limits);
    QElapsedTimer clock;
    clock.start();
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
    if (!ok) {
        *error = transfer->errorString();
        // The stall rule alone lets a drip go on for ever.
        if (clock.elapsed() >= milliseconds)
            *error += QStringLiteral(" (the manifest may take at most %1 s)").arg(milliseconds / 1000.0);
    }
    delete transfer;
    file.close();
    if (!ok)
        file.remove();
    return ok;
}

} // namespace

qint64 ManifestFetch::timeLimitMs(int timeoutSeconds)
{
    return qMax<qint64>(qint64(timeoutSeconds) * 10, 300) * 1000;
}

QString ManifestFetch::fetch(const UpdaterSettings &settings, bool withSignature, qint64 timeLimitMs, QString *error)
{
    QElapsedTimer clock;
    clock.start();
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
    if (!fetchInto(client, settings, settings.manifestRequest, path, maximumSize, timeLimitMs, error))
        return QString();
    QString signatureError;
    if (withSignature
        && !fetchInto(client, settings, settings.manifestRequest + QStringLiteral(".sig"), path + QStringLiteral(".sig"),
                      64 * 1024, timeLimitMs - clock.elapsed(), &signatureError))
        LOG_WARN() << QStringLiteral("signature of the manifest not fetched: ") + signatureError << Qt::endl;
    return path;
}
