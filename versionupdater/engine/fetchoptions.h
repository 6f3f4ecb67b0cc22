#ifndef FETCHOPTIONS_H
#define FETCHOPTIONS_H

#include <QList>
#include <QNetworkRequest>
#include <QSslCertificate>
#include <QString>
#include <QUrl>
#include <QtGlobal>

class QNetworkAccessManager;

// How versionupdater fetches anything: the bounds every transfer gets, how
// often a failed one is tried again, and which certificates it trusts.
class FetchOptions
{
public:
    // An attempt fails when fewer than kStallBytes arrive in this many
    // seconds ("--timeout").
    int stallSeconds = 30;
    static constexpr qint64 kStallBytes = 1024;

    // The waits before the second and the third attempt.
    QList<int> retryDelaysMs{1000, 3000};

    // No attribute tells a download's size, so only a bound this generous
    // can never refuse a real release file; it still ends an endless body.
    qint64 maximumDownloadBytes = qint64(4) << 30;
    static constexpr qint64 kMaximumListBytes = 1 << 20;
    static constexpr qint64 kMaximumSignatureBytes = 64 << 10;

    // Empty: the system's certificate store as it is. Otherwise everything
    // trusted: the system's certificates and those of a private CA.
    QList<QSslCertificate> caCertificates;

    int attempts() const { return retryDelaysMs.size() + 1; }
    // The wait after the failed attempt number `attempt` (1-based).
    int retryDelayAfter(int attempt) const { return retryDelaysMs.value(attempt - 1); }

    // Trusts the PEM certificates of `path` as well as the system's. False,
    // with the reason, when the file holds none.
    bool addCaFile(const QString &path, QString *error);

    // A GET for url: the body exactly as sent (identity encoding, never
    // inflated), redirects only to places at least as safe, and the
    // certificates above.
    QNetworkRequest request(const QUrl &url) const;

    // Only http and https URLs are fetched: anything else (file:, ftp:,
    // data:) would read from places a version list must not reach.
    static bool isFetchable(const QUrl &url);

    // http_proxy, https_proxy and no_proxy (on Windows the system's
    // settings) decide the proxy of every transfer of the manager.
    static void useSystemProxies(QNetworkAccessManager *manager);
};

#endif // FETCHOPTIONS_H
