#pragma once

// Errors of the remoting layer. Every what() is a sentence a person can act on.

#include <stdexcept>
#include <string>

namespace tovra::remoting {

class RemotingError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The request or its answer did not travel: refused or lost connection, an HTTP status
// other than 200, a proxy's refusal. Example: "connection refused by 127.0.0.1:6000".
class TransportError : public RemotingError {
 public:
  using RemotingError::RemotingError;
};

// No answer within the channel's bound. Example: "no answer from 127.0.0.1:6000 within 30 s".
class TimeoutError : public TransportError {
 public:
  using TransportError::TransportError;
};

// Bytes that are not a valid envelope or message: bad magic, bad CRC, truncation, an
// oversized length, a wrong key, a value of the wrong type.
class ProtocolError : public RemotingError {
 public:
  using RemotingError::RemotingError;
};

// A fault the server answered with; what() is the server's text, unchanged.
class ServerFault : public RemotingError {
 public:
  using RemotingError::RemotingError;
};

}  // namespace tovra::remoting
