// varlo-soak: one process that loads the module as a host does and keeps it busy for long, to
// show whether it holds on to memory, file descriptors or threads.
//
// With its own pcscd (the test rig, two virtual readers) and its own varlo-tokend, it presents
// two cards in turn, each presentation toggling its card's token (added, then removed), and
// restarts the service at even intervals (every third time with SIGKILL instead of SIGTERM).
// Resident memory, open descriptors and threads are printed before loading, once warmed up,
// at intervals, at the end and after unloading. With --check the exit code is 1 unless the
// descriptors and threads at the end equal those once warmed up and those after unloading
// equal those before loading, or a presentation went unanswered.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <iomanip>
#include <iostream>
#include <string>
#include <thread>

#include "apps/cardimage/card_image_writer.h"
#include "common/hex.h"
#include "platform/system/system.h"
#include "tests/harness/module_harness.h"
#include "tests/harness/module_log.h"
#include "tests/rig/pcsc_rig.h"
#include "tests/service/tokend_process.h"

namespace varlo {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

struct Options {
  int presentations = 2000;
  int restarts = 50;
  int reports = 10;
  bool check = false;
};

std::filesystem::path Image(testrig::PcscRig& rig, std::uint64_t uid) {
  cardimage::TokenDescription token{uid, "Soak", {'4', '7', '1', '1'}, {}, {}, {}};
  token.objects = {{"certificate", 5, false, 1, SecureBytes(300, 0xCE)},
                   {"private key", 5, true, 3, SecureBytes(70, 0x5E)}};
  const cardimage::CardImage image = cardimage::MakeCardImage(token);
  testrig::CardImageContent content;
  content.uid = ToHex(cardimage::UidBlob(image.uid));
  content.appKey = ToHex(image.appKey);
  for (const auto& [number, bytes] : image.files)
    content.files[number].assign(bytes.begin(), bytes.end());
  return rig.WriteImage(content.uid, content);
}

// What the process holds once it is quiet: the fewest descriptors and threads seen over a
// second. A card's PC/SC context lives until the module has seen the card leave, a reconnection
// to the service takes a moment: such passing ones are not what a soak looks for.
platform::ProcessResources Report(const char* when, int presented, int restarts) {
  platform::ProcessResources quiet = platform::CurrentProcessResources();
  for (const auto until = Clock::now() + 1s; Clock::now() < until;) {
    std::this_thread::sleep_for(50ms);
    const platform::ProcessResources now = platform::CurrentProcessResources();
    quiet = {now.residentKb, std::min(quiet.openFiles, now.openFiles),
             std::min(quiet.threads, now.threads)};
  }
  std::cout << std::left << std::setw(10) << when << " presentations " << std::setw(6) << presented
            << " restarts " << std::setw(4) << restarts << " rss " << std::setw(7)
            << quiet.residentKb << " kB  fds " << std::setw(4) << quiet.openFiles << " threads "
            << quiet.threads << std::endl;
  return quiet;
}

// Connected modules as the service reports them.
bool ModuleConnected(const testservice::TokendProcess& service) {
  return service.Status().output.find("\nmodules 1\n") != std::string::npos;
}

int Run(const Options& options) {
  testrig::PcscRig rig;
  rig.Card(0);
  rig.Card(1);
  testservice::TokendProcess service;
  // No settings of the user's: the module runs with its defaults and this service.
  setenv("VARLO_USER_REGISTRY", (rig.Directory() / "none.reg").c_str(), 1);
  setenv("VARLO_MACHINE_REGISTRY", (rig.Directory() / "none.reg").c_str(), 1);
  setenv("VARLO_PIPE_DIR", service.PipeDirectory().c_str(), 1);
  const std::filesystem::path images[] = {Image(rig, 0x04500000000001),
                                          Image(rig, 0x04500000000002)};
  testing::ModuleHarness module;
  if (!module.Loaded()) {
    std::cerr << "varlo-soak: the module has no entry point\n";
    return 2;
  }

  const platform::ProcessResources before = Report("before", 0, 0);
  testing::EventCounter events;
  ModuleData host = testing::NewModuleData(&events);
  if (module.Initialize(&host) != RESULT_SUCCESS) {
    std::cerr << "varlo-soak: ModuleInitialize failed\n";
    return 2;
  }

  int presented = 0, restarts = 0, missed = 0;
  const int warmUp = std::min(4, options.presentations) / 2 * 2;
  const int restartEvery =
      options.restarts > 0 ? std::max(1, options.presentations / options.restarts) : 0;
  const int reportEvery = std::max(1, options.presentations / std::max(1, options.reports));
  platform::ProcessResources warm{};
  const auto begin = Clock::now();
  // Rounds of two presentations, one per reader, read side by side.
  for (int round = 0; presented < options.presentations; ++round) {
    if (presented == warmUp)
      warm = Report("warm", presented, restarts);
    else if (presented > warmUp && presented % reportEvery < 2)
      Report("running", presented, restarts);
    if (restartEvery > 0 && restarts < options.restarts &&
        presented >= restarts * restartEvery + restartEvery / 2) {
      if (++restarts % 3 == 0)
        service.Kill();
      service.Restart();
      if (!testing::Eventually([&] { return ModuleConnected(service); }))
        std::cerr << "varlo-soak: the module did not reconnect after restart " << restarts << "\n";
    }
    const int seen = events.events;
    const std::size_t readers = options.presentations - presented >= 2 ? 2 : 1;
    for (std::size_t reader = 0; reader < readers; ++reader)
      rig.Card(reader).Present(images[reader]);
    if (!testing::Eventually([&] { return events.events >= seen + static_cast<int>(readers); })) {
      missed += seen + static_cast<int>(readers) - events.events;
      std::cerr << "varlo-soak: presentations from " << presented << " raised too few events\n";
    }
    for (std::size_t reader = 0; reader < readers; ++reader)
      rig.Remove(reader);
    presented += static_cast<int>(readers);
  }
  testing::Eventually([&] { return ModuleConnected(service); });
  const platform::ProcessResources end = Report("end", presented, restarts);
  host.ModuleUnload();
  // The module's threads end during the unload; the system may list them a moment longer.
  testing::Eventually([&] { return platform::CurrentProcessResources().threads == before.threads; },
                      2s);
  const platform::ProcessResources unloaded = Report("unloaded", presented, restarts);
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - begin);
  std::cout << "missed " << missed << ", " << seconds.count() << " s" << std::endl;

  const bool flat = end.openFiles == warm.openFiles && end.threads == warm.threads &&
                    unloaded.openFiles == before.openFiles && unloaded.threads == before.threads;
  return options.check && (!flat || missed > 0) ? 1 : 0;
}

}  // namespace
}  // namespace varlo

int main(int argc, char** argv) {
  varlo::Options options;
  CLI::App app(
      "Loads the module and presents cards and restarts the service for long, printing "
      "memory, descriptors and threads");
  app.add_option("--presentations", options.presentations, "card presentations")
      ->check(CLI::PositiveNumber);
  app.add_option("--restarts", options.restarts, "service restarts")->check(CLI::NonNegativeNumber);
  app.add_option("--reports", options.reports, "reports while running")
      ->check(CLI::NonNegativeNumber);
  app.add_flag("--check", options.check,
               "exit code 1 unless descriptors and threads end as they began");
  CLI11_PARSE(app, argc, argv);
  try {
    return varlo::Run(options);
  } catch (const std::exception& e) {
    std::cerr << "varlo-soak: " << e.what() << "\n";
    return 2;
  }
}
