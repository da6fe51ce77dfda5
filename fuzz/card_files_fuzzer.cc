// The token application's files as a card hands them over → DesfireData.
//
// Input: the UID (8 bytes, little-endian), then files, each its number (1 byte), its length
// (2 bytes, little-endian) and its content; a last file cut short keeps the bytes there are.
#include <cstddef>
#include <cstdint>
#include <stdexcept>

#include "tokendata/desfire_data.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 8)
    return 0;
  std::uint64_t uid = 0;
  for (std::size_t i = 0; i < 8; ++i)
    uid |= std::uint64_t{data[i]} << (8 * i);
  varlo::CardFiles files;
  std::size_t at = 8;
  while (at + 3 <= size) {
    const std::uint8_t number = data[at];
    std::size_t length = data[at + 1] | (std::size_t{data[at + 2]} << 8);
    at += 3;
    if (length > size - at)
      length = size - at;
    files[number].assign(data + at, data + at + length);
    at += length;
  }
  try {
    varlo::DesfireData token(uid, files);
    if (token.initialized)
      (void)token.ToJson();
  } catch (const std::runtime_error&) {
    // a refused card is an answer; any other exception breaks the promise of desfire_data.h
  }
  return 0;
}
