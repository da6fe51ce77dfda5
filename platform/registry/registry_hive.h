// The registry: on Windows the system's own; elsewhere `.reg` text files in the Windows export
// format, which Windows can read too when a hive file is named in the environment.
//
// A hive file holds keys ("[HKEY_LOCAL_MACHINE\SOFTWARE\Vendor]") and their values
// ("Name"="text", "Name"=dword:0000000a, hex:, hex(2):, hex(7):, hex(b):). The machine hive is
// /etc/varlo/registry.reg (or $VARLO_MACHINE_REGISTRY); the user hive is
// ${XDG_CONFIG_HOME:-$HOME/.config}/varlo/registry.reg (or $VARLO_USER_REGISTRY). On Windows,
// without those variables, the hive of a root is the system's registry itself (HKEY_CURRENT_USER
// of the calling user, HKEY_LOCAL_MACHINE), read afresh at each lookup. Files
// exported by regedit are UTF-16LE with a byte-order mark and CRLF line ends; hand-written ones
// are UTF-8 with LF. Both are read.
//
// Key paths are matched without regard to ASCII case, as the registry does; the root of each
// key ("HKEY_LOCAL_MACHINE", "HKEY_CURRENT_USER", ...) is dropped, since each hive file stands
// for one root. Values keep their raw bytes and type, so a caller asking for a string can tell a
// value of another type apart, exactly as RegGetValue does.
#ifndef VARLO_PLATFORM_REGISTRY_REGISTRY_HIVE_H_
#define VARLO_PLATFORM_REGISTRY_REGISTRY_HIVE_H_

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace varlo::platform {

enum class RegistryRoot { CurrentUser, LocalMachine };

// Registry value types, numbered as Windows numbers them.
enum class RegistryType : std::uint32_t {
  None = 0,
  Sz = 1,
  ExpandSz = 2,
  Binary = 3,
  Dword = 4,
  MultiSz = 7,
  Qword = 11,
};

struct RegistryValue {
  RegistryType type = RegistryType::None;
  // The value's data as the registry stores it: strings are UTF-16LE with their terminating
  // NUL, numbers little-endian.
  std::vector<std::uint8_t> data;
};

class RegistryHive {
 public:
  // Parses hive text (UTF-8, or UTF-16LE with a byte-order mark). Lines it cannot understand
  // are skipped, as a partial import would skip them.
  static RegistryHive Parse(std::string_view bytes);
  // Reads and parses a hive file; nullopt when it cannot be read.
  static std::optional<RegistryHive> Load(const std::filesystem::path& path);
  // Reads and parses a hive file; nullopt when it cannot be read.
  static std::optional<RegistryHive> LoadFile(const std::filesystem::path& path);

  // The value `name` of the key `keyPath` (below the root, e.g. u"SOFTWARE\\Vendor"); nullopt
  // when the key or the value is missing. The empty name is the key's default value ("@").
  std::optional<RegistryValue> Find(std::u16string_view keyPath, std::u16string_view name) const;
  bool HasKey(std::u16string_view keyPath) const;

 private:
  using Values = std::map<std::u16string, RegistryValue>;
  // Lookups in the system's registry, for a hive that stands for it (Windows only).
  static std::optional<RegistryValue> FindInSystem(RegistryRoot root, std::u16string_view keyPath,
                                                   std::u16string_view name);
  static bool HasKeyInSystem(RegistryRoot root, std::u16string_view keyPath);

  // Keyed by the upper-cased key path below the root.
  std::map<std::u16string, Values> keys_;
  std::optional<RegistryRoot> system_;  // set: lookups go to the system's registry
};

// Where the hive of `root` lives on this machine (environment overrides included); on Windows
// without an override, the root's name ("HKEY_CURRENT_USER"), which Load reads as the system's.
std::filesystem::path HivePath(RegistryRoot root);

}  // namespace varlo::platform

#endif  // VARLO_PLATFORM_REGISTRY_REGISTRY_HIVE_H_
