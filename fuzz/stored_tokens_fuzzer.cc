// The service's reply to "get all tokens" as the module reads it: the header, the token
// records, each record's JSON document → DesfireData.
#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "localservice/service_protocol.h"
#include "tokendata/desfire_data.h"

namespace protocol = varlo::service_protocol;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> message(data, size);
  if (!protocol::ReadHeader(message))
    return 0;
  const auto records = protocol::ReadTokenRecords(message.subspan(protocol::kHeaderSize));
  if (!records)
    return 0;
  for (const auto& record : *records) {
    const nlohmann::json document = nlohmann::json::parse(record.json, nullptr, false);
    if (document.is_discarded())
      continue;
    try {
      varlo::DesfireData token(document);
    } catch (const std::runtime_error&) {
      // a refused token is an answer; any other exception breaks the promise of desfire_data.h
    }
  }
  return 0;
}
