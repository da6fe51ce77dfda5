// What the module writes to its log, configured through real hive and settings files. How
// context levels and the console target behave is the logger's own (log/logger_test.cc); here
// the module's contexts, its scope order and its settings key.
//
// The log's settings are read once per process, when the module first logs, so every scenario
// runs in a fresh process (a "threadsafe" death test re-executes this binary) and the parent
// looks at the files it left.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "platform/system/system.h"
#include "tests/harness/module_harness.h"

namespace varlo::testing {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;

#define IN_FRESH_PROCESS(statement) \
  EXPECT_EXIT(                      \
      {                             \
        statement;                  \
        std::exit(0);               \
      },                            \
      ::testing::ExitedWithCode(0), "")

class ModuleLoggingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    dir_ = fs::temp_directory_path() /
           ("varlo_module_logging_" +
            std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "logs");
    platform::SetEnvironmentValue("VARLO_MACHINE_REGISTRY",
                                  (dir_ / "machine.reg").string().c_str());
    platform::SetEnvironmentValue("VARLO_USER_REGISTRY", (dir_ / "user.reg").string().c_str());
  }
  void TearDown() override {
    platform::SetEnvironmentValue("VARLO_MACHINE_REGISTRY", nullptr);
    platform::SetEnvironmentValue("VARLO_USER_REGISTRY", nullptr);
    fs::remove_all(dir_);
  }

  // A settings file in the test's folder; "$LOGS" stands for the test's log directory.
  std::string SettingsFile(const std::string& name, std::string text) {
    for (std::size_t at; (at = text.find("$LOGS")) != std::string::npos;) {
      text.replace(at, 5, (dir_ / "logs").string());
    }
    std::ofstream(dir_ / name) << text;
    return (dir_ / name).string();
  }

  // A hive file with one key and the LogSettingsPath value given as .reg data.
  void Hive(const char* file, const char* root, const char* key, const std::string& data) {
    std::string escaped;
    for (char c : data) {
      if (c == '\\' || c == '"')
        escaped += '\\';
      escaped += c;
    }
    std::ofstream(dir_ / file, std::ios::app)
        << "Windows Registry Editor Version 5.00\r\n\r\n[" << root << "\\" << key << "]\r\n"
        << "\"LogSettingsPath\"=" << (data.starts_with("dword:") ? data : "\"" + escaped + "\"")
        << "\r\n\r\n";
  }

  std::string LogText() const {
    std::ifstream file(dir_ / "logs" / "desfire_varlo_module.log");
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
  }

  // Each record of the log as "[TAG][context] text"; records whose text holds line feeds are
  // rejoined.
  std::vector<std::string> Records(const std::string& text) const {
    static const std::regex kHead(
        R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\](\[[A-Z]+\])\[thread \d+\])");
    std::vector<std::string> records;
    std::sregex_iterator it(text.begin(), text.end(), kHead), end;
    std::vector<std::smatch> heads(it, end);
    for (std::size_t i = 0; i < heads.size(); ++i) {
      std::size_t from = heads[i].position(0) + heads[i].length(0);
      std::size_t to = i + 1 < heads.size() ? heads[i + 1].position(0) : text.size();
      std::string rest = text.substr(from, to - from);
      if (!rest.empty() && rest.back() == '\n')
        rest.pop_back();
      records.push_back(heads[i][1].str() + rest);
    }
    return records;
  }

  static void InitializeAndUnload(const char16_t* key) {
    EventCounter events;
    ModuleHarness module;
    ModuleData data = NewModuleData(&events);
    if (module.Initialize(&data, key) != RESULT_SUCCESS)
      std::exit(2);
    data.ModuleUnload();
  }

  static void FailInitialize(const char16_t* key) {
    ModuleHarness module;
    if (module.Initialize(nullptr, key) != RESULT_INVALID_PARAMETER)
      std::exit(2);
  }

  // Whether a record is of `context`.
  static bool Of(const std::string& record, const std::string& context) {
    return record.find("][" + context + "] ") != std::string::npos;
  }

  fs::path dir_;
};

const std::regex kLifeCycleTrace(
    R"(\[(BEGIN|END) (Module(Initialize|Unload)|TokenList::(~?TokenList|StartMonitoring))\])");

constexpr const char16_t* kKey = u"SOFTWARE\\Vendor\\Module";

TEST_F(ModuleLoggingTest, DebugLogShowsBannerTraceAndLifeCycle) {
  Hive("user.reg", "HKEY_CURRENT_USER", "SOFTWARE\\Vendor\\Module",
       SettingsFile("settings.txt", "target=$LOGS\n>default=debug\n"));
  IN_FRESH_PROCESS(InitializeAndUnload(kKey));

  auto records = Records(LogText());
  ASSERT_GE(records.size(), 4u);
  EXPECT_EQ(records[0],
            "[INFO][ModuleAPI] ModuleInitialize \n\n"
            "######################################################\n");
  EXPECT_TRUE(std::regex_match(
      records[1],
      std::regex(
          R"(\[INFO\]\[ModuleAPI\] ModuleInitialize Version vom [A-Z][a-z]{2} [ 0-9]\d \d{4} \d\d:\d\d:\d\d)")))
      << records[1];
  // The host thread's life cycle; the list's own threads log in between.
  std::vector<std::string> rest;
  for (auto it = records.begin() + 2; it != records.end(); ++it) {
    if (Of(*it, "ModuleAPI") || std::regex_search(*it, kLifeCycleTrace))
      rest.push_back(*it);
  }
  EXPECT_THAT(rest, ElementsAre("[DBUG][Desfire] \t\t[BEGIN ModuleInitialize]",
                                "[DBUG][Desfire] \t\t[BEGIN TokenList::TokenList]",
                                "[DBUG][Desfire] \t\t[END TokenList::TokenList]",
                                "[DBUG][Desfire] \t\t[BEGIN TokenList::StartMonitoring]",
                                "[DBUG][Desfire] \t\t[END TokenList::StartMonitoring]",
                                "[DBUG][ModuleAPI] ModuleInitialize Initializing pModuleData.",
                                "[DBUG][Desfire] \t\t[END ModuleInitialize]",
                                "[DBUG][Desfire] \t\t[BEGIN ModuleUnload]",
                                "[DBUG][Desfire] \t\t[BEGIN TokenList::~TokenList]",
                                "[DBUG][Desfire] \t\t[END TokenList::~TokenList]",
                                "[DBUG][Desfire] \t\t[END ModuleUnload]"));
}

TEST_F(ModuleLoggingTest, PolicyBeatsSettingAndAValueOfAnotherTypeIsPassedOver) {
  // Order: user policy, machine policy, machine, user. The user policy holds a number.
  Hive("user.reg", "HKEY_CURRENT_USER", "SOFTWARE\\Policies\\Vendor\\Module", "dword:00000001");
  Hive("user.reg", "HKEY_CURRENT_USER", "SOFTWARE\\Vendor\\Module",
       SettingsFile("user.txt", "target=$LOGS/user\n"));
  Hive("machine.reg", "HKEY_LOCAL_MACHINE", "SOFTWARE\\Vendor\\Module",
       SettingsFile("machine.txt", "target=$LOGS/machine\n"));
  Hive("machine.reg", "HKEY_LOCAL_MACHINE", "SOFTWARE\\Policies\\Vendor\\Module",
       SettingsFile("policy.txt", "target=$LOGS\n"));
  fs::create_directories(dir_ / "logs" / "user");
  fs::create_directories(dir_ / "logs" / "machine");
  IN_FRESH_PROCESS(FailInitialize(kKey));
  // The registry key reaches the settings also when ModuleInitialize fails.
  EXPECT_THAT(Records(LogText()),
              ElementsAre("[ERROR][ModuleAPI] ModuleInitialize pModuleData is nullptr"));
  EXPECT_FALSE(fs::exists(dir_ / "logs" / "user" / "desfire_varlo_module.log"));
  EXPECT_FALSE(fs::exists(dir_ / "logs" / "machine" / "desfire_varlo_module.log"));
}

TEST_F(ModuleLoggingTest, WithoutSettingsNothingIsWritten) {
  const std::string out = (dir_ / "stdout.txt").string();
  IN_FRESH_PROCESS({
    if (std::freopen(out.c_str(), "w", stdout) == nullptr)
      std::exit(3);
    FailInitialize(kKey);  // an error record
    InitializeAndUnload(nullptr);
    std::fflush(stdout);
  });
  EXPECT_EQ(fs::file_size(out), 0u);
  EXPECT_TRUE(fs::is_empty(dir_ / "logs"));
}

}  // namespace
}  // namespace varlo::testing
