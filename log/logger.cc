#include "log/logger.h"

#include <ctime>
#include <iostream>
#include <system_error>

#include "common/utf.h"
#include "log/policy_settings.h"
#include "platform/daemon/files.h"
#include "platform/system/system.h"

namespace varlo {
namespace {

constexpr std::uint64_t kRotationInterval = 100;  // records between two size checks
constexpr std::uintmax_t kRotationSize = 0x100000;
constexpr const char* kLogFileName = "desfire_varlo_module.log";
constexpr const char* kBackupFileName = "desfire_varlo_module.bak";

LogLevel LevelFromWord(std::string_view word) {
  if (word == "fatal")
    return LogLevel::Fatal;
  if (word == "error")
    return LogLevel::Error;
  if (word == "warn")
    return LogLevel::Warn;
  if (word == "info")
    return LogLevel::Info;
  if (word == "debug")
    return LogLevel::Debug;
  return LogLevel::Off;
}

std::string_view Tag(LogLevel level) {
  switch (level) {
    case LogLevel::Fatal:
      return "[FATAL]";
    case LogLevel::Error:
      return "[ERROR]";
    case LogLevel::Warn:
      return "[WARN]";
    case LogLevel::Info:
      return "[INFO]";
    case LogLevel::Debug:
      return "[DBUG]";
    case LogLevel::Off:
      break;
  }
  return "";
}

}  // namespace

LogSettings ParseLogSettings(std::istream& text) {
  LogSettings settings;
  std::string line;
  while (std::getline(text, line)) {
    // Read as text: a CRLF file written on Windows means the same as one with LF.
    if (!line.empty() && line.back() == '\r')
      line.pop_back();
    if (line.empty() || line.front() == '#')
      continue;
    // Exactly one "=" with something on both sides; nothing is trimmed.
    std::size_t equals = line.find('=');
    if (equals == std::string::npos || equals == 0 || equals + 1 == line.size() ||
        line.find('=', equals + 1) != std::string::npos) {
      continue;
    }
    std::string key = line.substr(0, equals);
    std::string value = line.substr(equals + 1);
    if (key.front() == '>') {
      std::string context = key.substr(1);
      if (context == "default") {
        settings.defaultLevel = LevelFromWord(value);
      } else {
        settings.levels[context] = LevelFromWord(value);
      }
    } else if (key == "target") {
      if (value == "console") {
        settings.target = LogTarget::Console;
      } else {
        settings.target = LogTarget::File;
        settings.directory = value.back() == '/' ? value : value + '/';
      }
    }
  }
  return settings;
}

Logger& Logger::Instance() {
  static Logger instance(Utf16ToUtf8(PolicySettings::Instance().GetValue(
      u"LogSettingsPath", u"",
      {RegistryScope::CurrentUserPolicy, RegistryScope::LocalMachinePolicy,
       RegistryScope::LocalMachine, RegistryScope::CurrentUser})));
  return instance;
}

Logger::Logger(const std::string& settingsPath) {
  ReadSettings(settingsPath);
}

Logger::~Logger() = default;

LogLevel Logger::Threshold(std::string_view context) const {
  auto it = levels_.find(context);
  return it == levels_.end() ? defaultLevel_ : it->second;
}

void Logger::ReadSettings(const std::string& settingsPath) {
  if (settingsPath.empty())
    return;
  std::ifstream file(settingsPath);
  std::lock_guard lock(mutex_);
  if (!file.is_open())
    return;
  LogSettings settings = ParseLogSettings(file);
  file.close();
  levels_ = std::move(settings.levels);
  defaultLevel_ = settings.defaultLevel;
  target_ = settings.target;
  directory_ = std::move(settings.directory);
  OpenLogFile();
}

std::filesystem::path Logger::LogFilePath() const {
  return directory_ + kLogFileName;
}
std::filesystem::path Logger::BackupFilePath() const {
  return directory_ + kBackupFileName;
}

void Logger::OpenLogFile() {
  if (target_ != LogTarget::File)
    return;
  if (stream_.is_open())
    stream_.close();
  stream_.clear();
  // Only the owner may read the log, also each new file after a rotation: it tells what the
  // module did with which card and token.
  try {
    platform::EnsurePrivateFile(LogFilePath().string());
  } catch (const std::system_error&) {
    return;  // no folder, a file of another user or a link: nothing is written
  }
  stream_.open(LogFilePath(), std::ios::out | std::ios::app);
}

void Logger::RotateIfDue() {
  const std::uint64_t n = writeCounter_++;
  if (n % kRotationInterval != 0 || !stream_.is_open())
    return;
  std::error_code error;
  std::uintmax_t size = std::filesystem::file_size(LogFilePath(), error);
  if (error)
    size = 0;
  if (size < kRotationSize)
    return;
  stream_.close();
  std::filesystem::remove(BackupFilePath(), error);
  std::filesystem::rename(LogFilePath(), BackupFilePath(), error);
  OpenLogFile();
}

void Logger::Write(LogLevel threshold, LogLevel level, std::string_view context,
                   std::string_view text) {
  if (!Writes(threshold, level))
    return;
  // The line is built before the lock is taken, so lines may land out of timestamp order.
  std::string line;
  line.reserve(64 + context.size() + text.size());
  line += '[';
  line += platform::FormatLocalTime(std::time(nullptr), "%Y-%m-%d %H:%M:%S");
  line += ']';
  line += Tag(level);
  line += "[thread ";
  line += std::to_string(platform::CurrentThreadId());
  line += "][";
  line += context;
  line += "] ";
  line += text;
  line += '\n';

  std::lock_guard lock(mutex_);
  switch (target_) {
    case LogTarget::File:
      RotateIfDue();
      if (stream_.is_open()) {
        stream_ << line;
        stream_.flush();
      }
      break;
    case LogTarget::Console:
      std::cout << line;
      break;
    case LogTarget::None:
      break;
  }
}

LogRecord::LogRecord(Logger& logger, std::string_view context, LogLevel level)
    : logger_(logger), threshold_(logger.Threshold(context)), level_(level) {
  if (logger_.Writes(threshold_, level_)) {
    context_ = context;
    text_.emplace();
  }
}

LogRecord::~LogRecord() {
  if (text_)
    logger_.Write(threshold_, level_, context_, text_->str());
}

LogRecord LogDebug(std::string_view context) {
  return LogRecord(Logger::Instance(), context, LogLevel::Debug);
}
LogRecord LogInfo(std::string_view context) {
  return LogRecord(Logger::Instance(), context, LogLevel::Info);
}
LogRecord LogWarn(std::string_view context) {
  return LogRecord(Logger::Instance(), context, LogLevel::Warn);
}
LogRecord LogError(std::string_view context) {
  return LogRecord(Logger::Instance(), context, LogLevel::Error);
}
LogRecord LogFatal(std::string_view context) {
  return LogRecord(Logger::Instance(), context, LogLevel::Fatal);
}

TraceScope::TraceScope(std::string_view name, Logger& logger) : logger_(logger) {
  if (logger_.Writes(logger_.Threshold("Desfire"), LogLevel::Debug))
    name_ = name;
  LogRecord(logger_, "Desfire", LogLevel::Debug) << "\t\t[BEGIN " << name_ << "]";
}

TraceScope::~TraceScope() {
  LogRecord(logger_, "Desfire", LogLevel::Debug) << "\t\t[END " << name_ << "]";
}

}  // namespace varlo
