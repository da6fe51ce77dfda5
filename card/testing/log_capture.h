// The module's log captured in a file, for tests that check what the card code logs.
//
// The logger reads its settings once per process, at its first log call, so a test program
// installs the capture before anything logs, best from a gtest environment:
//
//   const auto* const kLog =
//       ::testing::AddGlobalTestEnvironment(new varlo::testing::LogCaptureEnvironment);
//
// Installing writes a user registry hive (and an empty machine one) to a scratch directory,
// points VARLO_USER_REGISTRY and VARLO_MACHINE_REGISTRY at them and hands their key to
// `PolicySettings`; the hive's "LogSettingsPath" names a settings file that sends every context
// at debug level to the scratch directory. A test then marks the log, does something, and waits
// for the line it expects:
//
//   auto mark = log.Mark();
//   rig->Present(0, image);
//   EXPECT_TRUE(log.WaitForLines(mark, {{LogLevel::Info, "PcscMonitoring",
//                                        "PcscMonitoring::AddPicc Adding desfire on Reader 0"}}));
//
// Any thread may read the capture; lines are read back from the file, which the logger flushes
// after every line.
#ifndef VARLO_CARD_TESTING_LOG_CAPTURE_H_
#define VARLO_CARD_TESTING_LOG_CAPTURE_H_

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "log/logger.h"

namespace varlo::platform {
class TempDirectory;
}

namespace varlo::testing {

// One written log line, split into its parts (time stamp and thread left out).
struct LogLine {
  LogLevel level = LogLevel::Off;
  std::string context;
  std::string text;
  bool operator==(const LogLine&) const = default;
};
std::ostream& operator<<(std::ostream& out, const LogLine& line);

// What a wait looks for: level and context exactly; the text exactly, or only its beginning
// when `prefix` is set (for texts that end in a code or a number).
struct LogPattern {
  LogLevel level = LogLevel::Off;
  std::string context;
  std::string text;
  bool prefix = false;
  bool Matches(const LogLine& line) const;
};

class LogCapture {
 public:
  // The process's capture, set up by the first call. Throws std::runtime_error when something
  // logged before (the logger then already has its settings) or the files cannot be written.
  static LogCapture& Install();
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  // A position in the log: every line written so far lies before it.
  std::uintmax_t Mark() const;
  // The complete lines written after `mark`. Should the log have been rotated meanwhile, the
  // new file is read from its beginning.
  std::vector<LogLine> LinesSince(std::uintmax_t mark) const;
  // The first line after `mark` that matches `pattern`, waiting for it until `timeout`;
  // nullopt at the deadline.
  std::optional<LogLine> WaitFor(
      std::uintmax_t mark, const LogPattern& pattern,
      std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
  // Success once lines matching `patterns` have been written after `mark`, in this order (other
  // lines may come between them); at the deadline a failure naming the first missing pattern.
  ::testing::AssertionResult WaitForLines(
      std::uintmax_t mark, const std::vector<LogPattern>& patterns,
      std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
  const std::filesystem::path& File() const { return file_; }

 private:
  LogCapture();

  std::unique_ptr<platform::TempDirectory> scratch_;
  std::filesystem::path file_;
};

// Installs the capture when the test program starts.
class LogCaptureEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { LogCapture::Install(); }
};

}  // namespace varlo::testing

#endif  // VARLO_CARD_TESTING_LOG_CAPTURE_H_
