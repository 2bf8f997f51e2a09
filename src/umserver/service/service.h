#pragma once

// The user-manager service rodmKWVUMServer on a dispatcher: the nine operations of the
// service and the dataset provider operations, each logged-in client working through a
// store session of its own.
//
// A client's store session holds one transaction from its first change until commit.
// DestroyDataModule, a new login of the same client, session expiry and server shutdown
// roll it back; a dropped connection does not (the client may come back on a new one).

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "dataset/packet.h"
#include "remoting/dispatcher.h"
#include "remoting/session.h"
#include "umserver/store/store.h"

namespace tovra::umserver::service {

// What one logged-in client holds on the server.
class ClientSession final : public remoting::SessionData {
 public:
  explicit ClientSession(std::unique_ptr<store::Session> store_session)
      : store_session_(std::move(store_session)) {}

  store::Session& Store() { return *store_session_; }
  const std::string& User() const { return store_session_->user(); }

  // Why the session is about to end, when the client itself asked for it.
  void SetEndReason(std::string_view reason) { end_reason_ = reason; }
  std::string_view EndReason() const { return end_reason_; }

 private:
  std::unique_ptr<store::Session> store_session_;
  std::string_view end_reason_;
};

class UMService {
 public:
  // The store and the session store must outlive the service. Reads the store's
  // description (DBType, DBServer, DBName) once, here.
  UMService(store::Store& store, remoting::SessionStore& sessions,
            dataset::DecodeLimits packet_limits = {});
  UMService(const UMService&) = delete;
  UMService& operator=(const UMService&) = delete;

  // Registers every operation and sets the session store's end hook.
  void RegisterOn(remoting::Dispatcher& dispatcher);

  // Ends idle sessions (rolling their transactions back); called periodically.
  std::size_t ExpireIdle();
  // Ends every session (server shutdown).
  void EndAll();

  // The texts of the faults a client may see.
  static constexpr std::string_view kNotSupported = "is not supported by this server.";

 private:
  void Login(remoting::CallContext& context);
  void CreateRDBMSUser(remoting::CallContext& context);
  void ChangePassword(remoting::CallContext& context);
  void Commit(remoting::CallContext& context);
  void DestroyDataModule(remoting::CallContext& context);
  void GetRecords(remoting::CallContext& context);
  void ApplyUpdates(remoting::CallContext& context);
  void GetParams(remoting::CallContext& context);

  void OnSessionEnd(remoting::Session& session);

  store::Store& store_;
  remoting::SessionStore& sessions_;
  const dataset::DecodeLimits packet_limits_;
  const std::string db_type_;
  const std::string db_server_;
  const std::string db_name_;
};

// Calls UMService::ExpireIdle every `interval` on a thread of its own until destroyed.
class SessionReaper {
 public:
  SessionReaper(UMService& service, std::chrono::milliseconds interval);
  ~SessionReaper();
  SessionReaper(const SessionReaper&) = delete;
  SessionReaper& operator=(const SessionReaper&) = delete;

 private:
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace tovra::umserver::service
