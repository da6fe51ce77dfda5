#include "log/logger.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <thread>
#include <vector>

#include "platform/system/system.h"

namespace varlo {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

class LoggerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("varlo_logger_" + std::to_string(platform::CurrentThreadId()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  // Writes a settings file; "$DIR" in the text stands for the test's log directory.
  std::string Settings(std::string text) {
    for (std::size_t at; (at = text.find("$DIR")) != std::string::npos;) {
      text.replace(at, 4, dir_.string());
    }
    fs::path path = dir_ / "settings.txt";
    std::ofstream(path) << text;
    return path.string();
  }

  std::vector<std::string> LogLines(const char* name = "desfire_varlo_module.log") const {
    std::ifstream file(dir_ / name);
    std::vector<std::string> lines;
    for (std::string line; std::getline(file, line);)
      lines.push_back(line);
    return lines;
  }

  // The part of a line after its timestamp and thread id: "[TAG][context] text".
  static std::string Body(const std::string& line) {
    static const std::regex kLine(
        R"(^\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\](\[[A-Z]+\])\[thread \d+\](\[.*)$)");
    std::smatch m;
    return std::regex_match(line, m, kLine) ? m[1].str() + m[2].str() : "MALFORMED: " + line;
  }

  std::vector<std::string> Bodies(const char* name = "desfire_varlo_module.log") const {
    std::vector<std::string> bodies;
    for (const auto& line : LogLines(name))
      bodies.push_back(Body(line));
    return bodies;
  }

  static void WriteOneOfEachLevel(Logger& logger, std::string_view context) {
    LogRecord(logger, context, LogLevel::Fatal) << "f";
    LogRecord(logger, context, LogLevel::Error) << "e";
    LogRecord(logger, context, LogLevel::Warn) << "w";
    LogRecord(logger, context, LogLevel::Info) << "i";
    LogRecord(logger, context, LogLevel::Debug) << "d";
  }

  fs::path dir_;
};

TEST_F(LoggerTest, WritesTheExactLineFormat) {
  Logger logger(Settings("target=$DIR\n>Desfire=debug\n"));
  LogRecord(logger, "Desfire", LogLevel::Debug) << "Desfire::Load"
                                                << " "
                                                << "Loading Desfire completed.";
  auto lines = LogLines();
  ASSERT_EQ(lines.size(), 1u);
  const std::string expected =
      std::string("[")
          .append(platform::FormatLocalTime(std::time(nullptr), "%Y-%m-%d"))
          .append(" ");
  EXPECT_EQ(lines[0].substr(0, expected.size()), expected);
  EXPECT_EQ(lines[0].substr(21), "[DBUG][thread " + std::to_string(platform::CurrentThreadId()) +
                                     "][Desfire] Desfire::Load Loading Desfire completed.");
}

TEST_F(LoggerTest, DirectoryOnlyKeepsWarningsAndWorseOfEveryContext) {
  Logger logger(Settings("target=$DIR"));
  EXPECT_EQ(logger.Target(), LogTarget::File);
  EXPECT_EQ(logger.Directory(), dir_.string() + "/");
  WriteOneOfEachLevel(logger, "ModuleAPI");
  WriteOneOfEachLevel(logger, "Anything");
  EXPECT_THAT(Bodies(),
              ElementsAre("[FATAL][ModuleAPI] f", "[ERROR][ModuleAPI] e", "[WARN][ModuleAPI] w",
                          "[FATAL][Anything] f", "[ERROR][Anything] e", "[WARN][Anything] w"));
}

// Malformed lines and comments, after the good ones, change nothing; a line may end in CR LF.
TEST_F(LoggerTest, ContextLevelsOverrideTheDefaultAndTraceFollowsDesfire) {
  Logger logger(
      Settings("target=$DIR/\r\n>default=debug\n>Desfire=info\n>Desfire=error\r\n"
               ">ModuleAPI=verbose\n>TokenList=Debug\n"
               "# target=console\ntarget = console\na=b=c\n>default=\n=debug\n>default==debug\n"
               "\nunknown=1\n"));
  EXPECT_EQ(logger.Target(), LogTarget::File);
  EXPECT_EQ(logger.Directory(), dir_.string() + "/");  // no second separator
  WriteOneOfEachLevel(logger, "Desfire");
  WriteOneOfEachLevel(logger, "ModuleAPI");  // an unknown word turns a context off
  WriteOneOfEachLevel(logger, "TokenList");  // level words are lower case only
  { TraceScope trace("Desfire::Load", logger); }
  LogRecord(logger, "LSConnection", LogLevel::Debug) << "x";
  EXPECT_THAT(Bodies(),
              ElementsAre("[FATAL][Desfire] f", "[ERROR][Desfire] e", "[DBUG][LSConnection] x"));
}

TEST_F(LoggerTest, TraceScopeWritesBeginAndEndAlsoWhenUnwinding) {
  Logger logger(Settings("target=$DIR\n>Desfire=debug\n"));
  try {
    TraceScope trace("Token::CheckPIN", logger);
    throw std::runtime_error("x");
  } catch (const std::exception&) {
  }
  EXPECT_THAT(Bodies(), ElementsAre("[DBUG][Desfire] \t\t[BEGIN Token::CheckPIN]",
                                    "[DBUG][Desfire] \t\t[END Token::CheckPIN]"));
}

TEST_F(LoggerTest, ConsoleTargetWritesToStandardOutput) {
  ::testing::internal::CaptureStdout();
  {
    Logger logger(Settings("target=console\n>default=info\n"));
    EXPECT_EQ(logger.Target(), LogTarget::Console);
    LogRecord(logger, "Callback", LogLevel::Info) << "CALLBACK - Token add or remove event.";
    LogRecord(logger, "Callback", LogLevel::Debug) << "dropped";
  }
  std::string out = ::testing::internal::GetCapturedStdout();
  ASSERT_EQ(out.back(), '\n');
  EXPECT_EQ(Body(out.substr(0, out.size() - 1)),
            "[INFO][Callback] CALLBACK - Token add or remove event.");
  EXPECT_FALSE(fs::exists(dir_ / "desfire_varlo_module.log"));
}

// Nor is a missing log directory ever created.
TEST_F(LoggerTest, WithoutSettingsNothingIsWrittenAnywhere) {
  for (const std::string& path : {std::string(), (dir_ / "missing.txt").string()}) {
    ::testing::internal::CaptureStdout();
    Logger logger(path);
    EXPECT_EQ(logger.Target(), LogTarget::None);
    LogRecord(logger, "ModuleAPI", LogLevel::Fatal) << "not written";
    EXPECT_THAT(::testing::internal::GetCapturedStdout(), IsEmpty());
  }
  EXPECT_THAT(LogLines(), IsEmpty());
  Logger logger(Settings("target=$DIR/absent\n"));
  LogRecord(logger, "ModuleAPI", LogLevel::Fatal) << "lost";
  EXPECT_FALSE(fs::exists(dir_ / "absent"));
}

TEST_F(LoggerTest, RotatesAtTheHundredthRecordOnceTheLogHasReachedOneMebibyte) {
  const std::string big(0x100000, 'x');
  std::ofstream(dir_ / "desfire_varlo_module.log") << big;
  std::ofstream(dir_ / "desfire_varlo_module.bak") << "old backup";
  // A log others could read is narrowed; every file the logger creates is its owner's alone.
  // Windows has no file modes: its files keep the security of their folder.
  const auto expectPrivate = [&](const char* name) {
    if (VARLO_FILE_MODES) {
      EXPECT_EQ(fs::status(dir_ / name).permissions(),
                fs::perms::owner_read | fs::perms::owner_write)
          << name;
    }
  };
  fs::permissions(dir_ / "desfire_varlo_module.log", fs::perms::others_read, fs::perm_options::add);
  Logger logger(Settings("target=$DIR\n"));

  // The first record checks the size: the full log becomes the backup, replacing the old one.
  LogRecord(logger, "A", LogLevel::Error) << "record 1";
  EXPECT_EQ(fs::file_size(dir_ / "desfire_varlo_module.bak"), big.size());
  expectPrivate("desfire_varlo_module.bak");
  EXPECT_THAT(Bodies(), ElementsAre("[ERROR][A] record 1"));

  // The log grows past the limit, but the size is looked at again only at record 101.
  { std::ofstream(dir_ / "desfire_varlo_module.log", std::ios::app) << big << '\n'; }
  for (int i = 2; i <= 100; ++i)
    LogRecord(logger, "A", LogLevel::Error) << "record " << i;
  EXPECT_EQ(fs::file_size(dir_ / "desfire_varlo_module.bak"), big.size());
  EXPECT_GT(fs::file_size(dir_ / "desfire_varlo_module.log"), big.size());

  LogRecord(logger, "A", LogLevel::Error) << "record 101";
  EXPECT_THAT(Bodies(), ElementsAre("[ERROR][A] record 101"));
  auto backup = Bodies("desfire_varlo_module.bak");
  ASSERT_EQ(backup.size(), 101u);
  EXPECT_EQ(backup.front(), "[ERROR][A] record 1");
  EXPECT_EQ(backup.back(), "[ERROR][A] record 100");
  for (const char* name : {"desfire_varlo_module.log", "desfire_varlo_module.bak"})
    expectPrivate(name);
}

TEST_F(LoggerTest, LinesFromManyThreadsNeverInterleave) {
  Logger logger(Settings("target=$DIR\n>default=debug\n"));
  constexpr int kThreads = 4;
  constexpr int kLines = 300;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&logger, t] {
      for (int i = 0; i < kLines; ++i) {
        LogRecord(logger, std::string("T").append(std::to_string(t)), LogLevel::Info)
            << std::string(100, 'a' + t);
      }
    });
  }
  for (auto& thread : threads)
    thread.join();
  auto bodies = Bodies();
  ASSERT_EQ(bodies.size(), static_cast<std::size_t>(kThreads * kLines));
  for (const auto& body : bodies) {
    ASSERT_TRUE(body.starts_with("[INFO][T")) << body;
    char t = body[8];
    EXPECT_EQ(body.substr(11), std::string(100, 'a' + (t - '0')));
  }
}

}  // namespace
}  // namespace varlo
