#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "platform/registry/registry_hive.h"
#include "platform/win/windows_api.h"

namespace varlo::platform {
namespace {

// A key of this test's own below HKEY_CURRENT_USER\Software, removed with its values at the end.
class ScratchKey {
 public:
  ScratchKey() : path_(L"Software\\VarloTest-" + std::to_wstring(::GetCurrentProcessId())) {}
  ~ScratchKey() { ::RegDeleteTreeW(HKEY_CURRENT_USER, path_.c_str()); }
  ScratchKey(const ScratchKey&) = delete;
  ScratchKey& operator=(const ScratchKey&) = delete;

  bool Set(const wchar_t* name, DWORD type, const void* data, DWORD size) const {
    return ::RegSetKeyValueW(HKEY_CURRENT_USER, path_.c_str(), name, type, data, size) ==
           ERROR_SUCCESS;
  }
  std::u16string Path() const { return {path_.begin(), path_.end()}; }
  std::string Narrow() const { return win::Narrow(path_); }

 private:
  std::wstring path_;
};

// The system's registry hands the callers the very types and bytes a hive file holding the
// same values gives them, on every platform: strings raw (with their NUL, unexpanded), numbers
// little-endian, the default value under the empty name, names without regard to case.
TEST(WindowsRegistry, GivesTheTypesAndBytesOfTheHiveFile) {
  ASSERT_EQ(_putenv("VARLO_USER_REGISTRY="), 0);
  ScratchKey key;
  const std::uint32_t number = 42;
  const std::uint64_t big = 0x0807060504030201ull;
  const std::uint8_t blob[2] = {0xDE, 0xAD};
  ASSERT_TRUE(key.Set(L"Text", REG_SZ, L"caf\u00e9", 10));
  ASSERT_TRUE(key.Set(L"Number", REG_DWORD, &number, 4));
  ASSERT_TRUE(key.Set(L"Big", REG_QWORD, &big, 8));
  ASSERT_TRUE(key.Set(L"List", REG_MULTI_SZ, L"a\0bc\0", 12));
  ASSERT_TRUE(key.Set(L"Blob", REG_BINARY, blob, 2));
  ASSERT_TRUE(key.Set(L"Expand", REG_EXPAND_SZ, L"%A%", 8));
  ASSERT_TRUE(key.Set(nullptr, REG_SZ, L"default", 16));

  const RegistryHive file = RegistryHive::Parse(
      "[HKEY_CURRENT_USER\\" + key.Narrow() +
      "]\n\"Text\"=\"caf\xc3\xa9\"\n\"Number\"=dword:0000002a\n"
      "\"Big\"=hex(b):01,02,03,04,05,06,07,08\n"
      "\"List\"=hex(7):61,00,00,00,62,00,63,00,00,00,00,00\n\"Blob\"=hex:de,ad\n"
      "\"Expand\"=hex(2):25,00,41,00,25,00,00,00\n@=\"default\"\n");
  const auto system = RegistryHive::Load(HivePath(RegistryRoot::CurrentUser));
  ASSERT_TRUE(system.has_value());
  ASSERT_TRUE(system->HasKey(key.Path()));
  EXPECT_FALSE(system->HasKey(key.Path() + u"\\Missing"));
  for (std::u16string name : {u"Text", u"number", u"Big", u"List", u"Blob", u"Expand", u""}) {
    const auto expected = file.Find(key.Path(), name);
    const auto actual = system->Find(key.Path(), name);
    ASSERT_TRUE(expected && actual);
    EXPECT_EQ(actual->type, expected->type);
    EXPECT_EQ(actual->data, expected->data);
  }
  EXPECT_FALSE(system->Find(key.Path(), u"Missing").has_value());
}

}  // namespace
}  // namespace varlo::platform
