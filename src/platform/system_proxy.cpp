#include "platform/system_proxy.h"

#ifdef _WIN32
#include <windows.h>
#include <wininet.h>

#include <vector>
#else
#include <QNetworkProxyFactory>
#include <QNetworkProxyQuery>
#include <QUrl>
#endif

namespace tovra::platform {

#ifdef _WIN32

QString GetSystemProxy() {
  // INTERNET_PROXY_INFO followed by its strings; 4096 bytes hold any sane setting.
  std::vector<char> buffer(4096);
  DWORD size = static_cast<DWORD>(buffer.size());
  if (!InternetQueryOptionA(nullptr, INTERNET_OPTION_PROXY, buffer.data(), &size)) {
    return {};
  }
  const auto* info = reinterpret_cast<const INTERNET_PROXY_INFO*>(buffer.data());
  if (info->dwAccessType != INTERNET_OPEN_TYPE_PROXY || info->lpszProxy == nullptr) {
    return {};
  }
  return QString::fromLocal8Bit(reinterpret_cast<const char*>(info->lpszProxy));
}

#else

QString GetSystemProxy() {
  // Any http address will do: we want the proxy the user set for plain HTTP.
  const QNetworkProxyQuery query(QUrl(QStringLiteral("http://tovra-usermanager.invalid/")));
  for (const QNetworkProxy& proxy : QNetworkProxyFactory::systemProxyForQuery(query)) {
    if (proxy.type() == QNetworkProxy::HttpProxy && !proxy.hostName().isEmpty()) {
      const int port = proxy.port() > 0 ? proxy.port() : 80;
      return QStringLiteral("%1:%2").arg(proxy.hostName()).arg(port);
    }
  }
  return {};
}

#endif

}  // namespace tovra::platform
