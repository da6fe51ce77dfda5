#include "log/logger.h"

namespace varlo {

Logger& Logger::Instance() {
  static Logger instance("");
  return instance;
}

Logger::Logger(const std::string& settingsPath) { ReadSettings(settingsPath); }
Logger::~Logger() = default;

LogLevel Logger::Threshold(std::string_view context) const {
  auto it = levels_.find(context);
  return it == levels_.end() ? defaultLevel_ : it->second;
}

void Logger::Write(LogLevel, LogLevel, std::string_view, std::string_view) {}
void Logger::ReadSettings(const std::string&) {}

LogRecord::LogRecord(Logger& logger, std::string_view context, LogLevel level)
    : logger_(logger), threshold_(logger.Threshold(context)), level_(level), context_(context) {}

LogRecord::~LogRecord() { logger_.Write(threshold_, level_, context_, text_.str()); }

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

TraceScope::TraceScope(std::string name) : name_(std::move(name)) {
  LogDebug("Desfire") << "\t\t[BEGIN " << name_ << "]";
}
TraceScope::~TraceScope() { LogDebug("Desfire") << "\t\t[END " << name_ << "]"; }

}  // namespace varlo
