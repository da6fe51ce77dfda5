#include "log/policy_settings.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "platform/system/system.h"

namespace varlo {
namespace {

namespace fs = std::filesystem;

// Points both hives at files of the test's own and writes them.
class PolicySettingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("varlo_policy_" +
            std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::create_directories(dir_);
    platform::SetEnvironmentValue("VARLO_MACHINE_REGISTRY",
                                  (dir_ / "machine.reg").string().c_str());
    platform::SetEnvironmentValue("VARLO_USER_REGISTRY", (dir_ / "user.reg").string().c_str());
  }
  void TearDown() override {
    platform::SetEnvironmentValue("VARLO_MACHINE_REGISTRY", nullptr);
    platform::SetEnvironmentValue("VARLO_USER_REGISTRY", nullptr);
    fs::remove_all(dir_);
  }

  void Hive(const char* file, const std::string& body) {
    std::ofstream(dir_ / file) << "Windows Registry Editor Version 5.00\n\n" << body;
  }

  std::u16string LogSettingsPath(PolicySettings& settings) {
    return settings.GetValue(u"LogSettingsPath", u"",
                             {RegistryScope::CurrentUserPolicy, RegistryScope::LocalMachinePolicy,
                              RegistryScope::LocalMachine, RegistryScope::CurrentUser});
  }

  fs::path dir_;
};

// Lookups go by this key (a lower-case "software\\" stays in it). That the module's own scope
// order passes over a value of another type is pinned by tests/module's logging tests.
TEST_F(PolicySettingsTest, KeyLosesOneExactSoftwarePrefix) {
  PolicySettings settings;
  EXPECT_EQ(settings.ModuleKey(), u"::NONE");
  for (auto [given, kept] : {std::pair{u"SOFTWARE\\Vendor\\Module", u"Vendor\\Module"},
                             {u"Vendor\\Module", u"Vendor\\Module"},
                             {u"software\\Vendor", u"software\\Vendor"},
                             {u"SOFTWARE\\SOFTWARE\\X", u"SOFTWARE\\X"}}) {
    settings.SetRegistryKey(given);
    EXPECT_EQ(settings.ModuleKey(), kept);
  }
}

TEST_F(PolicySettingsTest, ScopesAreConsultedInTheOrderGiven) {
  Hive("machine.reg",
       "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\\Module]\n\"LogSettingsPath\"=\"machine\"\n"
       "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Policies\\Vendor\\Module]\n"
       "\"LogSettingsPath\"=\"machine policy\"\n");
  Hive("user.reg", "[HKEY_CURRENT_USER\\SOFTWARE\\Vendor\\Module]\n\"LogSettingsPath\"=\"user\"\n");
  PolicySettings settings;
  settings.SetRegistryKey(u"SOFTWARE\\Vendor\\Module");
  EXPECT_EQ(LogSettingsPath(settings), u"machine policy");
  EXPECT_EQ(settings.GetValue(u"LogSettingsPath", u"", {RegistryScope::CurrentUser}), u"user");
  EXPECT_EQ(settings.GetValue(u"LogSettingsPath", u"",
                              {RegistryScope::CurrentUser, RegistryScope::LocalMachinePolicy}),
            u"user");

  Hive("user.reg",
       "[HKEY_CURRENT_USER\\SOFTWARE\\Policies\\Vendor\\Module]\n"
       "\"LogSettingsPath\"=\"user policy\"\n");
  EXPECT_EQ(LogSettingsPath(settings), u"user policy");
}

TEST_F(PolicySettingsTest, FallbackWhenNothingAnswers) {
  PolicySettings settings;  // the placeholder key names no real key
  EXPECT_EQ(settings.GetValue(u"LogSettingsPath", u"fallback",
                              {RegistryScope::CurrentUser, RegistryScope::LocalMachine}),
            u"fallback");
  Hive("machine.reg", "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor]\n\"Other\"=\"x\"\n");
  settings.SetRegistryKey(u"SOFTWARE\\Vendor");
  EXPECT_EQ(LogSettingsPath(settings), u"");
}

}  // namespace
}  // namespace varlo
