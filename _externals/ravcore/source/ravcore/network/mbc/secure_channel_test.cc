// Whole message stacks at both ends of a real pipe: the module's (Noise responder) and the
// service's (Noise initiator), each pipe stream -> records -> Noise -> frames -> polling.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <thread>

#include "ravcore/network/mbc/message_splitting_wrapper.h"
#include "ravcore/network/mbc/noise_wrapper.h"
#include "ravcore/network/mbc/pipe_stream_wrapper.h"
#include "ravcore/network/mbc/polling_wrapper.h"
#include "ravcore/network/mbc/stack_builder.h"
#include "ravcore/network/pipe_test_util.h"

namespace ravcore::network::mbc {
namespace {

using namespace testing_util;
using namespace std::chrono_literals;

// One end of the channel: its stack and what its polling layer delivered or failed with.
class Endpoint {
 public:
  explicit Endpoint(std::shared_ptr<PipeStream> stream) : stream_(std::move(stream)) {}

  // Builds the stack (the handshake runs inside); returns what the build threw, "" if nothing.
  std::string Build(std::uint8_t keyFill, bool initiator, NoiseWrapper::Timing timing) {
    StackBuilder builder;
    builder.Add<PipeStreamWrapper>(stream_);
    builder
        .Add<NoiseWrapper>(std::vector<varlo::SecureBytes>{varlo::SecureBytes(32, keyFill)},
                           initiator, timing)
        .Configure([](const std::shared_ptr<NoiseWrapper>& noise) { noise->DoHandshake(); });
    builder.Add<MessageSplittingWrapper>();
    // The idle interval is far beyond every deadline here: messages, a gone peer and the
    // stack's destruction must all be noticed by readiness.
    builder.Add<PollingWrapper>(60s).Configure([this](const std::shared_ptr<PollingWrapper>& p) {
      p->messages.Subscribe([this](const Message& m) {
        std::lock_guard lock(mutex_);
        received_.push_back(ToBytes(m));
      });
      p->errors.Subscribe([this](const std::exception_ptr& e) {
        std::string text = Describe(e);  // on the polling thread, which holds the exception
        std::lock_guard lock(mutex_);
        error_ = text;
      });
      p->Start();
    });
    return Failure([&] { stack_ = builder.Build(); });
  }

  IStack& Stack() { return *stack_; }
  void DropStack() { stack_.reset(); }
  PipeStream& Stream() { return *stream_; }
  std::vector<Bytes> Received() {
    std::lock_guard lock(mutex_);
    return received_;
  }
  std::string Error() {
    std::lock_guard lock(mutex_);
    return error_;
  }

 private:
  std::shared_ptr<PipeStream> stream_;
  std::mutex mutex_;
  std::vector<Bytes> received_;
  std::string error_;
  std::unique_ptr<IStack> stack_;  // last: its polling thread goes before what it writes to
};

class SecureChannel : public ::testing::Test {
 protected:
  static constexpr NoiseWrapper::Timing kTiming{10000ms};

  void SetUp() override {
    auto moduleStream = std::make_shared<PipeStream>();
    moduleStream->Connect(service.name);
    auto serviceStream = std::make_shared<PipeStream>();
    serviceStream->Adopt(service.listener.Accept(10s));
    ASSERT_TRUE(serviceStream->IsConnected());
    module = std::make_unique<Endpoint>(moduleStream);
    tokenService = std::make_unique<Endpoint>(serviceStream);
  }

  // Builds both ends at once (the handshake needs both); returns their failures.
  std::pair<std::string, std::string> BuildBoth(std::uint8_t moduleKey, std::uint8_t serviceKey) {
    std::string moduleFailure;
    std::thread moduleSide([&] { moduleFailure = module->Build(moduleKey, false, kTiming); });
    std::string serviceFailure = tokenService->Build(serviceKey, true, kTiming);
    moduleSide.join();
    return {moduleFailure, serviceFailure};
  }

  TestService service;
  std::unique_ptr<Endpoint> module;
  std::unique_ptr<Endpoint> tokenService;
};

// Both ends write at once, more than the socket buffers hold: neither side's writer may keep
// its own reader from draining the pipe.
TEST_F(SecureChannel, MessagesUpToOneMebibyteCrossBothWaysAtOnceInOrderAndIntact) {
  ASSERT_EQ(BuildBoth(0x42, 0x42), std::make_pair(std::string(), std::string()));
  EXPECT_EQ(Failure([&] { module->Stack().Read(); }), "Top of stack is not a message reader. (0)");
  const std::vector<std::size_t> sizes = {0,     1,      16,     64487,   64488, 64503,
                                          64504, 100000, 129006, 1 << 20, 0,     3};
  auto send = [&](Endpoint& from, std::uint32_t variant) {
    for (std::size_t i = 0; i < sizes.size(); ++i)
      from.Stack().Write(Message(Pattern(sizes[i], variant + static_cast<std::uint32_t>(i))));
  };
  std::string moduleFailure, serviceFailure;
  std::thread moduleWriter([&] { moduleFailure = Failure([&] { send(*module, 1000); }); });
  std::thread serviceWriter([&] { serviceFailure = Failure([&] { send(*tokenService, 2000); }); });
  const bool delivered = WaitUntil(
      [&] {
        return module->Received().size() == sizes.size() &&
               tokenService->Received().size() == sizes.size();
      },
      30s);
  if (!delivered) {  // writers stuck behind their own readers: free them to fail, not hang
    module->Stream().Close();
    tokenService->Stream().Close();
  }
  moduleWriter.join();
  serviceWriter.join();
  ASSERT_TRUE(delivered);
  EXPECT_EQ(moduleFailure, "");
  EXPECT_EQ(serviceFailure, "");
  for (std::size_t i = 0; i < sizes.size(); ++i) {
    EXPECT_EQ(module->Received()[i], Pattern(sizes[i], 2000 + static_cast<std::uint32_t>(i)));
    EXPECT_EQ(tokenService->Received()[i], Pattern(sizes[i], 1000 + static_cast<std::uint32_t>(i)));
  }
  EXPECT_EQ(module->Error(), "");
  EXPECT_EQ(tokenService->Error(), "");

  const auto stopping = std::chrono::steady_clock::now();
  module->DropStack();  // its polling thread waits for data: the wait ends at once
  EXPECT_LT(std::chrono::steady_clock::now() - stopping, 5s);
}

// A wrong pre-shared key is pinned where the whole service meets a module:
// tests/service/tokend_test.cc and localservice/local_service_connection_test.cc.

// A record that is no transport message of this session ends the reader's polling with a
// NetworkException for the error observers.
TEST_F(SecureChannel, ForgedMessageReachesTheErrorObserverAsNetworkException) {
  ASSERT_EQ(BuildBoth(0x42, 0x42), std::make_pair(std::string(), std::string()));
  tokenService->Stream().Write(Record(Pattern(64)));
  ASSERT_TRUE(WaitUntil([&] { return !module->Error().empty(); }));
  EXPECT_EQ(module->Error(), "Decryption failed. (0)");
}

TEST_F(SecureChannel, SilentServiceEndsTheModulesHandshakeWithTimeoutNotEarlier) {
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(module->Build(0x42, false, NoiseWrapper::Timing{200ms}), "Timeout. (0)");
  EXPECT_GE(std::chrono::steady_clock::now() - start, 200ms);
}

}  // namespace
}  // namespace ravcore::network::mbc
