// The token service's log: one line per event on standard error, from any thread.
//
// For a terminal (`--foreground`) each line starts with the local time and the level. Under a
// service manager the journal adds the time itself, so each line starts with the syslog
// priority in angle brackets ("<3>" error, "<4>" warning, "<6>" info), which journald reads
// as the line's level.
#ifndef VARLO_APPS_TOKEND_SERVICE_LOG_H_
#define VARLO_APPS_TOKEND_SERVICE_LOG_H_

#include <mutex>
#include <ostream>
#include <string_view>

namespace varlo::tokend {

class ServiceLog {
 public:
  enum class Style { Terminal, Journal };

  ServiceLog(std::ostream& out, Style style) : out_(out), style_(style) {}

  void Error(std::string_view text) { Write(3, "error", text); }
  void Warning(std::string_view text) { Write(4, "warning", text); }
  void Info(std::string_view text) { Write(6, "info", text); }

 private:
  void Write(int priority, std::string_view level, std::string_view text);

  std::mutex mutex_;
  std::ostream& out_;
  const Style style_;
};

}  // namespace varlo::tokend

#endif  // VARLO_APPS_TOKEND_SERVICE_LOG_H_
