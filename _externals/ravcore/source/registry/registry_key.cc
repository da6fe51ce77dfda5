#include "_externals/ravcore/source/registry/registry_key.h"

#include <cstring>

namespace ravcore {

using varlo::platform::RegistryHive;
using varlo::platform::RegistryType;

namespace {

std::u16string Utf16FromData(const std::vector<std::uint8_t>& data, std::size_t begin,
                             std::size_t end) {
  std::u16string text;
  for (std::size_t i = begin; i + 1 < end; i += 2) {
    text.push_back(static_cast<char16_t>(data[i] | data[i + 1] << 8));
  }
  return text;
}

}  // namespace

// `extraAccess` only matters on Windows (see the header), so it is not kept here.
RegistryKey::RegistryKey(Root root, std::u16string subKey, std::uint32_t /*extraAccess*/)
    : root_(root), subKey_(std::move(subKey)) {}

RegistryResult RegistryKey::Read(std::u16string_view name, RegistryType type,
                                 std::vector<std::uint8_t>& data) const {
  auto hive = RegistryHive::Load(varlo::platform::HivePath(root_));
  if (!hive || !hive->HasKey(subKey_))
    return RegistryResult::KeyNotFound;
  auto value = hive->Find(subKey_, name);
  if (!value)
    return RegistryResult::ValueNotFound;
  if (value->type != type)
    return RegistryResult::WrongType;
  data = std::move(value->data);
  return RegistryResult::Ok;
}

RegistryResult RegistryKey::GetValue(std::u16string_view name, std::u16string& value) const {
  std::vector<std::uint8_t> data;
  RegistryResult result = Read(name, RegistryType::Sz, data);
  if (result != RegistryResult::Ok)
    return result;
  // The string ends at its first NUL character, wherever the stored data ends.
  std::u16string text = Utf16FromData(data, 0, data.size());
  value = text.substr(0, text.find(u'\0'));
  return RegistryResult::Ok;
}

RegistryResult RegistryKey::GetValue(std::u16string_view name,
                                     std::vector<std::u16string>& value) const {
  std::vector<std::uint8_t> data;
  RegistryResult result = Read(name, RegistryType::MultiSz, data);
  if (result != RegistryResult::Ok)
    return result;
  value.clear();
  std::u16string all = Utf16FromData(data, 0, data.size());
  std::size_t start = 0;
  while (start < all.size()) {
    std::size_t end = all.find(u'\0', start);
    if (end == std::u16string::npos)
      end = all.size();
    if (end == start)
      break;  // the empty string closes the list
    value.push_back(all.substr(start, end - start));
    start = end + 1;
  }
  return RegistryResult::Ok;
}

RegistryResult RegistryKey::GetValue(std::u16string_view name, std::uint32_t& value) const {
  std::vector<std::uint8_t> data;
  RegistryResult result = Read(name, RegistryType::Dword, data);
  if (result != RegistryResult::Ok)
    return result;
  if (data.size() != sizeof value)
    return RegistryResult::WrongType;
  value = static_cast<std::uint32_t>(data[0] | data[1] << 8 | data[2] << 16) |
          static_cast<std::uint32_t>(data[3]) << 24;
  return RegistryResult::Ok;
}

RegistryResult RegistryKey::GetValue(std::u16string_view name, std::uint64_t& value) const {
  std::vector<std::uint8_t> data;
  RegistryResult result = Read(name, RegistryType::Qword, data);
  if (result != RegistryResult::Ok)
    return result;
  if (data.size() != sizeof value)
    return RegistryResult::WrongType;
  value = 0;
  for (std::size_t i = 0; i < 8; ++i)
    value |= static_cast<std::uint64_t>(data[i]) << (8 * i);
  return RegistryResult::Ok;
}

RegistryResult RegistryKey::GetValue(std::u16string_view name,
                                     std::vector<std::uint8_t>& value) const {
  return Read(name, RegistryType::Binary, value);
}

}  // namespace ravcore
