// The message stack between the module's end (Noise responder) and a service's end (Noise
// initiator) over a Unix domain socket, each end pipe stream -> records -> Noise -> frames ->
// polling at the production idle interval, against references measured in the same run (quote
// the stack's times as ratios to them):
//
//   BM_Stack_1MiB              one 1 MiB message written at one top, delivered at the other
//   BM_RawChaChaSocket_1MiB    the same bytes in 64503-byte pieces: ChaCha20-Poly1305 (libsodium)
//                              + socket write + socket read + decryption, one thread
//   BM_Stack_RoundTrip         a 64-byte request and its reply through both stacks
//   BM_RawChaChaSocket_RoundTrip  the same 64-byte ping-pong on a bare socket pair, the request
//                              encrypted before it goes and the reply decrypted when it is back
#include <benchmark/benchmark.h>
#include <sodium.h>

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

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

constexpr std::size_t kMiB = 1 << 20;

// One end: its stack, and a count of delivered messages to wait on. An optional responder
// answers every message from the polling thread.
class End {
 public:
  explicit End(std::shared_ptr<PipeStream> stream) : stream_(std::move(stream)) {}

  void Build(bool initiator, std::chrono::milliseconds idle, bool echo) {
    StackBuilder builder;
    builder.Add<PipeStreamWrapper>(stream_);
    builder
        .Add<NoiseWrapper>(std::vector<varlo::SecureBytes>{varlo::SecureBytes(32, 0x42)}, initiator)
        .Configure([](const std::shared_ptr<NoiseWrapper>& noise) { noise->DoHandshake(); });
    builder.Add<MessageSplittingWrapper>();
    builder.Add<PollingWrapper>(idle).Configure(
        [this, echo](const std::shared_ptr<PollingWrapper>& p) {
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

  // Waits until `count` messages have been delivered in all.
  void WaitFor(std::uint64_t count) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return delivered_ >= count; });
  }

  ~End() { stack_.reset(); }

 private:
  std::shared_ptr<PipeStream> stream_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::uint64_t delivered_ = 0;
  std::unique_ptr<IStack> stack_;
};

struct Channel {
  explicit Channel(std::chrono::milliseconds idle, bool serviceEchoes) {
    const std::string path = directory.Path() + "/bench";
    listener = std::make_unique<varlo::platform::PipeListener>(path, 4);
    auto moduleStream = std::make_shared<PipeStream>();
    moduleStream->Connect(std::u16string(path.begin(), path.end()));
    auto serviceStream = std::make_shared<PipeStream>();
    serviceStream->Adopt(listener->Accept(10s));
    module = std::make_unique<End>(moduleStream);
    service = std::make_unique<End>(serviceStream);
    std::thread moduleSide([&] { module->Build(false, idle, false); });
    service->Build(true, idle, serviceEchoes);
    moduleSide.join();
  }
  ~Channel() {
    module.reset();
    service.reset();
  }

  varlo::platform::TemporaryPipeDirectory directory;
  std::unique_ptr<varlo::platform::PipeListener> listener;
  std::unique_ptr<End> module;
  std::unique_ptr<End> service;
};

void BM_Stack_1MiB(benchmark::State& state) {
  Channel channel(PollingWrapper::kIdleInterval, false);
  const Message message(varlo::SecureBytes(kMiB, 0xA5));
  std::uint64_t sent = 0;
  for (auto _ : state) {
    channel.module->Write(message);
    channel.service->WaitFor(++sent);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kMiB));
}
BENCHMARK(BM_Stack_1MiB)->Unit(benchmark::kMillisecond)->UseRealTime();

// A connected socket pair from the platform layer.
struct SocketPair {
  SocketPair() {
    const std::string path = directory.Path() + "/raw";
    listener = std::make_unique<varlo::platform::PipeListener>(path, 4);
    client = varlo::platform::PipeConnection(
        varlo::platform::OpenPipe(std::u16string(path.begin(), path.end())).handle);
    server = listener->Accept(10s);
  }
  varlo::platform::TemporaryPipeDirectory directory;
  std::unique_ptr<varlo::platform::PipeListener> listener;
  varlo::platform::PipeConnection client;
  varlo::platform::PipeConnection server;
};

void BM_RawChaChaSocket_1MiB(benchmark::State& state) {
  if (sodium_init() < 0)
    state.SkipWithError("sodium_init failed");
  SocketPair sockets;
  constexpr std::size_t kPiece = MessageSplittingWrapper::kMaxFrameSize - 9;
  std::array<std::uint8_t, crypto_aead_chacha20poly1305_ietf_KEYBYTES> key{};
  randombytes_buf(key.data(), key.size());
  const std::vector<std::uint8_t> plaintext(kMiB, 0xA5);
  std::vector<std::uint8_t> cipher(kPiece + 16), received(kPiece + 16), decrypted(kPiece);
  std::uint64_t nonceCounter = 0;
  for (auto _ : state) {
    for (std::size_t offset = 0; offset < plaintext.size(); offset += kPiece) {
      const std::size_t n = std::min(kPiece, plaintext.size() - offset);
      std::array<std::uint8_t, 12> nonce{};
      std::memcpy(nonce.data() + 4, &nonceCounter, 8);
      ++nonceCounter;
      unsigned long long clen = 0;
      crypto_aead_chacha20poly1305_ietf_encrypt(cipher.data(), &clen, plaintext.data() + offset, n,
                                                nullptr, 0, nullptr, nonce.data(), key.data());
      sockets.client.WriteAll(std::span(cipher).first(clen));
      sockets.server.ReadExactly(std::span(received).first(clen), 10s);
      unsigned long long plen = 0;
      if (crypto_aead_chacha20poly1305_ietf_decrypt(decrypted.data(), &plen, nullptr,
                                                    received.data(), clen, nullptr, 0, nonce.data(),
                                                    key.data()) != 0) {
        state.SkipWithError("decryption failed");
      }
      benchmark::DoNotOptimize(decrypted.data());
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kMiB));
}
BENCHMARK(BM_RawChaChaSocket_1MiB)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Stack_RoundTrip(benchmark::State& state) {
  Channel channel(PollingWrapper::kIdleInterval, true);
  const Message request(varlo::SecureBytes(64, 0x11));
  std::uint64_t sent = 0;
  for (auto _ : state) {
    channel.module->Write(request);
    channel.module->WaitFor(++sent);
  }
}
BENCHMARK(BM_Stack_RoundTrip)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_RawChaChaSocket_RoundTrip(benchmark::State& state) {
  if (sodium_init() < 0)
    state.SkipWithError("sodium_init failed");
  constexpr std::size_t kRequest = 64;
  constexpr std::size_t kSealed = kRequest + crypto_aead_chacha20poly1305_ietf_ABYTES;
  SocketPair sockets;
  std::thread echo([&] {
    std::array<std::uint8_t, kSealed> in{};
    while (sockets.server.ReadExactly(in, 10s) && sockets.server.WriteAll(in)) {
    }
  });
  std::array<std::uint8_t, crypto_aead_chacha20poly1305_ietf_KEYBYTES> key{};
  randombytes_buf(key.data(), key.size());
  std::array<std::uint8_t, crypto_aead_chacha20poly1305_ietf_NPUBBYTES> nonce{};
  std::array<std::uint8_t, kRequest> plaintext{};
  std::array<std::uint8_t, kSealed> sealed{};
  for (auto _ : state) {
    unsigned long long n = 0;
    crypto_aead_chacha20poly1305_ietf_encrypt(sealed.data(), &n, plaintext.data(), kRequest,
                                              nullptr, 0, nullptr, nonce.data(), key.data());
    sockets.client.WriteAll(sealed);
    sockets.client.ReadExactly(sealed, 10s);
    if (crypto_aead_chacha20poly1305_ietf_decrypt(plaintext.data(), &n, nullptr, sealed.data(),
                                                  kSealed, nullptr, 0, nonce.data(),
                                                  key.data()) != 0) {
      state.SkipWithError("decryption failed");
    }
    sodium_increment(nonce.data(), nonce.size());
  }
  sockets.client.Close();  // ends the echo thread
  echo.join();
}
BENCHMARK(BM_RawChaChaSocket_RoundTrip)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
