#include "platform/registry/registry_hive.h"

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>

#include "common/utf.h"

namespace varlo::platform {
namespace {

char16_t AsciiUpper(char16_t c) {
  return c >= u'a' && c <= u'z' ? c - u'a' + u'A' : c;
}

std::u16string NormalizedKey(std::u16string_view path) {
  std::u16string key;
  key.reserve(path.size());
  for (char16_t c : path)
    key.push_back(AsciiUpper(c));
  while (!key.empty() && key.back() == u'\\')
    key.pop_back();
  return key;
}

std::u16string NormalizedName(std::u16string_view name) {
  std::u16string upper;
  for (char16_t c : name)
    upper.push_back(AsciiUpper(c));
  return upper;
}

// The whole file as UTF-16 text, whichever encoding it is stored in.
std::u16string DecodeText(std::string_view bytes) {
  if (bytes.size() >= 2 && static_cast<std::uint8_t>(bytes[0]) == 0xFF &&
      static_cast<std::uint8_t>(bytes[1]) == 0xFE) {
    std::u16string text;
    text.reserve(bytes.size() / 2);
    for (std::size_t i = 2; i + 1 < bytes.size(); i += 2) {
      text.push_back(static_cast<char16_t>(static_cast<std::uint8_t>(bytes[i]) |
                                           static_cast<std::uint8_t>(bytes[i + 1]) << 8));
    }
    return text;
  }
  if (bytes.size() >= 3 && bytes.substr(0, 3) == "\xEF\xBB\xBF")
    bytes.remove_prefix(3);
  return Utf8ToUtf16(bytes);
}

// Logical lines: CR dropped, lines ending in a backslash (continued hex lists) joined.
std::vector<std::u16string> LogicalLines(const std::u16string& text) {
  std::vector<std::u16string> lines;
  std::u16string current;
  bool continued = false;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find(u'\n', start);
    if (end == std::u16string::npos)
      end = text.size();
    std::u16string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == u'\r')
      line.pop_back();
    if (continued) {
      std::size_t first = line.find_first_not_of(u" \t");
      line = first == std::u16string::npos ? u"" : line.substr(first);
    }
    current += line;
    continued = !current.empty() && current.back() == u'\\' &&
                current.find(u'=') != std::u16string::npos && current.front() != u'[';
    if (continued) {
      current.pop_back();
    } else {
      lines.push_back(std::move(current));
      current.clear();
    }
    start = end + 1;
  }
  if (!current.empty())
    lines.push_back(std::move(current));
  return lines;
}

// Reads a quoted string starting at text[pos] == '"'; handles \\ and \" escapes. Returns the
// position after the closing quote, or npos when there is none.
std::size_t ReadQuoted(const std::u16string& text, std::size_t pos, std::u16string& out) {
  out.clear();
  for (std::size_t i = pos + 1; i < text.size(); ++i) {
    if (text[i] == u'\\' && i + 1 < text.size()) {
      out.push_back(text[++i]);
    } else if (text[i] == u'"') {
      return i + 1;
    } else {
      out.push_back(text[i]);
    }
  }
  return std::u16string::npos;
}

std::optional<std::vector<std::uint8_t>> ParseHexList(std::u16string_view list) {
  std::vector<std::uint8_t> bytes;
  int value = 0;
  int digits = 0;
  auto flush = [&]() -> bool {
    if (digits == 0)
      return true;
    if (digits > 2)
      return false;
    bytes.push_back(static_cast<std::uint8_t>(value));
    value = digits = 0;
    return true;
  };
  for (char16_t c : list) {
    int nibble = -1;
    if (c >= u'0' && c <= u'9')
      nibble = c - u'0';
    if (c >= u'a' && c <= u'f')
      nibble = c - u'a' + 10;
    if (c >= u'A' && c <= u'F')
      nibble = c - u'A' + 10;
    if (nibble >= 0) {
      value = value << 4 | nibble;
      ++digits;
    } else if (c == u',') {
      if (!flush())
        return std::nullopt;
    } else if (c != u' ' && c != u'\t') {
      return std::nullopt;
    }
  }
  if (!flush())
    return std::nullopt;
  return bytes;
}

std::vector<std::uint8_t> StringData(const std::u16string& text) {
  std::vector<std::uint8_t> data;
  for (char16_t c : text) {
    data.push_back(static_cast<std::uint8_t>(c & 0xFF));
    data.push_back(static_cast<std::uint8_t>(c >> 8));
  }
  data.push_back(0);
  data.push_back(0);
  return data;
}

// The data part of a value line (what follows "="); nullopt for deletions and malformed data.
std::optional<RegistryValue> ParseData(const std::u16string& line, std::size_t pos) {
  std::u16string_view rest(line);
  rest.remove_prefix(pos);
  if (rest.starts_with(u"\"")) {
    std::u16string text;
    if (ReadQuoted(line, pos, text) == std::u16string::npos)
      return std::nullopt;
    return RegistryValue{RegistryType::Sz, StringData(text)};
  }
  if (rest.starts_with(u"dword:")) {
    rest.remove_prefix(6);
    if (rest.empty() || rest.size() > 8)
      return std::nullopt;
    std::uint32_t v = 0;
    for (char16_t c : rest) {
      int nibble = c >= u'0' && c <= u'9'   ? c - u'0'
                   : c >= u'a' && c <= u'f' ? c - u'a' + 10
                   : c >= u'A' && c <= u'F' ? c - u'A' + 10
                                            : -1;
      if (nibble < 0)
        return std::nullopt;
      v = v << 4 | static_cast<std::uint32_t>(nibble);
    }
    return RegistryValue{RegistryType::Dword,
                         {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
                          static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)}};
  }
  RegistryType type = RegistryType::Binary;
  if (rest.starts_with(u"hex(")) {
    std::size_t close = rest.find(u"):");
    if (close == std::u16string_view::npos)
      return std::nullopt;
    std::string number = Utf16ToUtf8(rest.substr(4, close - 4));
    char* end = nullptr;
    unsigned long code = std::strtoul(number.c_str(), &end, 16);
    if (number.empty() || *end != '\0')
      return std::nullopt;
    type = static_cast<RegistryType>(code);
    rest.remove_prefix(close + 2);
  } else if (rest.starts_with(u"hex:")) {
    rest.remove_prefix(4);
  } else {
    return std::nullopt;  // "-" (a deletion) or something unknown
  }
  auto bytes = ParseHexList(rest);
  if (!bytes)
    return std::nullopt;
  return RegistryValue{type, std::move(*bytes)};
}

}  // namespace

RegistryHive RegistryHive::Parse(std::string_view bytes) {
  RegistryHive hive;
  Values* current = nullptr;
  for (const std::u16string& line : LogicalLines(DecodeText(bytes))) {
    if (line.empty() || line.front() == u';')
      continue;
    if (line.front() == u'[') {
      current = nullptr;
      std::size_t close = line.rfind(u']');
      if (close == std::u16string::npos || line.size() < 2 || line[1] == u'-')
        continue;
      std::u16string_view path(line);
      path = path.substr(1, close - 1);
      std::size_t slash = path.find(u'\\');
      // The root names the hive; the key is what lies below it.
      std::u16string key =
          slash == std::u16string_view::npos ? u"" : NormalizedKey(path.substr(slash + 1));
      current = &hive.keys_[key];
      continue;
    }
    if (current == nullptr)
      continue;
    std::u16string name;
    std::size_t pos = 0;
    if (line.front() == u'@') {
      pos = 1;
    } else if (line.front() == u'"') {
      pos = ReadQuoted(line, 0, name);
      if (pos == std::u16string::npos)
        continue;
    } else {
      continue;
    }
    if (pos >= line.size() || line[pos] != u'=')
      continue;
    if (auto value = ParseData(line, pos + 1)) {
      (*current)[NormalizedName(name)] = std::move(*value);
    }
  }
  return hive;
}

std::optional<RegistryHive> RegistryHive::LoadFile(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file)
    return std::nullopt;
  std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  if (file.bad())
    return std::nullopt;
  return Parse(bytes);
}

std::optional<RegistryValue> RegistryHive::Find(std::u16string_view keyPath,
                                                std::u16string_view name) const {
  if (system_)
    return FindInSystem(*system_, keyPath, name);
  auto key = keys_.find(NormalizedKey(keyPath));
  if (key == keys_.end())
    return std::nullopt;
  auto value = key->second.find(NormalizedName(name));
  if (value == key->second.end())
    return std::nullopt;
  return value->second;
}

bool RegistryHive::HasKey(std::u16string_view keyPath) const {
  if (system_)
    return HasKeyInSystem(*system_, keyPath);
  return keys_.contains(NormalizedKey(keyPath));
}

}  // namespace varlo::platform
