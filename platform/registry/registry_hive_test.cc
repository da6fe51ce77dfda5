#include "platform/registry/registry_hive.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace varlo::platform {
namespace {

std::vector<std::uint8_t> Utf16Data(std::u16string_view text) {
  std::vector<std::uint8_t> data;
  for (char16_t c : text) {
    data.push_back(static_cast<std::uint8_t>(c));
    data.push_back(static_cast<std::uint8_t>(c >> 8));
  }
  data.insert(data.end(), {0, 0});
  return data;
}

std::string AsUtf16LeWithBom(std::string_view ascii) {
  std::string bytes = "\xFF\xFE";
  for (char c : ascii) {
    bytes.push_back(c);
    bytes.push_back('\0');
  }
  return bytes;
}

constexpr std::string_view kExport =
    "Windows Registry Editor Version 5.00\r\n"
    "\r\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\\Module]\r\n"
    "\"LogSettingsPath\"=\"C:\\\\logs\\\\settings.txt\"\r\n"
    "\"Quoted\"=\"say \\\"hi\\\"\"\r\n"
    "\"Count\"=dword:0000000a\r\n"
    "\"Blob\"=hex:01,02,ff\r\n"
    "\"Long\"=hex:01,02,\\\r\n"
    "  03,04\r\n"
    "\"Expand\"=hex(2):25,00,00,00\r\n"
    "\"Multi\"=hex(7):61,00,00,00,00,00\r\n"
    "\"Big\"=hex(b):01,00,00,00,00,00,00,00\r\n"
    "@=\"default\"\r\n"
    "\r\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Policies\\Vendor\\Module]\r\n"
    "\"Deleted\"=-\r\n";

// As exported in UTF-16 little-endian with a byte order mark, and the same text in UTF-8.
TEST(RegistryHiveTest, ReadsEveryValueKindOfAnExportInEitherEncoding) {
  for (const std::string& text : {std::string(kExport), AsUtf16LeWithBom(kExport)}) {
    RegistryHive hive = RegistryHive::Parse(text);
    auto path = hive.Find(u"SOFTWARE\\Vendor\\Module", u"LogSettingsPath");
    ASSERT_TRUE(path);
    EXPECT_EQ(path->type, RegistryType::Sz);
    EXPECT_EQ(path->data, Utf16Data(u"C:\\logs\\settings.txt"));
    EXPECT_EQ(hive.Find(u"SOFTWARE\\Vendor\\Module", u"Quoted")->data, Utf16Data(u"say \"hi\""));

    auto count = hive.Find(u"SOFTWARE\\Vendor\\Module", u"Count");
    EXPECT_EQ(count->type, RegistryType::Dword);
    EXPECT_EQ(count->data, (std::vector<std::uint8_t>{10, 0, 0, 0}));
    EXPECT_EQ(hive.Find(u"SOFTWARE\\Vendor\\Module", u"Blob")->data,
              (std::vector<std::uint8_t>{1, 2, 0xFF}));
    EXPECT_EQ(hive.Find(u"SOFTWARE\\Vendor\\Module", u"Long")->data,
              (std::vector<std::uint8_t>{1, 2, 3, 4}));
    EXPECT_EQ(hive.Find(u"SOFTWARE\\Vendor\\Module", u"Expand")->type, RegistryType::ExpandSz);
    EXPECT_EQ(hive.Find(u"SOFTWARE\\Vendor\\Module", u"Multi")->type, RegistryType::MultiSz);
    EXPECT_EQ(hive.Find(u"SOFTWARE\\Vendor\\Module", u"Big")->type, RegistryType::Qword);
    EXPECT_EQ(hive.Find(u"SOFTWARE\\Vendor\\Module", u"")->data, Utf16Data(u"default"));

    EXPECT_TRUE(hive.HasKey(u"SOFTWARE\\Policies\\Vendor\\Module"));
    EXPECT_FALSE(hive.Find(u"SOFTWARE\\Policies\\Vendor\\Module", u"Deleted"));
    // Keys and names match without regard to case.
    EXPECT_TRUE(hive.Find(u"software\\VENDOR\\module\\", u"logsettingspath"));
    EXPECT_FALSE(hive.Find(u"SOFTWARE\\Vendor", u"LogSettingsPath"));
    EXPECT_FALSE(hive.Find(u"SOFTWARE\\Vendor\\Module", u"Missing"));
  }
}

TEST(RegistryHiveTest, ReadsHandWrittenUtf8AndSkipsWhatItCannotParse) {
  RegistryHive hive = RegistryHive::Parse(
      "[HKEY_CURRENT_USER\\SOFTWARE\\V]\n"
      "; a comment\n"
      "\"Text\"=\"gr\xC3\xBC\xC3\x9F\"\n"
      "\"BadDword\"=dword:xyz\n"
      "\"TooLong\"=dword:123456789\n"
      "\"BadHex\"=hex:1,zz\n"
      "\"Unterminated\"=\"abc\n"
      "garbage line\n"
      "\"NoKeyAbove\"=\"x\"\n");
  EXPECT_EQ(hive.Find(u"SOFTWARE\\V", u"Text")->data, Utf16Data(u"gr\u00FC\u00DF"));
  for (auto name : {u"BadDword", u"TooLong", u"BadHex", u"Unterminated"}) {
    EXPECT_FALSE(hive.Find(u"SOFTWARE\\V", name)) << Utf16Data(name).size();
  }
  // Values before any key line belong to no key.
  EXPECT_FALSE(RegistryHive::Parse("\"A\"=\"b\"\n").HasKey(u""));
}

TEST(RegistryHiveTest, FindsHivesThroughTheEnvironment) {
  setenv("VARLO_MACHINE_REGISTRY", "/tmp/machine.reg", 1);
  setenv("VARLO_USER_REGISTRY", "/tmp/user.reg", 1);
  EXPECT_EQ(HivePath(RegistryRoot::LocalMachine), "/tmp/machine.reg");
  EXPECT_EQ(HivePath(RegistryRoot::CurrentUser), "/tmp/user.reg");
  unsetenv("VARLO_MACHINE_REGISTRY");
  unsetenv("VARLO_USER_REGISTRY");
  setenv("XDG_CONFIG_HOME", "/tmp/xdg", 1);
  EXPECT_EQ(HivePath(RegistryRoot::LocalMachine), "/etc/varlo/registry.reg");
  EXPECT_EQ(HivePath(RegistryRoot::CurrentUser), "/tmp/xdg/varlo/registry.reg");
  unsetenv("XDG_CONFIG_HOME");
  EXPECT_FALSE(RegistryHive::Load("/nonexistent/registry.reg"));
}

}  // namespace
}  // namespace varlo::platform
