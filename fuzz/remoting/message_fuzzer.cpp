// Decodes arbitrary bytes as a call and as an answer of one message kind; whatever decodes
// must encode and decode again to the same content.

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "remoting/errors.h"
#include "remoting/message.h"

namespace {

using namespace tovra::remoting;

// Values compare by bytes, so that a NaN read back counts as the same value.
bool SameValues(const std::vector<NamedValue>& a, const std::vector<NamedValue>& b) {
  if (a.size() != b.size())
    return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i].name != b[i].name || a[i].value.index() != b[i].value.index())
      return false;
    if (const double* x = std::get_if<double>(&a[i].value)) {
      const double y = std::get<double>(b[i].value);
      if (!(*x == y || (*x != *x && y != y)))
        return false;
    } else if (!(a[i].value == b[i].value)) {
      return false;
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const Message& codec = CodecFor(MessageKind::TOVRA_FUZZ_KIND);
  Limits limits;
  limits.max_values = 1000;
  try {
    const Call call = codec.DecodeCall({data, size}, limits);
    const Call again = codec.DecodeCall(codec.EncodeCall(call), limits);
    if (again.client_id != call.client_id || again.request_number != call.request_number ||
        again.library != call.library || again.interface_name != call.interface_name ||
        again.operation != call.operation || !SameValues(again.values, call.values)) {
      std::abort();
    }
  } catch (const ProtocolError&) {
  }
  try {
    const Answer answer = codec.DecodeAnswer({data, size}, limits);
    const Answer again = codec.DecodeAnswer(codec.EncodeAnswer(answer), limits);
    if (again.client_id != answer.client_id || again.request_number != answer.request_number ||
        again.fault != answer.fault ||
        (!answer.fault && !SameValues(again.values, answer.values))) {
      std::abort();
    }
  } catch (const ProtocolError&) {
  }
  return 0;
}
