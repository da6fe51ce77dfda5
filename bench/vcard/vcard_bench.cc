// APDU round trips to the virtual card: inside the process (the card logic alone, the reference)
// and through pcscd, vpcd and varlo-vcard, with the card's TCP tuning (TCP_NODELAY and
// TCP_QUICKACK after every read) and without it. Needs pcscd and the vpcd driver; takes the
// machine's pcscd like the end-to-end tests do. Each iteration is a whole GetVersion: three
// frames, 60 AF AF.
#include <PCSC/winscard.h>
#include <benchmark/benchmark.h>

#include <memory>

#include "apps/vcard/virtual_desfire.h"
#include "tests/rig/pcsc_rig.h"

namespace {

using varlo::testrig::CardImageContent;
using varlo::testrig::PcscRig;
using varlo::testrig::RigOptions;

const std::uint8_t kGetVersion[] = {0x60};
const std::uint8_t kMore[] = {0xAF};

void BM_GetVersionInProcess(benchmark::State& state) {
  varlo::vcard::CardImage image;
  image.uid = {0x04, 1, 2, 3, 4, 5, 6};
  image.appKey.assign(16, 0);
  varlo::vcard::VirtualDesfire card(
      image, {}, [](std::span<std::uint8_t> b) { std::fill(b.begin(), b.end(), 0); });
  for (auto _ : state) {
    benchmark::DoNotOptimize(card.Transmit(kGetVersion));
    benchmark::DoNotOptimize(card.Transmit(kMore));
    benchmark::DoNotOptimize(card.Transmit(kMore));
  }
}
BENCHMARK(BM_GetVersionInProcess);

// Argument: 1 with the card's TCP tuning, 0 without.
void BM_GetVersionThroughPcscd(benchmark::State& state) {
  RigOptions options;
  if (state.range(0) == 0)
    options.vcardArguments = {"--no-tcp-tuning"};
  PcscRig rig(options);
  CardImageContent content;
  content.uid = "04010203040506";
  rig.Present(0, rig.WriteImage("card", content));

  SCARDCONTEXT context;
  SCARDHANDLE card;
  DWORD protocol;
  if (SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context) != SCARD_S_SUCCESS ||
      SCardConnect(context, rig.ReaderName(0).c_str(), SCARD_SHARE_EXCLUSIVE,
                   SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &card, &protocol) != SCARD_S_SUCCESS) {
    state.SkipWithError("cannot connect to the virtual card");
    return;
  }
  const SCARD_IO_REQUEST* pci = protocol == SCARD_PROTOCOL_T0 ? SCARD_PCI_T0 : SCARD_PCI_T1;
  std::uint8_t answer[64];
  auto transmit = [&](const std::uint8_t* apdu) {
    DWORD size = sizeof answer;
    return SCardTransmit(card, pci, apdu, 1, nullptr, answer, &size) == SCARD_S_SUCCESS;
  };
  for (auto _ : state) {
    if (!transmit(kGetVersion) || !transmit(kMore) || !transmit(kMore)) {
      state.SkipWithError("SCardTransmit failed");
      break;
    }
  }
  SCardDisconnect(card, SCARD_LEAVE_CARD);
  SCardReleaseContext(context);
}
BENCHMARK(BM_GetVersionThroughPcscd)->Arg(1)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_GetVersionThroughPcscd)->Arg(0)->Unit(benchmark::kMillisecond)->Iterations(20);

}  // namespace

BENCHMARK_MAIN();
