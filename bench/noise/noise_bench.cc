// Benchmarks of the Noise framework, each beside the reference it is judged against:
//
//  - a complete Noise_IXpsk2_25519_ChaChaPoly_BLAKE2b handshake, both sides in this process,
//    against the X25519 operations that handshake cannot avoid (four public keys from private
//    keys: two statics, two ephemerals; six DH: ee, se, es on each side);
//  - transport WriteMessage + ReadMessage of the largest payload a transport message carries
//    (65535 - 16 bytes, the "64 KiB" message), against libsodium's ChaCha20-Poly1305 IETF
//    encrypt + decrypt of the same payload.
//
// After the runs the program prints the ratios (medians when repetitions are asked for).
#include <benchmark/benchmark.h>
#include <sodium.h>

#include <array>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "common/secure_bytes.h"
#include "noise/curve25519.h"
#include "noise/handshake_state.h"
#include "noise/protocol.h"

namespace {

using varlo::SecureBytes;
using varlo::noise::Curve25519;
using varlo::noise::HandshakeStateInterface;
using varlo::noise::Protocol;
using varlo::noise::TransportInterface;

constexpr char kProtocolName[] = "Noise_IXpsk2_25519_ChaChaPoly_BLAKE2b";
constexpr std::size_t kPayload = Protocol::MaxMessageLength - 16;

struct Keys {
  Keys() {
    Curve25519 dh;
    initiator_static = dh.GenerateKeyPair()->PrivateKey();
    responder_static = dh.GenerateKeyPair()->PrivateKey();
  }
  SecureBytes initiator_static;
  SecureBytes responder_static;
  std::vector<SecureBytes> psks{SecureBytes(32, 0x42)};
};

struct Transports {
  std::shared_ptr<TransportInterface> initiator;
  std::shared_ptr<TransportInterface> responder;
};

// One complete handshake; buffers are the caller's so that only the protocol is measured.
Transports Handshake(const std::shared_ptr<Protocol>& protocol, const Keys& keys,
                     std::vector<std::uint8_t>& message, std::vector<std::uint8_t>& payload) {
  auto initiator = protocol->Create(true, {}, keys.initiator_static, {}, keys.psks);
  auto responder = protocol->Create(false, {}, keys.responder_static, {}, keys.psks);
  auto first = initiator->WriteMessage({}, message);
  responder->ReadMessage(std::span(message).first(first.bytes), payload);
  auto second = responder->WriteMessage({}, message);
  auto done = initiator->ReadMessage(std::span(message).first(second.bytes), payload);
  return {done.transport, second.transport};
}

void BM_Handshake_IXpsk2(benchmark::State& state) {
  auto protocol = Protocol::Parse(kProtocolName);
  Keys keys;
  std::vector<std::uint8_t> message(Protocol::MaxMessageLength);
  std::vector<std::uint8_t> payload(Protocol::MaxMessageLength);
  for (auto _ : state) {
    Transports transports = Handshake(protocol, keys, message, payload);
    benchmark::DoNotOptimize(transports.initiator.get());
  }
}
BENCHMARK(BM_Handshake_IXpsk2);

void BM_Reference_X25519Operations(benchmark::State& state) {
  std::array<std::uint8_t, 32> private_keys[4];
  std::array<std::uint8_t, 32> public_keys[4];
  std::array<std::uint8_t, 32> shared;
  for (auto& key : private_keys) {
    randombytes_buf(key.data(), key.size());
  }
  for (auto _ : state) {
    for (int i = 0; i < 4; ++i) {
      benchmark::DoNotOptimize(
          crypto_scalarmult_base(public_keys[i].data(), private_keys[i].data()));
    }
    for (int i = 0; i < 6; ++i) {
      benchmark::DoNotOptimize(crypto_scalarmult(shared.data(), private_keys[i % 4].data(),
                                                 public_keys[(i + 1) % 4].data()));
    }
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_Reference_X25519Operations);

void BM_Transport_WriteRead_64KiB(benchmark::State& state) {
  auto protocol = Protocol::Parse(kProtocolName);
  Keys keys;
  std::vector<std::uint8_t> message(Protocol::MaxMessageLength);
  std::vector<std::uint8_t> received(Protocol::MaxMessageLength);
  Transports transports = Handshake(protocol, keys, message, received);
  SecureBytes payload(kPayload, 0x5a);
  for (auto _ : state) {
    std::size_t n = transports.initiator->WriteMessage(payload, message);
    std::size_t read = transports.responder->ReadMessage(std::span(message).first(n), received);
    benchmark::DoNotOptimize(read);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kPayload));
}
BENCHMARK(BM_Transport_WriteRead_64KiB);

void BM_Reference_ChaCha20Poly1305_64KiB(benchmark::State& state) {
  std::array<std::uint8_t, 32> key;
  randombytes_buf(key.data(), key.size());
  std::vector<std::uint8_t> message(Protocol::MaxMessageLength);
  std::vector<std::uint8_t> received(Protocol::MaxMessageLength);
  SecureBytes payload(kPayload, 0x5a);
  std::uint64_t counter = 0;
  for (auto _ : state) {
    std::array<std::uint8_t, 12> nonce{};
    for (int i = 0; i < 8; ++i) {
      nonce[4 + i] = static_cast<std::uint8_t>(counter >> (8 * i));
    }
    ++counter;
    unsigned long long n = 0;
    unsigned long long read = 0;
    crypto_aead_chacha20poly1305_ietf_encrypt(message.data(), &n, payload.data(), payload.size(),
                                              nullptr, 0, nullptr, nonce.data(), key.data());
    if (crypto_aead_chacha20poly1305_ietf_decrypt(received.data(), &read, nullptr, message.data(),
                                                  n, nullptr, 0, nonce.data(), key.data()) != 0) {
      state.SkipWithError("decryption failed");
    }
    benchmark::DoNotOptimize(read);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kPayload));
}
BENCHMARK(BM_Reference_ChaCha20Poly1305_64KiB);

// Keeps the real and CPU time per iteration of every benchmark (the medians when there are
// repetitions).
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  struct Times {
    double real = 0;
    double cpu = 0;
    bool median = false;
  };

  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      Times& times = times_[run.run_name.function_name];
      const bool is_median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      if (is_median || (run.run_type == Run::RT_Iteration && !times.median)) {
        times = {run.GetAdjustedRealTime(), run.GetAdjustedCPUTime(), is_median};
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }

  Times Get(const std::string& name) const {
    auto it = times_.find(name);
    return it == times_.end() ? Times{} : it->second;
  }

 private:
  std::map<std::string, Times> times_;
};

void PrintRatio(const char* what, double numerator_real, double numerator_cpu,
                double denominator_real, double denominator_cpu, const char* target) {
  if (denominator_real > 0 && denominator_cpu > 0) {
    std::printf("%s: %.3f (CPU time), %.3f (real time); target %s\n", what,
                numerator_cpu / denominator_cpu, numerator_real / denominator_real, target);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (sodium_init() < 0) {
    std::fputs("noise_bench: failed to initialize libsodium\n", stderr);
    return 1;
  }
  // Medians of interleaved repetitions unless the command line says otherwise: the machine is
  // shared, and interleaving spreads any disturbance over both sides of each ratio.
  std::vector<char*> args = {argv[0]};
  std::string defaults[] = {"--benchmark_repetitions=9",
                            "--benchmark_enable_random_interleaving=true",
                            "--benchmark_report_aggregates_only=true"};
  for (std::string& flag : defaults) {
    args.push_back(flag.data());
  }
  for (int i = 1; i < argc; ++i) {
    args.push_back(argv[i]);
  }
  int count = static_cast<int>(args.size());
  benchmark::Initialize(&count, args.data());
  if (benchmark::ReportUnrecognizedArguments(count, args.data())) {
    return 1;
  }
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);

  const auto handshake = reporter.Get("BM_Handshake_IXpsk2");
  const auto x25519 = reporter.Get("BM_Reference_X25519Operations");
  const auto transport = reporter.Get("BM_Transport_WriteRead_64KiB");
  const auto raw = reporter.Get("BM_Reference_ChaCha20Poly1305_64KiB");
  if (handshake.real > 0) {
    PrintRatio("handshake time / X25519 operations time", handshake.real, handshake.cpu,
               x25519.real, x25519.cpu, "at most 1.25");
  }
  if (transport.real > 0) {
    // Throughput ratio: the same bytes in both, so it is the inverse ratio of the times.
    PrintRatio("transport throughput / raw ChaCha20-Poly1305 throughput", raw.real, raw.cpu,
               transport.real, transport.cpu, "at least 0.9");
  }
  benchmark::Shutdown();
  return 0;
}
