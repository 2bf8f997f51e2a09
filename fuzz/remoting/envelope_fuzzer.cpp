// Opens arbitrary bytes as an envelope, with a small size limit so that inflating stays
// cheap; whatever opens must re-seal and open to the same payload.

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "remoting/envelope.h"
#include "remoting/errors.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tovra::remoting;
  Limits limits;
  limits.max_message_size = 1u << 20;
  (void)PeekSettings({data, size});
  try {
    const Opened opened = Open({data, size}, limits);
    const Opened again = Open(Seal(opened.payload, opened.settings), limits);
    if (again.payload != opened.payload || !(again.settings == opened.settings)) {
      std::abort();
    }
  } catch (const ProtocolError&) {
  }
  return 0;
}
