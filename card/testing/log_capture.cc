#include "card/testing/log_capture.h"

#include <fstream>
#include <regex>
#include <stdexcept>
#include <thread>

#include "log/policy_settings.h"
#include "platform/process/scratch.h"
#include "platform/system/system.h"

namespace varlo::testing {

namespace {

namespace fs = std::filesystem;

constexpr const char16_t* kModuleKey = u"SOFTWARE\\Varlo\\CardTests";
constexpr const char* kHiveKey = "HKEY_CURRENT_USER\\SOFTWARE\\Varlo\\CardTests";
constexpr const char* kLogFileName = "desfire_varlo_module.log";
constexpr std::chrono::milliseconds kPollInterval{10};

const char* LevelName(LogLevel level) {
  switch (level) {
    case LogLevel::Fatal:
      return "FATAL";
    case LogLevel::Error:
      return "ERROR";
    case LogLevel::Warn:
      return "WARN";
    case LogLevel::Info:
      return "INFO";
    case LogLevel::Debug:
      return "DBUG";
    case LogLevel::Off:
      break;
  }
  return "OFF";
}

std::optional<LogLine> ParseLine(const std::string& line) {
  static const std::regex kLine(
      R"(\[[^\]]*\]\[(FATAL|ERROR|WARN|INFO|DBUG)\]\[thread \d+\]\[([^\]]*)\] (.*))");
  std::smatch match;
  if (!std::regex_match(line, match, kLine)) {
    return std::nullopt;  // a continuation of a record whose text holds line feeds
  }
  LogLine parsed;
  for (LogLevel level :
       {LogLevel::Fatal, LogLevel::Error, LogLevel::Warn, LogLevel::Info, LogLevel::Debug}) {
    if (match[1] == LevelName(level)) {
      parsed.level = level;
    }
  }
  parsed.context = match[2];
  parsed.text = match[3];
  return parsed;
}

// Backslashes and quotes escaped as a .reg string needs them.
std::string RegString(const std::string& text) {
  std::string escaped;
  for (char c : text) {
    if (c == '\\' || c == '"') {
      escaped += '\\';
    }
    escaped += c;
  }
  return "\"" + escaped + "\"";
}

}  // namespace

std::ostream& operator<<(std::ostream& out, const LogLine& line) {
  return out << "[" << LevelName(line.level) << "][" << line.context << "] " << line.text;
}

bool LogPattern::Matches(const LogLine& line) const {
  return line.level == level && line.context == context &&
         (prefix ? line.text.starts_with(text) : line.text == text);
}

LogCapture& LogCapture::Install() {
  static LogCapture capture;
  // Created after the capture, so the logger is gone before the capture's files are.
  static Logger& logger = Logger::Instance();
  if (logger.Target() != LogTarget::File ||
      logger.Directory() != capture.scratch_->Path().string() + "/") {
    throw std::runtime_error("LogCapture: the log was configured before the capture");
  }
  return capture;
}

LogCapture::LogCapture() : scratch_(std::make_unique<platform::TempDirectory>("varlo-log-")) {
  const fs::path dir = scratch_->Path();
  file_ = dir / kLogFileName;
  const fs::path settings = dir / "log_settings.txt";
  std::ofstream(settings) << "target=" << dir.string() << "\n>default=debug\n";
  std::ofstream(dir / "user.reg") << "Windows Registry Editor Version 5.00\n\n[" << kHiveKey
                                  << "]\n\"LogSettingsPath\"=" << RegString(settings.string())
                                  << "\n";
  std::ofstream(dir / "machine.reg") << "Windows Registry Editor Version 5.00\n";
  if (!fs::exists(dir / "user.reg") || !fs::exists(settings)) {
    throw std::runtime_error("LogCapture: cannot write the log settings to " + dir.string());
  }
  // Only this process's own settings count: a machine hive could otherwise name another log.
  platform::SetEnvironmentValue("VARLO_USER_REGISTRY", (dir / "user.reg").string().c_str());
  platform::SetEnvironmentValue("VARLO_MACHINE_REGISTRY", (dir / "machine.reg").string().c_str());
  PolicySettings::Instance().SetRegistryKey(kModuleKey);
}

LogCapture::~LogCapture() = default;

std::uintmax_t LogCapture::Mark() const {
  std::error_code error;
  std::uintmax_t size = fs::file_size(file_, error);
  return error ? 0 : size;
}

std::vector<LogLine> LogCapture::LinesSince(std::uintmax_t mark) const {
  std::ifstream in(file_, std::ios::binary);
  std::vector<LogLine> lines;
  if (!in) {
    return lines;
  }
  if (mark > Mark()) {
    mark = 0;  // rotated: the mark was in the backup
  }
  in.seekg(static_cast<std::streamoff>(mark));
  std::string line;
  while (std::getline(in, line)) {
    if (in.eof()) {
      break;  // a line still being written
    }
    if (auto parsed = ParseLine(line)) {
      lines.push_back(std::move(*parsed));
    }
  }
  return lines;
}

std::optional<LogLine> LogCapture::WaitFor(std::uintmax_t mark, const LogPattern& pattern,
                                           std::chrono::milliseconds timeout) const {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    for (const LogLine& line : LinesSince(mark)) {
      if (pattern.Matches(line)) {
        return line;
      }
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      return std::nullopt;
    }
    // The logger offers no notification; the file is polled, bounded by the deadline.
    std::this_thread::sleep_for(kPollInterval);
  }
}

::testing::AssertionResult LogCapture::WaitForLines(std::uintmax_t mark,
                                                    const std::vector<LogPattern>& patterns,
                                                    std::chrono::milliseconds timeout) const {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const std::vector<LogLine> lines = LinesSince(mark);
    std::size_t found = 0;
    for (const LogLine& line : lines) {
      if (found < patterns.size() && patterns[found].Matches(line)) {
        ++found;
      }
    }
    if (found == patterns.size()) {
      return ::testing::AssertionSuccess();
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      const LogPattern& missing = patterns[found];
      auto failure = ::testing::AssertionFailure();
      failure << "no line " << LogLine{missing.level, missing.context, missing.text}
              << (missing.prefix ? "..." : "") << " (pattern " << found + 1 << " of "
              << patterns.size() << ") among the " << lines.size() << " lines written; the last:";
      constexpr std::size_t kShown = 40;
      for (std::size_t i = lines.size() > kShown ? lines.size() - kShown : 0; i < lines.size();
           ++i) {
        failure << "\n  " << lines[i];
      }
      return failure;
    }
    std::this_thread::sleep_for(kPollInterval);
  }
}

}  // namespace varlo::testing
