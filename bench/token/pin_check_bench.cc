// Cost of the token's PIN check (100000 rounds of PBKDF2-HMAC-SHA-256), measured against
//  - a reference PBKDF2-HMAC-SHA-256 written here in the leanest form: the HMAC pad states
//    computed once, then exactly two SHA-256 compressions per round on Crypto++'s compression
//    function, and
//  - Crypto++'s stock PKCS5_PBKDF2_HMAC<SHA256>,
// all in the same run. The program prints the ratios at the end; the target is a PIN check
// within 1.2 times the reference.
#include <benchmark/benchmark.h>
#include <cryptopp/hmac.h>
#include <cryptopp/pwdbased.h>
#include <cryptopp/sha.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <map>
#include <string>

#include "apps/cardimage/card_image_writer.h"
#include "token/token.h"

namespace {

using Word = CryptoPP::word32;
constexpr std::uint64_t kUid = 0x04A1B2C3D4E5F6;
const std::string kPin = "482916";

varlo::SecureBytes PinBytes() {
  return varlo::SecureBytes(kPin.begin(), kPin.end());
}

// The reference: one 32-byte block of PBKDF2-HMAC-SHA-256 for a password of at most 64 bytes.
std::array<std::uint8_t, 32> ReferencePbkdf2(std::span<const std::uint8_t> password,
                                             std::span<const std::uint8_t> salt,
                                             std::uint32_t iterations) {
  alignas(16) Word inner[8], outer[8], block[16], state[8];
  auto padState = [&](Word* out, std::uint8_t pad) {
    std::uint8_t bytes[64];
    std::fill(std::begin(bytes), std::end(bytes), pad);
    for (std::size_t i = 0; i < password.size(); ++i)
      bytes[i] ^= password[i];
    for (int i = 0; i < 16; ++i) {
      block[i] = Word{bytes[4 * i]} << 24 | Word{bytes[4 * i + 1]} << 16 |
                 Word{bytes[4 * i + 2]} << 8 | bytes[4 * i + 3];
    }
    CryptoPP::SHA256::InitState(out);
    CryptoPP::SHA256::Transform(out, block);
  };
  padState(inner, 0x36);
  padState(outer, 0x5C);

  std::uint8_t first[32];
  CryptoPP::HMAC<CryptoPP::SHA256> hmac(password.data(), password.size());
  const std::uint8_t one[4] = {0, 0, 0, 1};
  hmac.Update(salt.data(), salt.size());
  hmac.Update(one, 4);
  hmac.Final(first);

  Word u[8], sum[8];
  for (int i = 0; i < 8; ++i) {
    u[i] = sum[i] = Word{first[4 * i]} << 24 | Word{first[4 * i + 1]} << 16 |
                    Word{first[4 * i + 2]} << 8 | first[4 * i + 3];
  }
  std::fill(block + 8, block + 16, 0);
  block[8] = 0x80000000u;
  block[15] = 96 * 8;
  for (std::uint32_t round = 1; round < iterations; ++round) {
    std::copy(u, u + 8, block);
    std::copy(inner, inner + 8, state);
    CryptoPP::SHA256::Transform(state, block);
    std::copy(state, state + 8, block);
    std::copy(outer, outer + 8, state);
    CryptoPP::SHA256::Transform(state, block);
    for (int i = 0; i < 8; ++i) {
      u[i] = state[i];
      sum[i] ^= state[i];
    }
  }
  std::array<std::uint8_t, 32> derived;
  for (int i = 0; i < 32; ++i)
    derived[i] = static_cast<std::uint8_t>(sum[i / 4] >> (24 - 8 * (i % 4)));
  return derived;
}

std::array<std::uint8_t, 32> StockPbkdf2(std::span<const std::uint8_t> password,
                                         std::span<const std::uint8_t> salt,
                                         std::uint32_t iterations) {
  std::array<std::uint8_t, 32> derived;
  CryptoPP::PKCS5_PBKDF2_HMAC<CryptoPP::SHA256>().DeriveKey(derived.data(), derived.size(), 0,
                                                            password.data(), password.size(),
                                                            salt.data(), salt.size(), iterations);
  return derived;
}

std::unique_ptr<varlo::Token> MakeToken() {
  varlo::cardimage::TokenDescription description;
  description.uid = kUid;
  description.label = "bench";
  description.pin = PinBytes();
  const auto image = varlo::cardimage::MakeCardImage(description);
  return std::make_unique<varlo::Token>(varlo::DesfireData(kUid, image.files), nullptr);
}

void BM_TokenCheckPin(benchmark::State& state) {
  static const std::unique_ptr<varlo::Token> token = MakeToken();
  const varlo::SecureBytes pin = PinBytes();
  for (auto _ : state) {
    token->CheckPIN(pin);
  }
}

void BM_ReferencePbkdf2(benchmark::State& state) {
  const varlo::SecureBytes pin = PinBytes();
  const auto salt = varlo::cardimage::UidBlob(kUid);
  for (auto _ : state) {
    benchmark::DoNotOptimize(ReferencePbkdf2(pin, salt, varlo::Token::kPinIterations));
  }
}

void BM_CryptoppStockPbkdf2(benchmark::State& state) {
  const varlo::SecureBytes pin = PinBytes();
  const auto salt = varlo::cardimage::UidBlob(kUid);
  for (auto _ : state) {
    benchmark::DoNotOptimize(StockPbkdf2(pin, salt, varlo::Token::kPinIterations));
  }
}

BENCHMARK(BM_ReferencePbkdf2)->Unit(benchmark::kMillisecond)->Repetitions(5);
BENCHMARK(BM_TokenCheckPin)->Unit(benchmark::kMillisecond)->Repetitions(5);
BENCHMARK(BM_CryptoppStockPbkdf2)->Unit(benchmark::kMillisecond)->Repetitions(5);

// Keeps the fastest repetition of each benchmark, to print the ratios at the end.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Iteration || run.error_occurred)
        continue;
      auto [it, added] = best_.try_emplace(run.run_name.function_name, run.GetAdjustedRealTime());
      if (!added)
        it->second = std::min(it->second, run.GetAdjustedRealTime());
    }
    ConsoleReporter::ReportRuns(runs);
  }
  double Best(const std::string& name) const {
    auto it = best_.find(name);
    return it == best_.end() ? std::numeric_limits<double>::quiet_NaN() : it->second;
  }

 private:
  std::map<std::string, double> best_;
};

}  // namespace

int main(int argc, char** argv) {
  // The three must compute the same key, or the timings compare different work.
  const varlo::SecureBytes pin = PinBytes();
  const auto salt = varlo::cardimage::UidBlob(kUid);
  const auto reference = ReferencePbkdf2(pin, salt, varlo::Token::kPinIterations);
  const auto stock = StockPbkdf2(pin, salt, varlo::Token::kPinIterations);
  const varlo::SecureBytes token = MakeToken()->DeriveKeyFromPIN(pin);
  if (reference != stock || !std::equal(token.begin(), token.end(), stock.begin(), stock.end())) {
    std::fprintf(stderr, "PBKDF2 results differ; benchmark aborted\n");
    return EXIT_FAILURE;
  }

  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  const double referenceTime = reporter.Best("BM_ReferencePbkdf2");
  const double tokenTime = reporter.Best("BM_TokenCheckPin");
  const double stockTime = reporter.Best("BM_CryptoppStockPbkdf2");
  std::printf("\nRatios (fastest repetition of each, same run):\n");
  std::printf("  token PIN check / reference (2 compressions per round): %.3f (target <= 1.2)\n",
              tokenTime / referenceTime);
  std::printf("  Crypto++ stock PBKDF2 / reference:                      %.3f\n",
              stockTime / referenceTime);
  std::printf("  token PIN check / Crypto++ stock PBKDF2:                %.3f\n",
              tokenTime / stockTime);
  return EXIT_SUCCESS;
}
