// The log settings file → the logger's levels and target.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>

#include "log/logger.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::istringstream text(std::string(reinterpret_cast<const char*>(data), size));
  (void)varlo::ParseLogSettings(text);
  return 0;
}
