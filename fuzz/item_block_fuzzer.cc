// A module's packed item block as the host reads it, and the tree shown as JSON.
//
// An input that starts with "SR" is taken as a whole block. Any other input is taken as the
// items alone and framed here ("SR", length, items, CRC-32, "BW"), since a random block almost
// never carries the right CRC and the item reader would stay out of reach.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "items/crc32.h"
#include "modulehost/item_block.h"

namespace {

void AppendU32(std::vector<std::uint8_t>& out, std::uint32_t value) {
  for (int i = 0; i < 4; ++i)
    out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> input(data, size);
  std::vector<std::uint8_t> framed;
  if (size < 2 || data[0] != 'S' || data[1] != 'R') {
    framed = {'S', 'R'};
    AppendU32(framed, static_cast<std::uint32_t>(size));
    framed.insert(framed.end(), input.begin(), input.end());
    AppendU32(framed, varlo::Crc32(input));
    framed.insert(framed.end(), {'B', 'W'});
  }
  const auto root = varlo::host::ReadItemBlock(framed.empty() ? input : framed);
  if (root)
    (void)varlo::host::ToJson(*root).dump();
  return 0;
}
