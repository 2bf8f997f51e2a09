#pragma once

// Checks the message decoders of both kinds share.

#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "remoting/errors.h"
#include "remoting/limits.h"
#include "remoting/message.h"

namespace tovra::remoting::detail {

// Refuses more values than the limit allows and names given twice: a value read by name
// must mean one thing.
inline void CheckValues(const std::vector<NamedValue>& values, const Limits& limits) {
  if (values.size() > limits.max_values) {
    throw ProtocolError("the message has " + std::to_string(values.size()) +
                        " values, more than the limit of " + std::to_string(limits.max_values));
  }
  std::unordered_set<std::string_view> names;
  names.reserve(values.size());
  for (const NamedValue& value : values) {
    if (!names.insert(value.name).second) {
      throw ProtocolError("the message names the value \"" + value.name + "\" twice");
    }
  }
}

}  // namespace tovra::remoting::detail
