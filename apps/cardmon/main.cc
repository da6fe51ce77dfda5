// varlo-cardmon: watches every PC/SC reader the way the module does and prints each card it
// reads: one summary line, then the card's token JSON document. Runs until interrupted.
#include <CLI/CLI.hpp>

#include <chrono>
#include <iostream>
#include <mutex>

#include "card/pcsc_monitoring.h"
#include "common/hex.h"
#include "platform/signal/stop_signal.h"

namespace {

std::string UidText(std::uint64_t uid) {
  std::uint8_t bytes[7];
  for (int i = 6; i >= 0; --i) {
    bytes[i] = static_cast<std::uint8_t>(uid);
    uid >>= 8;
  }
  return varlo::ToHex(bytes);
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "Watches the PC/SC readers and prints every DESFire card read: a summary line, then the "
      "card's token JSON document. Cards already on a reader at start are read but reported "
      "only after they have been taken off and put back. Stop with Ctrl-C."};
  CLI11_PARSE(app, argc, argv);

  // Before the monitor's thread exists, so that it inherits the blocked signals.
  varlo::StopSignal stopSignal;

  std::mutex outputMutex;
  auto printCard = [&](varlo::DesfireData data) {
    std::lock_guard<std::mutex> lock(outputMutex);
    std::cout << "card uid=" << UidText(data.uid)
              << " initialized=" << (data.initialized ? "yes" : "no") << " label=\"" << data.label
              << "\" objects=" << data.objects.size() << '\n'
              << data.ToJson() << std::endl;
  };

  {
    varlo::PcscMonitoring monitor(printCard);
    monitor.StartMonitoring();
    // Cards put on a reader from now on are reported; say so once that holds.
    if (!monitor.WaitForInitialState(std::chrono::seconds(5))) {
      std::lock_guard<std::mutex> lock(outputMutex);
      std::cerr << "varlo-cardmon: no reader or no PC/SC service yet; still trying." << std::endl;
    }
    {
      std::lock_guard<std::mutex> lock(outputMutex);
      std::cerr << "varlo-cardmon: watching the readers; Ctrl-C stops." << std::endl;
    }
    stopSignal.Wait();
  }  // stops and joins the monitor
  std::cerr << "varlo-cardmon: stopped." << std::endl;
  return 0;
}
