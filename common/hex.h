// Hexadecimal text for byte strings: used by the tools, the tests and log lines.
#ifndef VARLO_COMMON_HEX_H_
#define VARLO_COMMON_HEX_H_

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace varlo {

// Lower-case hex digits, two per byte, no separators.
inline std::string ToHex(std::span<const std::uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(bytes.size() * 2);
  for (std::uint8_t b : bytes) {
    text.push_back(kDigits[b >> 4]);
    text.push_back(kDigits[b & 0x0F]);
  }
  return text;
}

// Parses hex digits (either case, no separators). nullopt for an odd length or a non-hex digit.
inline std::optional<std::vector<std::uint8_t>> FromHex(std::string_view text) {
  auto nibble = [](char c) -> int {
    if (c >= '0' && c <= '9')
      return c - '0';
    if (c >= 'a' && c <= 'f')
      return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
      return c - 'A' + 10;
    return -1;
  };
  if (text.size() % 2 != 0)
    return std::nullopt;
  std::vector<std::uint8_t> bytes;
  bytes.reserve(text.size() / 2);
  for (std::size_t i = 0; i < text.size(); i += 2) {
    int hi = nibble(text[i]);
    int lo = nibble(text[i + 1]);
    if (hi < 0 || lo < 0)
      return std::nullopt;
    bytes.push_back(static_cast<std::uint8_t>(hi << 4 | lo));
  }
  return bytes;
}

}  // namespace varlo

#endif  // VARLO_COMMON_HEX_H_
