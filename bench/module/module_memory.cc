// Loads the module in this fresh process, initializes it (the service named by $VARLO_PIPE_DIR
// restores its tokens) and prints one line: the resident memory before loading, the peak and
// the resident memory once the table lists the tokens (kB, from /proc/self/status), and the
// number of tokens listed. Exit code 1 when the module cannot be loaded or initialized.
#include <cstdint>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "tests/harness/module_harness.h"

namespace {

// A "<field>: <n> kB" line of /proc/self/status; 0 when missing.
std::uint64_t StatusKb(const std::string& field) {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with(field + ":")) {
      std::uint64_t kb = 0;
      std::istringstream(line.substr(field.size() + 1)) >> kb;
      return kb;
    }
  }
  return 0;
}

}  // namespace

int main() {
  const std::uint64_t before = StatusKb("VmRSS");
  varlo::testing::ModuleHarness module;
  varlo::testing::EventCounter events;
  ModuleData data = varlo::testing::NewModuleData(&events);
  if (!module.Loaded() || module.Initialize(&data) != RESULT_SUCCESS) {
    std::cerr << "varlo_module_memory: the module could not be loaded or initialized\n";
    return 1;
  }
  std::uint32_t size = 0;
  data.ModuleGetTokenSessionIdList(nullptr, &size);
  const std::uint64_t peak = StatusKb("VmHWM"), resident = StatusKb("VmRSS");
  data.ModuleUnload();
  std::cout << before << ' ' << peak << ' ' << resident << ' ' << size / sizeof(ModuleSessionIdNode)
            << std::endl;
  return 0;
}
