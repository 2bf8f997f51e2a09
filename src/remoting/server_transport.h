#pragma once

// What the server's listeners hand their requests to.

#include <functional>
#include <optional>
#include <span>

#include "remoting/envelope.h"

namespace tovra::remoting {

// Handles one sealed request and returns the sealed answer. nullopt means the request was
// not readable at all (not even a fault could be sealed for it): the listener drops it
// (TCP closes the connection, HTTP answers 400, UDP stays silent). Called on worker
// threads, concurrently; must not throw.
using RequestHandler = std::function<std::optional<Bytes>(std::span<const std::uint8_t>)>;

}  // namespace tovra::remoting
