// Whole message stacks at both ends of a real pipe: the module's (Noise responder) and the
// service's (Noise initiator), each pipe stream -> records -> Noise -> frames -> polling.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ravcore/network/mbc/message_splitting_wrapper.h"
#include "ravcore/network/mbc/noise_wrapper.h"
#include "ravcore/network/mbc/pipe_stream_wrapper.h"
#include "ravcore/network/mbc/polling_wrapper.h"
#include "ravcore/network/mbc/stack_builder.h"
#include "ravcore/network/network_exception.h"
#include "ravcore/network/pipe_test_util.h"

namespace ravcore::network::mbc {
namespace {

using testing_util::TestService;
using testing_util::WaitUntil;
using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

Bytes Pattern(std::size_t n, std::uint32_t seed) {
  Bytes bytes(n);
  std::uint32_t x = seed * 2654435761u + 1;
  for (auto& b : bytes) {
    x = x * 1664525u + 1013904223u;
    b = static_cast<std::uint8_t>(x >> 24);
  }
  return bytes;
}

std::string Describe(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const NetworkException& e) {
    return std::string(e.what()) + " (" + std::to_string(e.GetSystemErrorCode()) + ")";
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "unknown";
  }
}

// One end of the channel: its pipe stream, its stack and what its polling layer delivered.
class Endpoint {
 public:
  explicit Endpoint(std::shared_ptr<PipeStream> stream) : stream_(std::move(stream)) {}

  // Builds the stack; rethrows what the build threw.
  void Build(std::uint8_t keyFill, bool initiator, NoiseWrapper::Timing timing) {
    StackBuilder builder;
    builder.Add<PipeStreamWrapper>(stream_);
    builder
        .Add<NoiseWrapper>(std::vector<varlo::SecureBytes>{varlo::SecureBytes(32, keyFill)},
                           initiator, timing)
        .Configure([](const std::shared_ptr<NoiseWrapper>& noise) { noise->DoHandshake(); });
    builder.Add<MessageSplittingWrapper>();
    builder.Add<PollingWrapper>(1ms).Configure([this](const std::shared_ptr<PollingWrapper>& p) {
      p->messages.Subscribe([this](const Message& m) {
        std::lock_guard lock(mutex_);
        received_.emplace_back(m.Bytes().begin(), m.Bytes().end());
      });
      p->errors.Subscribe([this](const std::exception_ptr& e) {
        std::string text = Describe(e);  // on the polling thread, which holds the exception
        std::lock_guard lock(mutex_);
        error_ = text;
      });
      p->Start();
    });
    stack_ = builder.Build();
  }

  IStack& Stack() { return *stack_; }
  PipeStream& Stream() { return *stream_; }

  std::size_t ReceivedCount() {
    std::lock_guard lock(mutex_);
    return received_.size();
  }
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

// What a build threw, as text; "" when it succeeded.
template <typename Call>
std::string Failure(Call call) {
  try {
    call();
  } catch (const char* text) {
    return std::string("noise: ") + text;
  } catch (const std::exception& error) {
    return error.what();
  }
  return "";
}

class SecureChannel : public ::testing::Test {
 protected:
  static constexpr NoiseWrapper::Timing kTiming{10000ms, 1ms};

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
    std::thread moduleSide(
        [&] { moduleFailure = Failure([&] { module->Build(moduleKey, false, kTiming); }); });
    std::string serviceFailure = Failure([&] { tokenService->Build(serviceKey, true, kTiming); });
    moduleSide.join();
    return {moduleFailure, serviceFailure};
  }

  TestService service;
  std::unique_ptr<Endpoint> module;
  std::unique_ptr<Endpoint> tokenService;
};

TEST_F(SecureChannel, MessagesUpToOneMebibyteCrossBothWaysAtOnceInOrderAndIntact) {
  ASSERT_EQ(BuildBoth(0x42, 0x42), std::make_pair(std::string(), std::string()));
  const std::vector<std::size_t> sizes = {0,     1,      16,     64487,   64488, 64503,
                                          64504, 100000, 129006, 1 << 20, 0,     3};
  auto send = [&](Endpoint& from, std::uint32_t seed) {
    for (std::size_t i = 0; i < sizes.size(); ++i) {
      from.Stack().Write(Message(Pattern(sizes[i], seed + static_cast<std::uint32_t>(i))));
    }
  };
  std::thread moduleWriter([&] { send(*module, 1000); });
  send(*tokenService, 2000);
  moduleWriter.join();

  ASSERT_TRUE(WaitUntil(
      [&] {
        return module->ReceivedCount() == sizes.size() &&
               tokenService->ReceivedCount() == sizes.size();
      },
      60s));
  const auto atModule = module->Received();
  const auto atService = tokenService->Received();
  for (std::size_t i = 0; i < sizes.size(); ++i) {
    EXPECT_EQ(atModule[i], Pattern(sizes[i], 2000 + static_cast<std::uint32_t>(i))) << i;
    EXPECT_EQ(atService[i], Pattern(sizes[i], 1000 + static_cast<std::uint32_t>(i))) << i;
  }
  EXPECT_EQ(module->Error(), "");
  EXPECT_EQ(tokenService->Error(), "");
}

TEST_F(SecureChannel, WrongPreSharedKeyFailsTheHandshakeAndTheModuleSeesThePipeGo) {
  auto [moduleFailure, serviceFailure] = BuildBoth(0x42, 0x43);
  EXPECT_EQ(moduleFailure, "");  // the responder cannot tell before the first transport message
  EXPECT_THAT(serviceFailure, testing::StartsWith("noise: "));

  tokenService->Stream().Close();  // the service drops the failed connection
  ASSERT_TRUE(WaitUntil([&] { return !module->Error().empty(); }));
  EXPECT_EQ(module->Error(), "Connection lost. (109)");
}

TEST_F(SecureChannel, SilentServiceEndsTheModulesHandshakeWithTimeout) {
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Failure([&] {
              module->Build(0x42, false, NoiseWrapper::Timing{200ms, 5ms});
            }),
            "Timeout.");
  EXPECT_GE(std::chrono::steady_clock::now() - start, 200ms);
}

}  // namespace
}  // namespace ravcore::network::mbc
