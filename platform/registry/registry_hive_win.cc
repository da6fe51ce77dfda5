#include <string>

#include "platform/registry/registry_hive.h"
#include "platform/win/windows_api.h"

namespace varlo::platform {
namespace {

constexpr std::wstring_view kCurrentUser = L"HKEY_CURRENT_USER";
constexpr std::wstring_view kLocalMachine = L"HKEY_LOCAL_MACHINE";

// An open registry key, closed when it goes out of scope; the predefined roots are not closed.
class Key {
 public:
  Key() = default;
  ~Key() {
    if (key_ != nullptr && owned_)
      ::RegCloseKey(key_);
  }
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;

  HKEY Get() const { return key_; }
  void Own(HKEY key) {
    key_ = key;
    owned_ = true;
  }
  void Borrow(HKEY key) {
    key_ = key;
    owned_ = false;
  }

 private:
  HKEY key_ = nullptr;
  bool owned_ = false;
};

// The root key: HKEY_CURRENT_USER of the calling thread's user (RegOpenCurrentUser, so that a
// thread acting for another user reads that user's settings), or HKEY_LOCAL_MACHINE.
bool OpenRoot(RegistryRoot root, Key& key) {
  if (root == RegistryRoot::LocalMachine) {
    key.Borrow(HKEY_LOCAL_MACHINE);
    return true;
  }
  HKEY user = nullptr;
  if (::RegOpenCurrentUser(KEY_READ, &user) != ERROR_SUCCESS)
    return false;
  key.Own(user);
  return true;
}

bool OpenKey(RegistryRoot root, std::u16string_view keyPath, Key& key) {
  Key rootKey;
  if (!OpenRoot(root, rootKey))
    return false;
  HKEY opened = nullptr;
  if (::RegOpenKeyExW(rootKey.Get(), win::Widen(keyPath).c_str(), 0, KEY_READ, &opened) !=
      ERROR_SUCCESS) {
    return false;
  }
  key.Own(opened);
  return true;
}

std::optional<std::string> HiveFileFromEnvironment(const wchar_t* name) {
  const std::wstring value = win::EnvironmentW(name);
  if (value.empty())
    return std::nullopt;
  return win::Narrow(value);
}

}  // namespace

std::optional<RegistryHive> RegistryHive::Load(const std::filesystem::path& path) {
  const std::wstring& name = path.native();
  if (name == kCurrentUser || name == kLocalMachine) {
    RegistryHive hive;
    hive.system_ = name == kCurrentUser ? RegistryRoot::CurrentUser : RegistryRoot::LocalMachine;
    return hive;
  }
  return LoadFile(path);
}

bool RegistryHive::HasKeyInSystem(RegistryRoot root, std::u16string_view keyPath) {
  Key key;
  return OpenKey(root, keyPath, key);
}

std::optional<RegistryValue> RegistryHive::FindInSystem(RegistryRoot root,
                                                        std::u16string_view keyPath,
                                                        std::u16string_view name) {
  Key key;
  if (!OpenKey(root, keyPath, key))
    return std::nullopt;
  const std::wstring valueName = win::Widen(name);
  // The raw data and type, strings unexpanded: the same the hive files give.
  const DWORD flags = RRF_RT_ANY | RRF_NOEXPAND;
  DWORD type = REG_NONE;
  DWORD size = 0;
  LSTATUS status =
      ::RegGetValueW(key.Get(), nullptr, valueName.c_str(), flags, &type, nullptr, &size);
  // The value may grow between the two calls: ask again with the size then reported.
  for (int attempt = 0; attempt < 4 && status == ERROR_SUCCESS; ++attempt) {
    RegistryValue value;
    value.data.resize(size);
    status = ::RegGetValueW(key.Get(), nullptr, valueName.c_str(), flags, &type,
                            value.data.empty() ? nullptr : value.data.data(), &size);
    if (status == ERROR_SUCCESS) {
      value.data.resize(size);
      value.type = static_cast<RegistryType>(type);
      return value;
    }
    if (status == ERROR_MORE_DATA)
      status = ERROR_SUCCESS;
  }
  return std::nullopt;
}

std::filesystem::path HivePath(RegistryRoot root) {
  if (root == RegistryRoot::LocalMachine) {
    if (auto file = HiveFileFromEnvironment(L"VARLO_MACHINE_REGISTRY"))
      return std::filesystem::path(win::Widen(*file));
    return std::filesystem::path(std::wstring(kLocalMachine));
  }
  if (auto file = HiveFileFromEnvironment(L"VARLO_USER_REGISTRY"))
    return std::filesystem::path(win::Widen(*file));
  return std::filesystem::path(std::wstring(kCurrentUser));
}

}  // namespace varlo::platform
