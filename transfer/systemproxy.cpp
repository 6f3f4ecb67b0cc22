#include "systemproxy.h"

#include <QByteArray>
#include <QStringList>

#ifdef Q_OS_WIN
#include <qt_windows.h>
#include <winhttp.h>
#endif

namespace {

#ifdef Q_OS_WIN
QString windowsProxy()
{
    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG config = {};
    if (!WinHttpGetIEProxyConfigForCurrentUser(&config))
        return QString();
    QString proxy;
    if (config.lpszProxy) {
        // "host:port" or "http=host:port;https=host:port": the first will do.
        proxy = QString::fromWCharArray(config.lpszProxy).split(QLatin1Char(';')).value(0);
        const int equals = proxy.indexOf(QLatin1Char('='));
        if (equals >= 0)
            proxy = proxy.mid(equals + 1);
        GlobalFree(config.lpszProxy);
    }
    if (config.lpszProxyBypass)
        GlobalFree(config.lpszProxyBypass);
    if (config.lpszAutoConfigUrl)
        GlobalFree(config.lpszAutoConfigUrl);
    return proxy;
}
#endif

} // namespace

namespace SystemProxy {

QString explicitProxyFor(const QUrl &url)
{
    Q_UNUSED(url)
#ifdef Q_OS_WIN
    return windowsProxy();
#else
    return QString();
#endif
}

QString describeProxyFor(const QUrl &url)
{
#ifdef Q_OS_WIN
    Q_UNUSED(url)
    return windowsProxy();
#else
    // The variables the transport reads, in its order.
    const QString scheme = url.scheme().toLower();
    QStringList names;
    if (scheme == QLatin1String("https"))
        names << QStringLiteral("https_proxy") << QStringLiteral("HTTPS_PROXY");
    else
        names << QStringLiteral("http_proxy");
    names << QStringLiteral("all_proxy") << QStringLiteral("ALL_PROXY");
    for (const QString &name : qAsConst(names)) {
        const QByteArray value = qgetenv(name.toLatin1().constData());
        if (!value.isEmpty())
            return QString::fromLocal8Bit(value);
    }
    return QString();
#endif
}

} // namespace SystemProxy
