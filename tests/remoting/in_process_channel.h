#pragma once

// A client channel that hands its requests straight to a server's request handler, in the
// same process: everything above the transports, without sockets.

#include <string>

#include "remoting/channel.h"
#include "remoting/errors.h"
#include "remoting/server_transport.h"

namespace tovra::remoting::testing {

class InProcessChannel : public ClientChannel {
 public:
  explicit InProcessChannel(RequestHandler handler, int sends_per_call = 1)
      : handler_(std::move(handler)), sends_per_call_(sends_per_call) {}

  std::string Target() const override { return "in-process server"; }
  int Exchanges() const { return exchanges_; }

 protected:
  // With sends_per_call > 1 every request goes out again, as a retrying transport would after
  // a lost answer; the last answer is the one kept.
  Bytes Exchange(std::span<const std::uint8_t> request) override {
    std::optional<Bytes> answer;
    for (int i = 0; i < sends_per_call_; ++i) {
      ++exchanges_;
      answer = handler_(request);
    }
    if (!answer) {
      throw TransportError("the in-process server dropped the request");
    }
    return *answer;
  }

 private:
  RequestHandler handler_;
  int sends_per_call_;
  int exchanges_ = 0;
};

}  // namespace tovra::remoting::testing
