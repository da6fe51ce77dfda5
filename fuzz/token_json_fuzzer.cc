// A token's JSON document, as the service hands it back → DesfireData, and out again.
#include <cstddef>
#include <cstdint>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "tokendata/desfire_data.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const nlohmann::json document = nlohmann::json::parse(data, data + size, nullptr, false);
  if (document.is_discarded())
    return 0;
  try {
    varlo::DesfireData token(document);
    (void)token.ToJson();
  } catch (const std::runtime_error&) {
    // a refused document is an answer; any other exception breaks the promise of desfire_data.h
  }
  return 0;
}
