#include "fetchoptions.h"

#include "systemproxyfactory.h"

#include <QFile>
#include <QNetworkAccessManager>
#include <QSslConfiguration>

bool FetchOptions::addCaFile(const QString &path, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        return false;
    }
    const QList<QSslCertificate> certificates = QSslCertificate::fromData(file.readAll(), QSsl::Pem);
    if (certificates.isEmpty()) {
        *error = QStringLiteral("%1 holds no PEM certificate").arg(path);
        return false;
    }
    // Setting a list replaces the store Qt would otherwise load on demand,
    // so the system's certificates are put in explicitly.
    if (caCertificates.isEmpty())
        caCertificates = QSslConfiguration::systemCaCertificates();
    caCertificates += certificates;
    return true;
}

QNetworkRequest FetchOptions::request(const QUrl &url) const
{
    QNetworkRequest request(url);
    // Asked for explicitly, Qt neither asks for gzip itself nor inflates
    // what comes: a compressed body can never grow in memory.
    request.setRawHeader("Accept-Encoding", "identity");
    // Without this a redirect would end as a "successful" reply whose body
    // is the redirect page; https is never downgraded to http.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    if (!caCertificates.isEmpty()) {
        QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
        tls.setCaCertificates(caCertificates);
        request.setSslConfiguration(tls);
    }
    return request;
}

bool FetchOptions::isFetchable(const QUrl &url)
{
    const QString scheme = url.scheme();
    return url.isValid() && !url.host().isEmpty()
           && (scheme == QLatin1String("http") || scheme == QLatin1String("https"));
}

void FetchOptions::useSystemProxies(QNetworkAccessManager *manager)
{
    manager->setProxyFactory(new SystemProxyFactory); // the manager owns it
}
