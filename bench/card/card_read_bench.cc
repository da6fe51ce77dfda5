// From a card presented on a reader to its DesfireData at the card callback, through the
// machine's pcscd with a vpcd reader and a virtual card (the pcscd test rig).
//
// BM_PresentedToCallback times the whole path and splits it with a timing layer over the
// PC/SC calls: "pcsc_wait" runs from the card's presentation to the monitor's connect (pcscd
// noticing the card and the status-change wait returning), "card_io" from the connect to the
// callback (connect, every APDU, parsing). BM_Reference_GetVersion, one GetVersion exchange of
// three APDUs on a connected card, is the reference the others are read against.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "apps/cardimage/card_image_writer.h"
#include "card/desfire.h"
#include "card/pcsc_monitoring.h"
#include "card/testing/forwarding_pcsc.h"
#include "common/hex.h"
#include "tests/rig/pcsc_rig.h"

namespace varlo {
namespace {

using Clock = std::chrono::steady_clock;

// The system's PC/SC, noting when a card connection is made.
class TimedPcsc : public testing::ForwardingPcsc {
 public:
  std::atomic<Clock::rep> lastConnect{0};

  LONG Connect(SCARDCONTEXT context, const char* reader, DWORD shareMode, DWORD protocols,
               SCARDHANDLE* card, DWORD* activeProtocol) override {
    lastConnect = Clock::now().time_since_epoch().count();
    return ForwardingPcsc::Connect(context, reader, shareMode, protocols, card, activeProtocol);
  }
};

testrig::PcscRig& Rig() {
  static testrig::PcscRig rig;
  return rig;
}

std::filesystem::path TokenImage() {
  static std::filesystem::path path = [] {
    cardimage::TokenDescription token;
    token.uid = 0x04B0B1B2B3B4B5;
    token.label = "Benchmark";
    token.pin = ToSecure(std::vector<std::uint8_t>{'1', '2', '3', '4'});
    for (int i = 0; i < 4; ++i) {
      cardimage::ObjectDescription object;
      object.label = "object " + std::to_string(i);
      object.type = 3;
      object.isPrivate = i % 2 == 1;
      object.content = SecureBytes(400, static_cast<std::uint8_t>(i));
      token.objects.push_back(object);
    }
    cardimage::CardImage image = cardimage::MakeCardImage(token);
    testrig::CardImageContent content;
    content.uid = ToHex(cardimage::UidBlob(image.uid));
    for (const auto& [number, bytes] : image.files)
      content.files[number].assign(bytes.begin(), bytes.end());
    return Rig().WriteImage("bench", content);
  }();
  return path;
}

double Seconds(Clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

void BM_PresentedToCallback(benchmark::State& state) {
  const std::filesystem::path image = TokenImage();  // starts the rig's pcscd
  TimedPcsc pcsc;
  std::mutex mutex;
  std::condition_variable reported;
  std::optional<Clock::time_point> callbackAt;
  PcscMonitoring monitor(
      [&](DesfireData) {
        std::lock_guard<std::mutex> lock(mutex);
        callbackAt = Clock::now();
        reported.notify_all();
      },
      pcsc);
  monitor.StartMonitoring();
  if (!monitor.WaitForInitialState(std::chrono::seconds(10))) {
    state.SkipWithError("monitor did not start");
    return;
  }
  double pcscWait = 0;
  double cardIo = 0;
  for (auto _ : state) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      callbackAt.reset();
    }
    const Clock::time_point presented = Clock::now();
    Rig().Card(0).Present(image);
    std::unique_lock<std::mutex> lock(mutex);
    if (!reported.wait_for(lock, std::chrono::seconds(10),
                           [&] { return callbackAt.has_value(); })) {
      state.SkipWithError("no callback");
      break;
    }
    const Clock::time_point connected{Clock::duration(pcsc.lastConnect.load())};
    state.SetIterationTime(Seconds(*callbackAt - presented));
    pcscWait += Seconds(connected - presented);
    cardIo += Seconds(*callbackAt - connected);
    lock.unlock();
    Rig().Remove(0);
  }
  state.counters["pcsc_wait_ms"] =
      benchmark::Counter(pcscWait * 1000, benchmark::Counter::kAvgIterations);
  state.counters["card_io_ms"] =
      benchmark::Counter(cardIo * 1000, benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_PresentedToCallback)->UseManualTime()->Iterations(10)->Unit(benchmark::kMillisecond);

// The card input and output of Load alone, on a card that is already on the reader.
void BM_DesfireLoad(benchmark::State& state) {
  Rig().Present(0, TokenImage());
  benchmark::IterationCount reports = 0;
  for (auto _ : state) {
    Desfire desfire(Rig().ReaderName(0), [&](DesfireData) { ++reports; });
    desfire.Load();
  }
  if (reports != state.iterations()) {
    state.SkipWithError("a load did not report");
  }
  Rig().Remove(0);
}
BENCHMARK(BM_DesfireLoad)->Unit(benchmark::kMillisecond);

void BM_Reference_GetVersion(benchmark::State& state) {
  Rig().Present(0, TokenImage());
  {
    Desfire desfire(Rig().ReaderName(0), [](DesfireData) {});
    desfire.StartTransaction();
    for (auto _ : state) {
      desfire.GetUidFromCard();
    }
    desfire.EndTransaction();
  }
  Rig().Remove(0);
}
BENCHMARK(BM_Reference_GetVersion)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace varlo

BENCHMARK_MAIN();
