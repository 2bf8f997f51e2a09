#include "umserver/service/service.h"

#include <spdlog/spdlog.h>

#include <exception>
#include <stdexcept>

#include "contract/um_service.h"
#include "remoting/service_proxy.h"
#include "support/log_text.h"
#include "umserver/providers/providers.h"
#include "umserver/service/conversion.h"

namespace tovra::umserver::service {

namespace {

using remoting::CallContext;
using remoting::SessionPolicy;
using support::LogSafe;
namespace op = contract::op;
namespace param = contract::param;
using contract::result::kErrorCount;
using contract::result::kRecsOut;
using contract::result::kResult;

// Why sessions end on this thread right now; the end hook names it in the log. Sessions end
// on the thread that ends them (a worker, the reaper or the main thread at shutdown).
thread_local std::string_view end_reason = "ended";

class EndReason {
 public:
  explicit EndReason(std::string_view reason) : previous_(end_reason) { end_reason = reason; }
  ~EndReason() { end_reason = previous_; }
  EndReason(const EndReason&) = delete;
  EndReason& operator=(const EndReason&) = delete;

 private:
  std::string_view previous_;
};

ClientSession& ClientOf(CallContext& context) {
  auto* client = context.GetSession().DataAs<ClientSession>();
  if (client == nullptr) {
    // The dispatcher only lets open sessions through, and an open session always has one.
    throw std::runtime_error(std::string(remoting::Dispatcher::kNoSession));
  }
  return *client;
}

std::string_view ClientIdOf(CallContext& context) {
  return context.GetCall().client_id;
}

remoting::Bytes ToBytes(const std::string& text) {
  return remoting::Bytes(text.begin(), text.end());
}

std::string_view AsText(const remoting::Bytes& bytes) {
  return std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

// A provider name as the client sent it, checked before it goes anywhere else.
std::string ProviderOf(const remoting::Call& call) {
  const std::string& name = call.String(param::kProviderName);
  for (const auto& known : providers::ProviderNames()) {
    if (known == name) {
      return name;
    }
  }
  throw std::runtime_error("The server has no provider named \"" + LogSafe(name, 64) + "\".");
}

}  // namespace

UMService::UMService(store::Store& store, remoting::SessionStore& sessions,
                     dataset::DecodeLimits packet_limits)
    : store_(store),
      sessions_(sessions),
      packet_limits_(packet_limits),
      db_type_(store.DBType()),
      db_server_(store.DBServer()),
      db_name_(store.DBName()) {}

void UMService::RegisterOn(remoting::Dispatcher& dispatcher) {
  sessions_.SetEndHook([this](remoting::Session& session) { OnSessionEnd(session); });

  const auto add = [&](std::string_view operation, remoting::Operation run,
                       SessionPolicy policy = SessionPolicy::kRequired) {
    dispatcher.Register(contract::kLibraryName, contract::kServiceName, operation, std::move(run),
                        policy);
  };
  const auto text_result = [](std::string text) {
    return [text = std::move(text)](CallContext& context) { context.WriteString(kResult, text); };
  };

  add(
      op::kLogin, [this](CallContext& c) { Login(c); }, SessionPolicy::kNone);
  add(op::kCreateRDBMSUser, [this](CallContext& c) { CreateRDBMSUser(c); });
  add(op::kChangePassword, [this](CallContext& c) { ChangePassword(c); });
  add(op::kDBType, text_result(db_type_));
  add(op::kCommit, [this](CallContext& c) { Commit(c); });
  add(op::kDBServer, text_result(db_server_));
  add(op::kDBName, text_result(db_name_));
  add(op::kDestroyDataModule, [this](CallContext& c) { DestroyDataModule(c); });
  // The dispatcher has already noted the client's sign of life.
  add(op::kKeepAlive, [](CallContext&) {});

  add(op::kGetRecords, [this](CallContext& c) { GetRecords(c); });
  add(op::kApplyUpdates, [this](CallContext& c) { ApplyUpdates(c); });
  add(op::kGetParams, [this](CallContext& c) { GetParams(c); });
  add(op::kGetProviderNames, [](CallContext& c) {
    c.WriteString(kResult, remoting::JoinProviderNames(providers::ProviderNames()));
  });
  for (std::string_view operation : {op::kDataRequest, op::kRowRequest, op::kExecute}) {
    add(operation, [operation](CallContext&) {
      throw std::runtime_error(std::string(operation) + " " + std::string(kNotSupported));
    });
  }
}

std::size_t UMService::ExpireIdle() {
  EndReason reason("expired after being idle; its open changes were rolled back");
  return sessions_.ExpireIdle();
}

void UMService::EndAll() {
  EndReason reason("ended by the server's shutdown; its open changes were rolled back");
  sessions_.EndAll();
}

void UMService::OnSessionEnd(remoting::Session& session) {
  auto* client = session.DataAs<ClientSession>();
  if (client == nullptr) {
    return;
  }
  const bool had_changes = client->Store().InTransaction();
  client->Store().Rollback();
  spdlog::info("session of {} (client {}) {}{}", LogSafe(client->User()), session.ClientId(),
               client->EndReason().empty() ? end_reason : client->EndReason(),
               had_changes ? "" : " (there were none)");
}

void UMService::Login(CallContext& context) {
  const auto& call = context.GetCall();
  const std::string& user = call.String(param::kUserName);
  const std::string& password = call.String(param::kPassword);
  const std::string& role = call.String(param::kRole);
  auto& session = context.GetSession();
  if (session.IsOpen()) {
    // A client that logs in again starts afresh: what it left open is dropped.
    EndReason reason("replaced by a new login; its open changes were rolled back");
    sessions_.EndLocked(session);
  }

  auto outcome = store_.Login(user, password, role);
  if (!outcome.session) {
    const auto held_back = store_.LoginRetryAfter(user);
    spdlog::warn("login of {} (role {}) from client {} refused{}", LogSafe(user), LogSafe(role),
                 ClientIdOf(context),
                 held_back.count() > 0 ? "; further attempts for this name are refused for " +
                                             std::to_string(held_back.count()) + " ms"
                                       : "");
    context.WriteString(
        kResult, outcome.error.empty() ? std::string(store::kLoginFailedText) : outcome.error);
    return;
  }
  session.SetData(std::make_unique<ClientSession>(std::move(outcome.session)));
  session.Open();
  spdlog::info("login of {} (role {}) from client {}", LogSafe(user), LogSafe(role),
               ClientIdOf(context));
  context.WriteString(kResult, "");
}

void UMService::CreateRDBMSUser(CallContext& context) {
  const auto& call = context.GetCall();
  const std::string& user = call.String(param::kUsername);
  const std::string& password = call.String(param::kPassword);
  auto& client = ClientOf(context);
  std::string result = client.Store().CreateRDBMSUser(user, password);
  if (result.empty()) {
    spdlog::info("{} created the database account {}", LogSafe(client.User()), LogSafe(user));
  } else {
    spdlog::warn("{} could not create the database account {}: {}", LogSafe(client.User()),
                 LogSafe(user), result);
  }
  context.WriteString(kResult, result);
}

void UMService::ChangePassword(CallContext& context) {
  const auto& call = context.GetCall();
  const std::string& user = call.String(param::kUserName);
  const std::string& old_password = call.String(param::kOldPassword);
  const std::string& new_password = call.String(param::kNewPassword);
  auto& client = ClientOf(context);
  std::string result = client.Store().ChangePassword(user, old_password, new_password);
  if (result.empty()) {
    spdlog::info("{} changed the password of {}", LogSafe(client.User()), LogSafe(user));
  } else {
    spdlog::warn("{} could not change the password of {}: {}", LogSafe(client.User()),
                 LogSafe(user), result);
  }
  context.WriteString(kResult, result);
}

void UMService::Commit(CallContext& context) {
  auto& client = ClientOf(context);
  if (!client.Store().InTransaction()) {
    spdlog::debug("commit of {}: nothing to commit", LogSafe(client.User()));
    return;
  }
  try {
    client.Store().Commit();
  } catch (const store::StoreError& error) {
    spdlog::warn("commit of {} refused, everything rolled back: {}", LogSafe(client.User()),
                 error.what());
    throw std::runtime_error(std::string("The changes could not be saved and were undone: ") +
                             error.what());
  }
  spdlog::info("commit of {}", LogSafe(client.User()));
}

void UMService::DestroyDataModule(CallContext& context) {
  ClientOf(context).SetEndReason("closed by its client; changes not committed were rolled back");
  // The dispatcher ends the session (running the end hook) once this call has answered.
  context.EndSession();
}

void UMService::GetRecords(CallContext& context) {
  const auto& call = context.GetCall();
  const std::string provider = ProviderOf(call);
  const std::int32_t count = call.Int32(param::kCount);
  std::vector<dataset::Param> params;
  if (const auto* value = call.Find(param::kParams);
      value != nullptr && std::holds_alternative<remoting::Bytes>(*value)) {
    const auto& bytes = std::get<remoting::Bytes>(*value);
    if (!bytes.empty()) {
      try {
        params = dataset::DecodeParams(AsText(bytes), packet_limits_);
      } catch (const dataset::PacketError& error) {
        throw std::runtime_error("The parameters sent for " + provider +
                                 " are not readable: " + error.what());
      }
    }
  }
  auto& client = ClientOf(context);
  const auto converted = ToParameters(params);
  const store::ResultSet result = providers::GetRecords(client.Store(), provider, converted);
  std::size_t rows = 0;
  const std::string packet = EncodeResultSet(result, count, &rows);
  spdlog::debug("{}: {} rows of {} ({} bytes)", LogSafe(client.User()), rows, provider,
                packet.size());
  context.WriteBinary(kResult, ToBytes(packet));
  context.WriteInt32(kRecsOut, static_cast<std::int32_t>(rows));
  context.WriteBinary(param::kOwnerData, {});
}

void UMService::ApplyUpdates(CallContext& context) {
  const auto& call = context.GetCall();
  const std::string provider = ProviderOf(call);
  const std::int32_t max_errors = call.Int32(param::kMaxErrors);
  if (providers::IsReadOnly(provider)) {
    throw std::runtime_error("The provider " + provider + " is read-only; it accepts no changes.");
  }
  dataset::Delta delta;
  try {
    delta = dataset::DecodeDelta(AsText(call.Binary(param::kDelta)), packet_limits_);
  } catch (const dataset::PacketError& error) {
    throw std::runtime_error("The changes sent for " + provider +
                             " are not readable: " + error.what());
  }
  auto& client = ClientOf(context);
  const auto changes = ToChangeRows(delta);
  const store::ApplyResult result =
      providers::ApplyUpdates(client.Store(), provider, changes, max_errors);
  const dataset::ReconcileAnswer answer = ToReconcileAnswer(result, delta);
  if (result.refused.empty()) {
    spdlog::debug("{}: {} changes to {} applied", LogSafe(client.User()), result.applied, provider);
  } else {
    spdlog::warn("{}: {} of {} changes to {} refused{}; first reason: {}", LogSafe(client.User()),
                 result.refused.size(), changes.size(), provider,
                 result.stopped ? " (stopped at the error limit)" : "",
                 result.refused.front().reason);
  }
  context.WriteBinary(kResult, ToBytes(dataset::EncodeReconcileAnswer(answer)));
  context.WriteInt32(kErrorCount, static_cast<std::int32_t>(result.refused.size()));
  context.WriteBinary(param::kOwnerData, {});
}

void UMService::GetParams(CallContext& context) {
  const std::string provider = ProviderOf(context.GetCall());
  context.WriteBinary(kResult, ToBytes(dataset::EncodeParams(ParamsOf(provider))));
  context.WriteBinary(param::kOwnerData, {});
}

SessionReaper::SessionReaper(UMService& service, std::chrono::milliseconds interval) {
  thread_ = std::thread([this, &service, interval] {
    std::unique_lock lock(mutex_);
    while (!wake_.wait_for(lock, interval, [this] { return stopping_; })) {
      lock.unlock();
      try {
        service.ExpireIdle();
      } catch (const std::exception& error) {
        spdlog::error("ending idle sessions failed: {}", error.what());
      }
      lock.lock();
    }
  });
}

SessionReaper::~SessionReaper() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

}  // namespace tovra::umserver::service
