#include "apps/tokend/module_requests.h"

#include <nlohmann/json.hpp>

#include <string>

namespace varlo::tokend {
namespace {

namespace protocol = service_protocol;

SecureBytes AllTokens(TokenStore& store, std::uint32_t user, std::uint32_t taskId) {
  const std::vector<StoredToken> tokens = store.TokensOf(user);
  std::size_t size = protocol::kHeaderSize;
  for (const StoredToken& token : tokens)
    size += protocol::kTokenRecordHeaderSize + token.document.size();
  SecureBytes reply = protocol::BuildMessage(taskId, protocol::Command::GetAllTokens);
  reply.reserve(size);
  for (const StoredToken& token : tokens) {
    protocol::AppendTokenRecord(
        reply, token.uid,
        {reinterpret_cast<const char*>(token.document.data()), token.document.size()});
  }
  return reply;
}

void StoreToken(TokenStore& store, std::uint32_t user, std::span<const std::uint8_t> payload) {
  const auto records = protocol::ReadTokenRecords(payload);
  if (!records || records->size() != 1)
    throw ProtocolError("store request without exactly one whole token record");
  const protocol::TokenRecord& record = records->front();
  if (record.json.size() > kMaxTokenDocument) {
    throw ProtocolError("token document of " + std::to_string(record.json.size()) +
                        " bytes; at most " + std::to_string(kMaxTokenDocument));
  }
  // The module reads every stored document back as a JSON object and gives up the whole list
  // on one that is not: refuse it here rather than keep it.
  const auto document = nlohmann::json::parse(record.json, nullptr, false);
  if (!document.is_object())
    throw ProtocolError("token document is not a JSON object");
  store.Put(user, record.uid,
            {reinterpret_cast<const std::uint8_t*>(record.json.data()), record.json.size()});
}

}  // namespace

std::optional<SecureBytes> HandleModuleMessage(TokenStore& store, std::uint32_t user,
                                               std::span<const std::uint8_t> message) {
  const auto header = protocol::ReadHeader(message);
  if (!header)
    throw ProtocolError("message of " + std::to_string(message.size()) + " bytes has no header");
  if (header->version != protocol::kProtocolVersion ||
      header->module != protocol::kModuleIdentifier) {
    throw ProtocolError("unknown protocol version " + std::to_string(header->version) +
                        " or module " + std::to_string(header->module));
  }
  const auto payload = message.subspan(protocol::kHeaderSize);
  switch (static_cast<protocol::Command>(header->command)) {
    case protocol::Command::GetAllTokens:
      if (!payload.empty())
        throw ProtocolError("get-all request with a payload");
      return AllTokens(store, user, header->taskId);
    case protocol::Command::StoreToken:
      StoreToken(store, user, payload);
      return std::nullopt;
    case protocol::Command::RemoveToken: {
      const auto uid = protocol::ReadRemovePayload(payload);
      if (!uid)
        throw ProtocolError("remove request without a 12-byte payload");
      store.Remove(user, *uid);
      return std::nullopt;
    }
    default:
      throw ProtocolError("command " + std::to_string(header->command) +
                          " is no request of a module");
  }
}

}  // namespace varlo::tokend
