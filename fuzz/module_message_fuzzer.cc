// A module's message as the service reads it, carried out against a store in memory. The
// input is a series of messages, each its length (2 bytes, little-endian) and its bytes, so that
// a store can be followed by a get-all or a remove.
#include <cstddef>
#include <cstdint>
#include <span>

#include "apps/tokend/module_requests.h"
#include "apps/tokend/token_store.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  varlo::tokend::TokenStore store(":memory:");
  std::size_t at = 0;
  while (at + 2 <= size) {
    std::size_t length = data[at] | (std::size_t{data[at + 1]} << 8);
    at += 2;
    if (length > size - at)
      length = size - at;
    try {
      (void)varlo::tokend::HandleModuleMessage(store, 1000,
                                               std::span<const std::uint8_t>(data + at, length));
    } catch (const varlo::tokend::ProtocolError&) {
      // the service drops the module's connection; the store stays usable
    }
    at += length;
  }
  return 0;
}
