#pragma once

#include <QNetworkProxyFactory>

// The proxies the system names for a request, loopback included: on Windows the user's Internet
// settings; elsewhere the variables http_proxy, https_proxy and no_proxy, read as curl reads them
// except that HTTP_PROXY counts too (a tool that never runs as a CGI program has no reason to
// distrust it).
class SystemProxyFactory : public QNetworkProxyFactory
{
public:
    QList<QNetworkProxy> queryProxy(const QNetworkProxyQuery &query) override;
};
