#ifndef SYSTEMPROXYFACTORY_H
#define SYSTEMPROXYFACTORY_H

#include <QNetworkProxyFactory>

// The proxies the system names for a URL: http_proxy, https_proxy and
// no_proxy on Linux, the system's settings on Windows.
//
// Given to each access manager rather than set for the whole application:
// Qt's application-wide lookup never sends a loopback address through a
// proxy, whatever the variables say, while a proxy on the same machine
// (a local filtering or caching proxy) is exactly what http_proxy may name.
class SystemProxyFactory : public QNetworkProxyFactory
{
public:
    QList<QNetworkProxy> queryProxy(const QNetworkProxyQuery &query) override;
};

#endif // SYSTEMPROXYFACTORY_H
