// Reads the packed item block ("SR" … "BW") a module hands out for a token's capabilities into
// a tree a host can show.
#ifndef VARLO_MODULEHOST_ITEM_BLOCK_H_
#define VARLO_MODULEHOST_ITEM_BLOCK_H_

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace varlo::host {

// Type codes of the items on the wire.
constexpr std::uint8_t kItemText = 1;
constexpr std::uint8_t kItemBytes = 5;
constexpr std::uint8_t kItemVector = 6;
constexpr std::uint8_t kItemBoolean = 7;

struct Item {
  std::uint8_t type = 0;
  std::string name;
  std::string text;
  std::vector<std::uint8_t> bytes;
  bool boolean = false;
  std::vector<Item> children;
};

// The block's root item; nullopt when the block is malformed or its CRC-32 does not match.
std::optional<Item> ReadItemBlock(std::span<const std::uint8_t> block);

// {"name", "type": "text"|"bytes"|"vector"|"boolean", "value"}: bytes as hex with a "text" member
// when they are printable UTF-8, a vector's value the array of its children. Malformed UTF-8 in
// a name or a text is shown as U+FFFD, so that the document can always be written out.
nlohmann::json ToJson(const Item& item);

// The bytes as text when they are UTF-8 without control characters.
std::optional<std::string> PrintableText(std::span<const std::uint8_t> bytes);

}  // namespace varlo::host

#endif  // VARLO_MODULEHOST_ITEM_BLOCK_H_
