// What the pipe benchmarks share: the timing of a subject against its reference in the same
// run, and the reference's transport, a raw socket pair with ChaCha20-Poly1305 (libsodium).
#ifndef VARLO_BENCH_COMMON_COMPARE_H_
#define VARLO_BENCH_COMMON_COMPARE_H_

#include <benchmark/benchmark.h>
#include <sodium.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "common/utf.h"
#include "platform/pipe/pipe_client.h"
#include "platform/pipe/pipe_listener.h"

namespace varlo::bench {

// Runs `subject` and then `reference`, each `block` times per iteration (blocks, so that what
// the subject's threads still do after its last call hardly touches the reference), and reports
// the time of one call of each: the subject's as the iteration time (use UseManualTime), the
// reference's in the counter "reference_us", their ratio in `ratioName`. Either returning false
// marks the run failed.
template <typename Subject, typename Reference>
void Compare(benchmark::State& state, int block, Subject subject, Reference reference,
             const char* ratioName = "stack/reference") {
  using Clock = std::chrono::steady_clock;
  Clock::duration subjectTime{}, referenceTime{};
  for (auto _ : state) {
    const auto t0 = Clock::now();
    for (int i = 0; i < block; ++i) {
      if (!subject())
        state.SkipWithError("the measured side failed");
    }
    const auto t1 = Clock::now();
    for (int i = 0; i < block; ++i) {
      if (!reference())
        state.SkipWithError("the reference failed");
    }
    const auto t2 = Clock::now();
    state.SetIterationTime(std::chrono::duration<double>(t1 - t0).count() / block);
    subjectTime += t1 - t0;
    referenceTime += t2 - t1;
  }
  const double n = static_cast<double>(state.iterations()) * block;
  state.counters["reference_us"] =
      std::chrono::duration<double, std::micro>(referenceTime).count() / n;
  state.counters[ratioName] = std::chrono::duration<double>(subjectTime).count() /
                              std::chrono::duration<double>(referenceTime).count();
}

// A connected socket pair from the platform layer and a ChaCha20-Poly1305 key. Call
// sodium_init() first.
struct SealedSocketPair {
  SealedSocketPair() {
    const std::string path = directory.Path() + "/raw";
    listener = std::make_unique<platform::PipeListener>(path, 4);
    client = platform::PipeConnection(platform::OpenPipe(Utf8ToUtf16(path)).handle);
    server = listener->Accept(std::chrono::seconds(10));
    randombytes_buf(key.data(), key.size());
  }

  void Seal(std::span<const std::uint8_t> plaintext, std::span<std::uint8_t> sealed) {
    crypto_aead_chacha20poly1305_ietf_encrypt(sealed.data(), nullptr, plaintext.data(),
                                              plaintext.size(), nullptr, 0, nullptr, nonce.data(),
                                              key.data());
  }
  bool Open(std::span<const std::uint8_t> sealed, std::span<std::uint8_t> plaintext) {
    const bool ok = crypto_aead_chacha20poly1305_ietf_decrypt(plaintext.data(), nullptr, nullptr,
                                                              sealed.data(), sealed.size(), nullptr,
                                                              0, nonce.data(), key.data()) == 0;
    sodium_increment(nonce.data(), nonce.size());
    return ok;
  }

  platform::TemporaryPipeDirectory directory;
  std::unique_ptr<platform::PipeListener> listener;
  platform::PipeConnection client;
  platform::PipeConnection server;
  std::array<std::uint8_t, crypto_aead_chacha20poly1305_ietf_KEYBYTES> key{};
  std::array<std::uint8_t, crypto_aead_chacha20poly1305_ietf_NPUBBYTES> nonce{};
};

}  // namespace varlo::bench

#endif  // VARLO_BENCH_COMMON_COMPARE_H_
