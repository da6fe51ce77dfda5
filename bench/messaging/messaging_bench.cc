// The message stack between the module's end (Noise responder) and a service's end (Noise
// initiator) over a Unix domain socket, each end pipe stream -> records -> Noise -> frames ->
// polling at the production idle interval, against a reference on a bare socket pair. Each
// iteration runs the stack and then the reference, so that both see the same machine load; the
// time shown is the stack's, the counters give the reference's time and the ratio
// stack / reference (the figure to quote):
//
//   BM_1MiB       stack: one 1 MiB message written at one top, delivered at the other;
//                 reference: the same bytes in 64503-byte pieces, each sealed with
//                 ChaCha20-Poly1305 (libsodium), written, read and opened, on one thread
//   BM_RoundTrip  stack: a 64-byte request and its reply through both stacks;
//                 reference: the same ping-pong on the socket pair, the request sealed before it
//                 goes and the reply opened when it is back (two AEAD calls)
#include <benchmark/benchmark.h>
#include <sodium.h>

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "bench/common/compare.h"
#include "common/utf.h"
#include "platform/pipe/pipe_listener.h"
#include "ravcore/network/mbc/message_splitting_wrapper.h"
#include "ravcore/network/mbc/noise_wrapper.h"
#include "ravcore/network/mbc/pipe_stream_wrapper.h"
#include "ravcore/network/mbc/polling_wrapper.h"
#include "ravcore/network/mbc/stack_builder.h"

namespace {

using namespace ravcore::network;
using namespace ravcore::network::mbc;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kMiB = 1 << 20;
constexpr std::size_t kRequest = 64;

// One end: its stack, and a count of delivered messages to wait on. An optional responder
// answers every message from the polling thread.
class End {
 public:
  explicit End(std::shared_ptr<PipeStream> stream) : stream_(std::move(stream)) {}

  void Build(bool initiator, bool echo) {
    StackBuilder builder;
    builder.Add<PipeStreamWrapper>(stream_);
    builder
        .Add<NoiseWrapper>(std::vector<varlo::SecureBytes>{varlo::SecureBytes(32, 0x42)}, initiator)
        .Configure([](const std::shared_ptr<NoiseWrapper>& noise) { noise->DoHandshake(); });
    builder.Add<MessageSplittingWrapper>();
    builder.Add<PollingWrapper>(PollingWrapper::kIdleInterval)
        .Configure([this, echo](const std::shared_ptr<PollingWrapper>& p) {
          PollingWrapper* top = p.get();  // the observer runs only while the wrapper lives
          p->messages.Subscribe([this, echo, top](const Message& m) {
            if (echo)
              top->Write(m);
            {
              std::lock_guard lock(mutex_);
              ++delivered_;
            }
            changed_.notify_all();
          });
          p->Start();
        });
    stack_ = builder.Build();
  }

  void Write(const Message& m) { stack_->Write(m); }

  // Waits until `count` messages have been delivered in all; false after 10 s without.
  bool WaitFor(std::uint64_t count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, 10s, [&] { return delivered_ >= count; });
  }

  ~End() { stack_.reset(); }

 private:
  std::shared_ptr<PipeStream> stream_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::uint64_t delivered_ = 0;
  std::unique_ptr<IStack> stack_;
};

// Both stacks over one pipe; the service's end echoes every message if asked to.
struct Channel {
  explicit Channel(bool echo) : echo(echo) {
    const std::string path = directory.Path() + "/bench";
    listener = std::make_unique<varlo::platform::PipeListener>(path, 4);
    auto moduleStream = std::make_shared<PipeStream>();
    moduleStream->Connect(varlo::Utf8ToUtf16(path));
    auto serviceStream = std::make_shared<PipeStream>();
    serviceStream->Adopt(listener->Accept(10s));
    module = std::make_unique<End>(moduleStream);
    service = std::make_unique<End>(serviceStream);
    std::thread moduleSide([&] { module->Build(false, false); });
    service->Build(true, echo);
    moduleSide.join();
  }
  ~Channel() {
    module.reset();
    service.reset();
  }

  // One message to the service (and its echo back); false if it did not arrive.
  bool Exchange(const Message& message) {
    module->Write(message);
    ++sent;
    return echo ? module->WaitFor(sent) : service->WaitFor(sent);
  }

  const bool echo;
  varlo::platform::TemporaryPipeDirectory directory;
  std::unique_ptr<varlo::platform::PipeListener> listener;
  std::unique_ptr<End> module;
  std::unique_ptr<End> service;
  std::uint64_t sent = 0;
};

using Reference = varlo::bench::SealedSocketPair;
using varlo::bench::Compare;

void BM_1MiB(benchmark::State& state) {
  Channel channel(false);
  Reference ref;
  const Message message(varlo::SecureBytes(kMiB, 0xA5));
  constexpr std::size_t kPiece = MessageSplittingWrapper::kMaxFrameSize - 9;
  const std::vector<std::uint8_t> plaintext(kMiB, 0xA5);
  std::vector<std::uint8_t> sealed(kPiece + 16), received(kPiece + 16), opened(kPiece);
  Compare(
      state, 1, [&] { return channel.Exchange(message); },
      [&] {
        bool ok = true;
        for (std::size_t offset = 0; offset < plaintext.size(); offset += kPiece) {
          const std::size_t n = std::min(kPiece, plaintext.size() - offset);
          const std::size_t sealedSize = n + crypto_aead_chacha20poly1305_ietf_ABYTES;
          ref.Seal(std::span(plaintext).subspan(offset, n), sealed);
          ok = ok && ref.client.WriteAll(std::span(sealed).first(sealedSize)) &&
               ref.server.ReadExactly(std::span(received).first(sealedSize), 10s) &&
               ref.Open(std::span(received).first(sealedSize), opened);
        }
        return ok;
      });
}
BENCHMARK(BM_1MiB)->Unit(benchmark::kMillisecond)->UseManualTime();

void BM_RoundTrip(benchmark::State& state) {
  Channel channel(true);
  Reference ref;
  std::thread echo([&] {
    std::array<std::uint8_t, kRequest + crypto_aead_chacha20poly1305_ietf_ABYTES> in{};
    while (ref.server.ReadExactly(in, 10s) && ref.server.WriteAll(in)) {
    }
  });
  const Message request(varlo::SecureBytes(kRequest, 0x11));
  std::array<std::uint8_t, kRequest> plaintext{};
  std::array<std::uint8_t, kRequest + crypto_aead_chacha20poly1305_ietf_ABYTES> sealed{};
  Compare(
      state, 50, [&] { return channel.Exchange(request); },
      [&] {
        ref.Seal(plaintext, sealed);
        return ref.client.WriteAll(sealed) && ref.client.ReadExactly(sealed, 10s) &&
               ref.Open(sealed, plaintext);
      });
  ref.client.Close();  // ends the echo thread
  echo.join();
}
BENCHMARK(BM_RoundTrip)->Unit(benchmark::kMicrosecond)->UseManualTime();

}  // namespace

int main(int argc, char** argv) {
  if (sodium_init() < 0) {
    std::fputs("messaging_bench: failed to initialize libsodium\n", stderr);
    return 1;
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
