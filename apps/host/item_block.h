// Reads the packed item block ("SR" … "BW") a module hands out for a token's capabilities into
// a tree a host can show.
#ifndef VARLO_APPS_HOST_ITEM_BLOCK_H_
#define VARLO_APPS_HOST_ITEM_BLOCK_H_

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace varlo::host {

struct Item {
  std::uint8_t type = 0;  // 1 text, 5 bytes, 6 vector, 7 boolean
  std::string name;
  std::string text;
  std::vector<std::uint8_t> bytes;
  bool boolean = false;
  std::vector<Item> children;
};

// The block's root item; nullopt when the block is malformed or its CRC-32 does not match.
std::optional<Item> ReadItemBlock(std::span<const std::uint8_t> block);

// One line per item, children indented by two blanks: "name: value".
std::string Describe(const Item& item, int depth = 0);

}  // namespace varlo::host

#endif  // VARLO_APPS_HOST_ITEM_BLOCK_H_
