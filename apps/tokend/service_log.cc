#include "apps/tokend/service_log.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <string>

#include "platform/system/system.h"

namespace varlo::tokend {

void ServiceLog::Write(int priority, std::string_view level, std::string_view text) {
  std::string line;
  if (style_ == Style::Journal) {
    line.push_back('<');
    line.append(std::to_string(priority));
    line.push_back('>');
  } else {
    const auto now = std::chrono::system_clock::now();
    const auto milliseconds =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000;
    char fraction[8];
    std::snprintf(fraction, sizeof fraction, ".%03d", static_cast<int>(milliseconds));
    line =
        platform::FormatLocalTime(std::chrono::system_clock::to_time_t(now), "%Y-%m-%d %H:%M:%S") +
        fraction + " " + std::string(level) + " ";
  }
  line.append(text);
  line.push_back('\n');
  std::lock_guard lock(mutex_);
  out_ << line << std::flush;
}

}  // namespace varlo::tokend
