#include "remoting/dispatcher.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <list>
#include <optional>
#include <stdexcept>

#include "in_process_channel.h"
#include "remoting/errors.h"
#include "remoting/log.h"
#include "test_threads.h"

namespace tovra::remoting {
namespace {

using testing::Event;
using ::testing::HasSubstr;
using testing::InProcessChannel;
using testing::SetOnExit;
using testing::Worker;
using namespace std::chrono_literals;

// What a service keeps per session; counts how often sessions were rolled back.
struct Connection : SessionData {
  std::string user;
  std::atomic<int>* rollbacks = nullptr;
};

// A small service: login opens a session, the rest need one.
struct TestService {
  SessionStore sessions{1h};
  Dispatcher dispatcher{sessions};
  std::atomic<int> runs{0};
  std::atomic<int> rollbacks{0};
  // "Hold" sets `held` once it runs, then waits for `release`: a test decides when it ends.
  Event held;
  Event release;

  TestService() {
    sessions.SetEndHook([this](Session& session) {
      if (auto* connection = session.DataAs<Connection>())
        ++*connection->rollbacks;
    });
    Add("login", SessionPolicy::kNone, [this](CallContext& context) {
      if (context.GetCall().String("Password") != "secret") {
        context.WriteString("Result", "wrong password");
        return;
      }
      auto connection = std::make_unique<Connection>();
      connection->user = context.GetCall().String("UserName");
      connection->rollbacks = &rollbacks;
      context.GetSession().SetData(std::move(connection));
      context.GetSession().Open();
      context.WriteString("Result", "");
    });
    Add("Whoami", SessionPolicy::kRequired, [](CallContext& context) {
      context.WriteString("Result", context.GetSession().DataAs<Connection>()->user);
    });
    Add("Count", SessionPolicy::kRequired,
        [this](CallContext& context) { context.WriteInt32("Result", ++runs); });
    Add("Hold", SessionPolicy::kRequired, [this](CallContext& context) {
      held.Set();
      if (!release.WaitFor()) {
        throw std::runtime_error("Hold was never released");
      }
      context.WriteInt32("Result", ++runs);
    });
    Add("Fail", SessionPolicy::kRequired, [](CallContext&) -> void {
      throw std::runtime_error("Row refused: duplicate key value violates \"user_pkey\"");
    });
    Add("Logout", SessionPolicy::kRequired, [](CallContext& context) { context.EndSession(); });
  }

  void Add(const char* name, SessionPolicy policy, Operation run) {
    dispatcher.Register("TestLibrary", "TestService", name, std::move(run), policy);
  }
};

// A client of the test service over an in-process channel.
struct Client {
  InProcessChannel channel;
  BinMessage message;

  explicit Client(TestService& service, int sends_per_call = 1)
      : channel(service.dispatcher.Handler(), sends_per_call) {}

  void Call(const char* operation, std::vector<NamedValue> values = {},
            const char* library = "TestLibrary") {
    message.Initialize(library, "TestService", operation);
    for (const auto& value : values)
      message.WriteString(value.name, std::get<std::string>(value.value));
    channel.Dispatch(message);
  }
  std::string Login(const char* password = "secret") {
    Call("login", {{"UserName", std::string("admin")}, {"Password", std::string(password)}});
    return message.ReadString("Result");
  }
};

std::string FaultOf(const std::function<void()>& call) {
  try {
    call();
  } catch (const ServerFault& fault) {
    return fault.what();
  }
  return "(no fault)";
}

TEST(Dispatcher, RoutesAndReportsFaultsWithTheServersText) {
  TestService service;
  Client client(service);
  EXPECT_EQ(client.Login("wrong"), "wrong password");
  EXPECT_EQ(client.Login(), "");
  client.Call("Whoami");
  EXPECT_EQ(client.message.ReadString("Result"), "admin");
  // A client that knows only the service's name reaches it too.
  client.Call("Whoami", {}, "");
  EXPECT_EQ(client.message.ReadString("Result"), "admin");

  EXPECT_EQ(FaultOf([&] { client.Call("Fail"); }),
            "Row refused: duplicate key value violates \"user_pkey\"");
  EXPECT_EQ(FaultOf([&] { client.Call("Nope"); }),
            "The service TestService has no operation \"Nope\".");
  EXPECT_EQ(FaultOf([&] { client.Call("Whoami", {}, "OtherLibrary"); }),
            "The server has no service \"TestService\" in library \"OtherLibrary\".");
  // A fault does not end the session.
  client.Call("Whoami");
  EXPECT_EQ(client.message.ReadString("Result"), "admin");
}

TEST(Dispatcher, OperationsThatNeedASessionAreRefusedWithoutOne) {
  TestService service;
  Client client(service);
  EXPECT_EQ(FaultOf([&] { client.Call("Whoami"); }), Dispatcher::kNoSession);
  EXPECT_EQ(client.Login("wrong"), "wrong password");
  EXPECT_EQ(FaultOf([&] { client.Call("Whoami"); }), Dispatcher::kNoSession);
  EXPECT_EQ(service.runs, 0);

  // Another message object is another client: it does not share the first one's session.
  EXPECT_EQ(client.Login(), "");
  Client stranger(service);
  EXPECT_EQ(FaultOf([&] { stranger.Call("Count"); }), Dispatcher::kNoSession);
  EXPECT_EQ(service.runs, 0);
}

TEST(Dispatcher, RefusalsWithoutASessionAreLoggedWithTheClientsTextEscaped) {
  std::vector<std::string> log;
  SetLogSink([&](LogLevel, std::string_view text) { log.emplace_back(text); });
  TestService service;
  Client client(service);
  client.message.SetClientId("forged\nline");
  EXPECT_EQ(FaultOf([&] { client.Call("Whoami"); }), Dispatcher::kNoSession);
  SetLogSink(nullptr);

  ASSERT_EQ(log.size(), 1u);
  EXPECT_THAT(log[0], HasSubstr("TestService.Whoami"));
  EXPECT_THAT(log[0], HasSubstr("forged\\x0aline"));
  EXPECT_THAT(log[0], HasSubstr("no session"));
}

TEST(Dispatcher, ARepeatedRequestRunsOnceAndGetsTheSameAnswer) {
  TestService service;
  Client client(service, /*sends_per_call=*/3);
  EXPECT_EQ(client.Login(), "");
  client.Call("Count");
  EXPECT_EQ(client.message.ReadInt32("Result"), 1);
  client.Call("Count");
  EXPECT_EQ(client.message.ReadInt32("Result"), 2);
  EXPECT_EQ(service.runs, 2);
  EXPECT_EQ(client.channel.Exchanges(), 9);
  // A retried login did not run twice either: still one session with one connection.
  EXPECT_EQ(service.sessions.Size(), 1u);
}

TEST(Dispatcher, ARetryArrivingDuringTheFirstRunWaitsForIt) {
  TestService service;
  Client client(service);
  EXPECT_EQ(client.Login(), "");

  client.message.Initialize("TestLibrary", "TestService", "Hold");
  const Bytes request = Seal(client.message.Serialize(), {MessageKind::kBin, false, Cipher::kNone});
  const auto session = service.sessions.Find(client.message.ClientId());
  ASSERT_TRUE(session);
  std::optional<Bytes> answers[2];
  std::atomic<bool> retry_answered{false};
  std::optional<Worker> first, retry;
  SetOnExit release(service.release);  // before the workers are joined, whatever happens
  first.emplace([&] { answers[0] = service.dispatcher.Handle(request); });
  ASSERT_TRUE(service.held.WaitFor()) << "the first run did not start";

  // The first run is certainly busy now. A request touches its session before it waits for
  // the session's call lock, so a new time stamp says the retry has arrived.
  const auto before_retry = session->LastSeen();
  retry.emplace([&] {
    answers[1] = service.dispatcher.Handle(request);
    retry_answered = true;
  });
  ASSERT_TRUE(testing::WaitUntil([&] { return session->LastSeen() != before_retry; }))
      << "the retry never reached the session";
  EXPECT_FALSE(retry_answered) << "the retry was answered while the first run was busy";
  service.release.Set();
  first->Join();
  retry->Join();

  EXPECT_EQ(service.runs, 1);
  for (const auto& answer : answers) {
    ASSERT_TRUE(answer);
    client.message.ReadResponse(Open(*answer).payload);
    EXPECT_EQ(client.message.ReadInt32("Result"), 1);
  }
}

TEST(Dispatcher, ALateCopyOfAnEarlierRequestIsNotRunAgain) {
  TestService service;
  Client client(service);
  EXPECT_EQ(client.Login(), "");
  client.message.Initialize("TestLibrary", "TestService", "Count");
  const Bytes early = Seal(client.message.Serialize(), {MessageKind::kBin, false, Cipher::kNone});
  ASSERT_TRUE(service.dispatcher.Handle(early));
  client.Call("Count");
  ASSERT_EQ(service.runs, 2);

  const std::optional<Bytes> late = service.dispatcher.Handle(early);
  ASSERT_TRUE(late);
  const Answer answer = BinMessage().DecodeAnswer(Open(*late).payload, {});
  ASSERT_TRUE(answer.fault);
  EXPECT_THAT(*answer.fault, HasSubstr("not run again"));
  EXPECT_EQ(service.runs, 2);
}

TEST(Dispatcher, EndingASessionRollsBackAndKeepsTheAnswerForRetries) {
  TestService service;
  Client client(service, /*sends_per_call=*/2);
  EXPECT_EQ(client.Login(), "");
  client.Call("Logout");  // sent twice: the retry gets the cached answer, not "no session"
  EXPECT_EQ(service.rollbacks, 1);
  EXPECT_EQ(FaultOf([&] { client.Call("Whoami"); }), Dispatcher::kNoSession);
  // Logging in again opens a fresh session on the same client id.
  EXPECT_EQ(client.Login(), "");
  client.Call("Whoami");
  EXPECT_EQ(client.message.ReadString("Result"), "admin");
}

TEST(Dispatcher, IdleSessionsExpireThroughTheEndHook) {
  TestService service;
  Client idle(service);
  Client active(service);
  Client never_logged_in(service);
  EXPECT_EQ(idle.Login(), "");
  EXPECT_EQ(active.Login(), "");
  EXPECT_EQ(never_logged_in.Login("wrong"), "wrong password");

  const auto now = Session::Clock::now();
  EXPECT_EQ(service.sessions.ExpireIdle(now), 0u);
  EXPECT_EQ(service.sessions.ExpireIdle(now + 2h), 3u);
  EXPECT_EQ(service.rollbacks, 2) << "only open sessions are rolled back";
  EXPECT_EQ(FaultOf([&] { idle.Call("Whoami"); }), Dispatcher::kNoSession);
  EXPECT_EQ(service.sessions.Size(), 0u);

  // A session whose call is running is not idle, however old its last call.
  EXPECT_EQ(active.Login(), "");
  {
    std::optional<Worker> held;
    SetOnExit release(service.release);
    held.emplace([&] { active.Call("Hold"); });
    ASSERT_TRUE(service.held.WaitFor()) << "the call did not start";
    EXPECT_EQ(service.sessions.ExpireIdle(Session::Clock::now() + 2h), 0u);
    service.release.Set();
    held->Join();
  }
  EXPECT_EQ(active.message.ReadInt32("Result"), 1);

  // Shutdown ends what is left.
  service.sessions.EndAll();
  EXPECT_EQ(service.rollbacks, 3);
}

TEST(Dispatcher, AFullStoreRefusesNewClientsButKeepsTheOldOnes) {
  SessionStore sessions(1h, /*max_sessions=*/1);
  Dispatcher dispatcher(sessions);
  dispatcher.Register(
      "L", "S", "login", [](CallContext& c) { c.GetSession().Open(); }, SessionPolicy::kNone);
  InProcessChannel first_channel(dispatcher.Handler()), second_channel(dispatcher.Handler());
  BinMessage first, second;
  first.Initialize("L", "S", "login");
  first_channel.Dispatch(first);
  second.Initialize("L", "S", "login");
  try {
    second_channel.Dispatch(second);
    ADD_FAILURE() << "a second session was created";
  } catch (const ServerFault& fault) {
    EXPECT_THAT(fault.what(), HasSubstr("too many sessions"));
  }
  first.Initialize("L", "S", "login");
  first_channel.Dispatch(first);
}

TEST(Dispatcher, UnreadableRequestsGetAFaultWhenOneCanBeSealed) {
  std::vector<std::string> log;
  SetLogSink([&](LogLevel, std::string_view text) { log.emplace_back(text); });
  TestService service;

  EXPECT_EQ(service.dispatcher.Handle(Bytes{1, 2, 3}), std::nullopt);

  // The header is good, the payload damaged: the fault comes back in the request's settings.
  const EnvelopeSettings settings{MessageKind::kPost, true, Cipher::kBlowfish};
  Bytes damaged = Seal(Bytes(100, 'a'), settings);
  damaged[19] ^= 1;
  const std::optional<Bytes> answer = service.dispatcher.Handle(damaged);
  ASSERT_TRUE(answer);
  const Opened opened = Open(*answer);
  EXPECT_EQ(opened.settings, settings);
  PostMessage message;
  message.Initialize("TestLibrary", "TestService", "Whoami");
  try {
    message.ReadResponse(opened.payload);
    ADD_FAILURE() << "no fault";
  } catch (const ServerFault& fault) {
    EXPECT_THAT(fault.what(), HasSubstr("could not read the request: CRC mismatch"));
  }

  // A good envelope around a payload that is no call.
  const std::optional<Bytes> not_a_call =
      service.dispatcher.Handle(Seal(Bytes{'x', '=', '1'}, settings));
  ASSERT_TRUE(not_a_call);
  EXPECT_TRUE(PostMessage().DecodeAnswer(Open(*not_a_call).payload, {}).fault);

  SetLogSink(nullptr);
  EXPECT_EQ(log.size(), 3u);
}

TEST(Dispatcher, ConcurrentClientsEachKeepTheirOwnSession) {
  TestService service;
  std::list<Worker> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&] {
      Client client(service);
      if (client.Login() != "")
        ++failures;
      for (int i = 0; i < 50; ++i) {
        client.Call("Whoami");
        if (client.message.ReadString("Result") != "admin")
          ++failures;
      }
      client.Call("Logout");
    });
  }
  for (auto& thread : threads)
    EXPECT_NO_THROW(thread.Join());
  EXPECT_EQ(failures, 0);
  EXPECT_EQ(service.rollbacks, 8);
}

}  // namespace
}  // namespace tovra::remoting
