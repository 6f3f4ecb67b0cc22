#ifndef SYSTEMPROXY_H
#define SYSTEMPROXY_H

#include <QString>
#include <QUrl>

// The proxy a request to url goes through. On Windows this is the system's
// proxy setting, which the transport is told explicitly; elsewhere the
// transport reads http_proxy, https_proxy and no_proxy by itself, and this
// only names the proxy in error messages.
namespace SystemProxy {

// The proxy to set explicitly for url; empty where the environment rules.
QString explicitProxyFor(const QUrl &url);

// The proxy url goes through as far as can be told, for messages; empty
// when none is configured.
QString describeProxyFor(const QUrl &url);

} // namespace SystemProxy

#endif // SYSTEMPROXY_H
