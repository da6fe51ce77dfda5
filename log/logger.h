// The module's diagnostic log.
//
// One process-wide `Logger` writes lines to a rotating file (its owner's alone, mode 0600), to
// standard output, or nowhere, as a small settings file says; the settings file's path comes
// from the registry value "LogSettingsPath" and is read once, when `Logger::Instance` is first
// called. Any thread may log. A `LogRecord` collects one line's text through stream insertion and
// writes it when it is destroyed, normally at the end of the statement:
//
//   LogDebug("Desfire") << "Desfire::Load" << " " << "Loading Desfire completed.";
//
// A `TraceScope` writes "[BEGIN name]" and "[END name]" lines (context "Desfire", Debug) around
// the scope that holds it, also when an exception leaves the scope.
#ifndef VARLO_LOG_LOGGER_H_
#define VARLO_LOG_LOGGER_H_

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <istream>
#include <map>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>

namespace varlo {

enum class LogLevel : std::int32_t { Off = 0, Fatal = 1, Error = 2, Warn = 3, Info = 4, Debug = 5 };
enum class LogTarget : std::int32_t { None = 0, File = 1, Console = 2 };

// What a log settings file says. One "key=value" per line, nothing trimmed: ">default=LEVEL"
// and ">CONTEXT=LEVEL" (fatal, error, warn, info, debug; any other word is off), "target=console"
// or "target=FOLDER" (the log file's folder). Lines starting with "#", and lines without exactly
// one "=" with text on both sides, are skipped.
struct LogSettings {
  std::map<std::string, LogLevel, std::less<>> levels;
  LogLevel defaultLevel = LogLevel::Warn;
  LogTarget target = LogTarget::None;
  std::string directory;  // ends with "/" when the target is a file
};

LogSettings ParseLogSettings(std::istream& text);

class Logger {
 public:
  // The process-wide logger; the first call reads the settings file named in the registry.
  static Logger& Instance();

  // A logger configured from the settings file at `settingsPath` (empty: no settings). The
  // module uses only `Instance`; tests build their own.
  explicit Logger(const std::string& settingsPath);
  ~Logger();
  Logger(const Logger&) = delete;
  Logger& operator=(const Logger&) = delete;

  // The level of `context`: its own entry in the settings, else the default level.
  LogLevel Threshold(std::string_view context) const;
  LogTarget Target() const { return target_; }
  const std::string& Directory() const { return directory_; }

  // True when a record of `level` under `threshold` reaches the target.
  bool Writes(LogLevel threshold, LogLevel level) const {
    return target_ != LogTarget::None && threshold != LogLevel::Off && level <= threshold;
  }
  // Writes a composed record if `threshold` lets `level` through.
  void Write(LogLevel threshold, LogLevel level, std::string_view context, std::string_view text);

 private:
  void ReadSettings(const std::string& settingsPath);
  void OpenLogFile();
  void RotateIfDue();
  std::filesystem::path LogFilePath() const;
  std::filesystem::path BackupFilePath() const;

  std::map<std::string, LogLevel, std::less<>> levels_;
  LogLevel defaultLevel_ = LogLevel::Warn;
  LogTarget target_ = LogTarget::None;
  std::string directory_;
  std::ofstream stream_;
  std::uint64_t writeCounter_ = 0;
  std::mutex mutex_;
};

// One line being composed. Not copyable or movable: it lives for one statement. A line the
// logger would not write is not composed at all: a stream costs more than most calls it traces.
class LogRecord {
 public:
  LogRecord(Logger& logger, std::string_view context, LogLevel level);
  ~LogRecord();
  LogRecord(const LogRecord&) = delete;
  LogRecord& operator=(const LogRecord&) = delete;

  template <typename T>
  LogRecord& operator<<(const T& piece) {
    if (text_)
      *text_ << piece;
    return *this;
  }

 private:
  Logger& logger_;
  LogLevel threshold_;
  LogLevel level_;
  std::string context_;
  std::optional<std::ostringstream> text_;
};

// Records of the process-wide logger, one function per level.
LogRecord LogDebug(std::string_view context);
LogRecord LogInfo(std::string_view context);
LogRecord LogWarn(std::string_view context);
LogRecord LogError(std::string_view context);
LogRecord LogFatal(std::string_view context);

// Writes "\t\t[BEGIN name]" on creation and "\t\t[END name]" on destruction (Debug, "Desfire").
class TraceScope {
 public:
  explicit TraceScope(std::string_view name, Logger& logger = Logger::Instance());
  ~TraceScope();
  TraceScope(const TraceScope&) = delete;
  TraceScope& operator=(const TraceScope&) = delete;

 private:
  Logger& logger_;
  std::string name_;  // kept only when the lines are written
};

}  // namespace varlo

#endif  // VARLO_LOG_LOGGER_H_
