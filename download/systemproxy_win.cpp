#include "systemproxy.h"

// Qt reads the user's Internet settings (and a proxy auto-config script they name) itself.
QList<QNetworkProxy> SystemProxyFactory::queryProxy(const QNetworkProxyQuery &query)
{
    return systemProxyForQuery(query);
}
