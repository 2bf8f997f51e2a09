#pragma once

#include <QString>

namespace tovra::platform {

// The current user's HTTP proxy as the platform's own settings give it, as "host:port";
// empty when none is configured (direct access, automatic configuration, or a failed
// query). On Windows this is the WinINet proxy text, which may list proxies per protocol
// ("http=host:port;https=host:port"); elsewhere it is what Qt's system proxy support finds
// for an http address (environment and desktop settings).
QString GetSystemProxy();

}  // namespace tovra::platform
