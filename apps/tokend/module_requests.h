// The service's answers to a module's messages (the plaintext protocol of
// localservice/service_protocol.h), for the module of one user.
//
//   get all tokens (0, no payload): one reply with command 0, the request's task id and every
//     token record of that user in ascending UID order; no tokens: the 7-byte header alone;
//   store token (1, one token record): inserts or replaces the user's token; no reply;
//   remove token (2, UID and u32 0): deletes the user's token if there is one; no reply.
//
// A message that breaks the protocol (short or foreign header, a command a module does not
// send, a payload of the wrong shape, a document that is not a JSON object or is longer than
// kMaxTokenDocument) throws ProtocolError: the service drops that module's connection.
#ifndef VARLO_APPS_TOKEND_MODULE_REQUESTS_H_
#define VARLO_APPS_TOKEND_MODULE_REQUESTS_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>

#include "apps/tokend/token_store.h"
#include "common/secure_bytes.h"
#include "localservice/service_protocol.h"

namespace varlo::tokend {

// The longest token document the service keeps: far above any card's token, small enough that
// a module cannot make the service hold unbounded amounts of memory.
inline constexpr std::size_t kMaxTokenDocument = 1u << 20;
// The longest message a module can have a reason to send: a store request of such a document.
inline constexpr std::size_t kMaxRequest =
    service_protocol::kHeaderSize + service_protocol::kTokenRecordHeaderSize + kMaxTokenDocument;

class ProtocolError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Carries out one message of the module of `user`; the reply to send, if there is one.
std::optional<SecureBytes> HandleModuleMessage(TokenStore& store, std::uint32_t user,
                                               std::span<const std::uint8_t> message);

}  // namespace varlo::tokend

#endif  // VARLO_APPS_TOKEND_MODULE_REQUESTS_H_
