// The module's connection to the local token service against the built varlo-tokend (started
// by the service rig, with a store of its own), with the connection's designed waits. Each
// iteration runs the module side and then a reference; the time shown is the module side's,
// the counters give the reference's time and the ratio module / reference (the figure to quote):
//
//   BM_ConnectAndGetAll/N  module: a new connection (pipe, key derivation, handshake), a get-all
//                          of N stored tokens of about 4.3 KB each, their parse, the shutdown;
//                          reference: the parse of the same N documents from their JSON text,
//                          in-process, as the connection parses a reply's records
//   BM_DerivePreSharedKey  the key derivation each connection attempt runs, alone: the bulk of
//                          BM_ConnectAndGetAll/0 (whose in-process reference is next to nothing)
//   BM_EmptyGetAll         module: a get-all of an empty store on an established connection;
//                          reference: the same 7-byte request and 7-byte reply as a raw round
//                          trip on a socket pair, the request sealed before it goes and the
//                          reply opened when it is back (two ChaCha20-Poly1305 calls)
#include <benchmark/benchmark.h>
#include <sodium.h>
#include <nlohmann/json.hpp>

#include <array>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "bench/common/compare.h"
#include "localservice/local_service_connection.h"
#include "tests/service/module_client.h"
#include "tests/service/sample_tokens.h"
#include "tests/service/tokend_process.h"

namespace {

using namespace std::chrono_literals;
using varlo::DesfireData;
using varlo::LocalServiceConnection;
using varlo::bench::Compare;
namespace protocol = varlo::service_protocol;
namespace testservice = varlo::testservice;

// A service whose store holds `count` sample tokens; their documents in UID order.
struct FilledService {
  explicit FilledService(std::size_t count) {
    testservice::ModuleClient client(tokend.PipeName());
    for (std::uint64_t uid = 1; uid <= count; ++uid) {
      documents.emplace_back(std::string_view(testservice::SampleToken(uid).ToJson()));
      client.Store(uid, documents.back());
    }
    ok = client.GetAll().size() == count;  // answered after every store
  }

  testservice::TokendProcess tokend;
  std::vector<std::string> documents;
  bool ok = false;
};

void BM_ConnectAndGetAll(benchmark::State& state) {
  FilledService service(static_cast<std::size_t>(state.range(0)));
  if (!service.ok) {
    state.SkipWithError("the service did not keep the tokens");
    return;
  }
  Compare(
      state, 1,
      [&] {
        LocalServiceConnection connection([] {}, LocalServiceConnection::Timing{},
                                          service.tokend.PipeName());
        if (!connection.WaitUntilConnected(10s))
          return false;
        const std::vector<DesfireData> tokens = connection.RequestStoredTokens();
        return tokens.size() == service.documents.size();
      },
      [&] {
        std::vector<DesfireData> tokens;
        for (const std::string& document : service.documents)
          tokens.emplace_back(nlohmann::json::parse(document));
        benchmark::DoNotOptimize(tokens.data());
        return tokens.size() == service.documents.size();
      },
      "module/reference");
}
BENCHMARK(BM_ConnectAndGetAll)->Arg(0)->Arg(1000)->Unit(benchmark::kMillisecond)->UseManualTime();

void BM_DerivePreSharedKey(benchmark::State& state) {
  for (auto _ : state)
    benchmark::DoNotOptimize(protocol::DerivePreSharedKey().data());
}
BENCHMARK(BM_DerivePreSharedKey)->Unit(benchmark::kMillisecond);

void BM_EmptyGetAll(benchmark::State& state) {
  testservice::TokendProcess tokend;
  LocalServiceConnection connection([] {}, LocalServiceConnection::Timing{}, tokend.PipeName());
  if (!connection.WaitUntilConnected(10s)) {
    state.SkipWithError("no connection to the service");
    return;
  }
  varlo::bench::SealedSocketPair ref;
  constexpr std::size_t kSealed = protocol::kHeaderSize + crypto_aead_chacha20poly1305_ietf_ABYTES;
  std::thread peer([&] {
    std::array<std::uint8_t, kSealed> in{};
    while (ref.server.ReadExactly(in, 10s) && ref.server.WriteAll(in)) {
    }
  });
  const varlo::SecureBytes request = protocol::BuildMessage(1, protocol::Command::GetAllTokens);
  std::array<std::uint8_t, protocol::kHeaderSize> reply{};
  std::array<std::uint8_t, kSealed> sealed{};
  Compare(
      state, 50, [&] { return connection.RequestStoredTokens().empty(); },
      [&] {
        ref.Seal(request, sealed);
        return ref.client.WriteAll(sealed) && ref.client.ReadExactly(sealed, 10s) &&
               ref.Open(sealed, reply);
      },
      "module/reference");
  ref.client.Close();  // ends the peer
  peer.join();
}
// A fixed count: the minimum time would count per-request time, hundreds of times over.
BENCHMARK(BM_EmptyGetAll)->Iterations(200)->Unit(benchmark::kMicrosecond)->UseManualTime();

}  // namespace

int main(int argc, char** argv) {
  if (sodium_init() < 0)
    return 1;
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
