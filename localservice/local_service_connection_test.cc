// The module's connection against a scripted service over a real socket: the service's end is
// the same message stack as Noise initiator, and each test decides what it answers.
#include "localservice/local_service_connection.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "card/testing/log_capture.h"
#include "ravcore/network/mbc/message_splitting_wrapper.h"
#include "ravcore/network/mbc/noise_wrapper.h"
#include "ravcore/network/mbc/pipe_stream_wrapper.h"
#include "ravcore/network/mbc/polling_wrapper.h"
#include "ravcore/network/mbc/stack_builder.h"
#include "ravcore/network/pipe_test_util.h"

namespace varlo {
namespace {

using namespace std::chrono_literals;
using namespace ravcore::network;
using namespace ravcore::network::mbc;
using namespace ravcore::network::testing_util;
using service_protocol::Command;
using ::testing::ElementsAre;

const auto* const kLog = ::testing::AddGlobalTestEnvironment(new testing::LogCaptureEnvironment);

constexpr LocalServiceConnection::Timing kFast{2000ms, 5ms, 2000ms, 5ms};

DesfireData Token(std::uint64_t uid, const std::string& label) {
  DesfireData data;
  data.uid = uid;
  data.label = label;
  data.initialized = true;
  data.pinData.assign(kPinDataSize, 0x13);
  return data;
}

// One connected module as the service sees it.
struct Peer {
  void Send(const SecureBytes& message) { stack->Write(Message(message)); }
  void Reply(std::uint32_t taskId, const SecureBytes& payload = {}) {
    Send(service_protocol::BuildMessage(taskId, Command::GetAllTokens, payload));
  }
  std::unique_ptr<IStack> stack;
};

// A service on a private socket. Each accepted connection is first offered to `drop`, which
// may end it before or during the handshake; the others get a whole stack whose messages go to
// `onMessage` on the polling thread.
class ScriptedService {
 public:
  using Handler = std::function<void(Peer&, const Bytes&)>;
  static void ReplyEmpty(Peer& peer, const Bytes& message) {
    peer.Reply(service_protocol::ReadHeader(message)->taskId);
  }

  // By default every request gets an empty reply.
  explicit ScriptedService(Handler onMessage = ReplyEmpty, std::uint8_t keyFill = 0)
      : onMessage_(std::move(onMessage)), keyFill_(keyFill) {
    acceptor_ = std::thread([this] { AcceptLoop(); });
  }
  ~ScriptedService() {
    running_ = false;
    acceptor_.join();
    std::lock_guard lock(mutex_);
    peers_.clear();
  }

  const std::u16string& Name() const { return service_.name; }
  int Accepted() const { return accepted_; }
  // Connections the service ends itself: while this returns true for the n-th connection
  // (from 1), it is closed as soon as the handshake is over.
  std::function<bool(int)> drop = [](int) { return false; };

  // Modules whose stack is complete on the service's side too.
  std::size_t Connected() {
    std::lock_guard lock(mutex_);
    return peers_.size();
  }
  // Drops every connected module, as a service that stops would.
  void DisconnectAll() {
    std::lock_guard lock(mutex_);
    peers_.clear();
  }

 private:
  void AcceptLoop() {
    while (running_) {
      varlo::platform::PipeConnection connection = service_.listener.Accept(20ms);
      if (!connection.IsOpen())
        continue;
      const int n = ++accepted_;
      auto stream = std::make_shared<PipeStream>();
      stream->Adopt(std::move(connection));
      std::vector<SecureBytes> keys;
      keys.push_back(keyFill_ == 0 ? service_protocol::DerivePreSharedKey()
                                   : SecureBytes(32, keyFill_));
      if (drop(n)) {
        auto noise = std::make_shared<NoiseWrapper>(keys, true, NoiseWrapper::Timing{2000ms, 1ms});
        auto records = std::make_shared<PipeStreamWrapper>(stream);
        noise->Attach(records, records);
        Failure([&] { noise->DoHandshake(); });
        stream->Close();
        continue;
      }
      auto peer = std::make_unique<Peer>();
      std::promise<void> built;
      StackBuilder builder;
      builder.Add<PipeStreamWrapper>(stream);
      builder.Add<NoiseWrapper>(keys, true, NoiseWrapper::Timing{2000ms, 1ms})
          .Configure([](const std::shared_ptr<NoiseWrapper>& w) { w->DoHandshake(); });
      builder.Add<MessageSplittingWrapper>();
      builder.Add<PollingWrapper>(1ms).Configure(
          [this, peer = peer.get(),
           ready = built.get_future().share()](const std::shared_ptr<PollingWrapper>& polling) {
            polling->messages.Subscribe([this, peer, ready](const Message& m) {
              // The module may send before Build has returned the stack to reply on.
              if (ready.wait_for(10s) == std::future_status::ready && peer->stack)
                onMessage_(*peer, ToBytes(m));
            });
            polling->Start();
          });
      const std::string failure = Failure([&] { peer->stack = builder.Build(); });
      built.set_value();
      if (!failure.empty())
        continue;
      std::lock_guard lock(mutex_);
      peers_.push_back(std::move(peer));
    }
  }

  Handler onMessage_;
  std::uint8_t keyFill_;
  TestService service_;
  std::atomic<bool> running_{true};
  std::atomic<int> accepted_{0};
  std::mutex mutex_;
  std::vector<std::unique_ptr<Peer>> peers_;
  std::thread acceptor_;  // last: it uses everything above
};

service_protocol::Header HeaderOf(const Bytes& message) {
  return *service_protocol::ReadHeader(message);
}

SecureBytes Records(const std::vector<DesfireData>& tokens) {
  SecureBytes payload;
  for (const auto& token : tokens)
    service_protocol::AppendTokenRecord(payload, token.uid, token.ToJson());
  return payload;
}

TEST(LocalServiceConnection, GetAllRepliesAreParsedOrRefused) {
  const SecureBytes twoTokens = Records({Token(0x04A1, "first"), Token(0x04B2, "second")});
  SecureBytes cutShort = twoTokens;
  cutShort.pop_back();
  SecureBytes notJson;
  service_protocol::AppendTokenRecord(notJson, 1, "{not json");
  struct Case {
    const char* name;
    SecureBytes payload;
    std::string failure;
    std::vector<std::string> labels;
  } cases[] = {
      {"empty store: header only", {}, "", {}},
      {"two records", twoTokens, "", {"first", "second"}},
      {"length past the end", cutShort, "Invalid data size in GetAllToken response.", {}},
      {"not a document", notJson, "Failed to load stored token.", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedService service(
        [&](Peer& peer, const Bytes& message) { peer.Reply(HeaderOf(message).taskId, c.payload); });
    LocalServiceConnection connection(nullptr, kFast, service.Name());
    ASSERT_TRUE(connection.WaitUntilConnected(10s));
    std::vector<std::string> labels;
    const std::string failure = Failure([&] {
      for (const auto& token : connection.RequestStoredTokens())
        labels.push_back(token.label);
    });
    EXPECT_EQ(failure, c.failure);
    EXPECT_EQ(labels, c.labels);
  }
}

TEST(LocalServiceConnection, StoreRemoveStrayRepliesAndClear) {
  std::mutex mutex;
  std::vector<Bytes> seen;
  ScriptedService service([&](Peer& peer, const Bytes& message) {
    {
      std::lock_guard lock(mutex);
      seen.push_back(message);
    }
    // Answers nobody waits for: the store's entry is gone, and an id nobody asked for.
    peer.Reply(HeaderOf(message).taskId, SecureBytes{1});
    peer.Reply(HeaderOf(message).taskId + 1, SecureBytes{1});
    if (HeaderOf(message).command == static_cast<std::uint8_t>(Command::RemoveToken))
      peer.Send(service_protocol::BuildMessage(0, Command::ClearAll));
  });
  std::atomic<int> clears{0};
  LocalServiceConnection connection([&] { ++clears; }, kFast, service.Name());
  ASSERT_TRUE(connection.WaitUntilConnected(10s));
  auto mark = testing::LogCapture::Install().Mark();

  const DesfireData token = Token(0x0411223344556677, "stored");
  connection.StoreToken(token);
  connection.RemoveToken(token.uid);
  ASSERT_TRUE(WaitUntil([&] { return clears == 1; }));

  std::lock_guard lock(mutex);
  ASSERT_EQ(seen.size(), 2u);
  const auto store = HeaderOf(seen[0]);
  EXPECT_EQ(store.version, 1);
  EXPECT_EQ(store.module, 1);
  EXPECT_EQ(store.command, 1);
  const auto records = service_protocol::ReadTokenRecords(std::span(seen[0]).subspan(7));
  ASSERT_TRUE(records && records->size() == 1);
  EXPECT_EQ((*records)[0].uid, token.uid);
  EXPECT_EQ((*records)[0].json, token.ToJson());
  EXPECT_EQ(HeaderOf(seen[1]).command, 2);
  EXPECT_EQ(service_protocol::ReadRemovePayload(std::span(seen[1]).subspan(7)), token.uid);
  EXPECT_TRUE(testing::LogCapture::Install().WaitForLines(
      mark, {{LogLevel::Error, "LSConnection",
              "LocalServiceConnection::HandleMessage No corresponding task for task id ", true},
             {LogLevel::Debug, "LSConnection",
              "LocalServiceConnection::HandleMessage Received clear all token command."}}));
}

TEST(LocalServiceConnection, ServiceAbsentFailsFastAndShutsDownAtOnce) {
  TestService unused;  // a folder of our own; nobody listens at the name below
  const std::u16string name = ToU16(unused.path + "-absent");
  const auto start = std::chrono::steady_clock::now();
  {
    LocalServiceConnection connection(nullptr, LocalServiceConnection::Timing{}, name);
    EXPECT_FALSE(connection.WaitUntilConnected(50ms));
    EXPECT_EQ(Failure([&] { connection.RequestStoredTokens(); }), "No pipe connection.");
  }
  // The production waits (100 ms retries, 30 s handshake) do not hold up the destructor.
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
}

// With another key the module's side of the handshake completes (the key is mixed into its last
// message), but the service refuses it and drops the pipe: the module tries again and again.
TEST(LocalServiceConnection, AnotherKeyIsRefusedAndRetried) {
  ScriptedService impostor(ScriptedService::ReplyEmpty, 0x5A);
  LocalServiceConnection connection(nullptr, kFast, impostor.Name());
  EXPECT_TRUE(WaitUntil([&] { return impostor.Accepted() >= 3; }));
}

// Peers that complete the handshake and go at once, 50 in a row, so that the pipe error meets
// the module in the middle of its build or just after it: it never stays on a dead pipe, and
// the 51st peer, which stays, is served.
TEST(LocalServiceConnection, PeerGoneDuringBuildNeverEndsConnected) {
  constexpr int kDrops = 50;
  ScriptedService service;
  service.drop = [](int n) { return n <= kDrops; };
  LocalServiceConnection connection(nullptr, kFast, service.Name());
  ASSERT_TRUE(WaitUntil([&] { return service.Accepted() > kDrops && connection.IsConnected(); }));
  EXPECT_THAT(connection.RequestStoredTokens(), ElementsAre());
  EXPECT_EQ(service.Accepted(), kDrops + 1);
}

TEST(LocalServiceConnection, ServiceGoneAndBackMeansANewHandshake) {
  ScriptedService service;
  LocalServiceConnection connection(nullptr, kFast, service.Name());
  ASSERT_TRUE(WaitUntil([&] { return service.Connected() == 1; }));
  auto mark = testing::LogCapture::Install().Mark();
  service.DisconnectAll();
  EXPECT_TRUE(testing::LogCapture::Install().WaitForLines(
      mark,
      {{LogLevel::Error, "LSConnection", "LocalServiceConnection::OnPipeError Pipe error: 0x",
        true},
       {LogLevel::Info, "LSConnection", "LocalServiceConnection::ConnectAsync pipe connected"}}));
  ASSERT_TRUE(WaitUntil([&] { return service.Accepted() == 2 && connection.IsConnected(); }));
  EXPECT_THAT(connection.RequestStoredTokens(), ElementsAre());
}

TEST(LocalServiceConnection, AServiceThatNeverAnswersTimesOut) {
  ScriptedService service([](Peer&, const Bytes&) {});
  LocalServiceConnection connection(nullptr, {200ms, 5ms, 2000ms, 5ms}, service.Name());
  ASSERT_TRUE(connection.WaitUntilConnected(10s));
  EXPECT_EQ(Failure([&] { connection.RequestStoredTokens(); }), "Request timed out.");
}

}  // namespace
}  // namespace varlo
