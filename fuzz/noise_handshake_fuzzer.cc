// The Noise handshake of the service link (NoiseWrapper's protocol and the pre-shared key both
// ends derive), one side the real handshake state with fixed keys, the other side the input.
//
// Input: a role byte (even: this side is the responder, as the module is; odd: the initiator,
// as the service is), then the peer's messages, each its length (2 bytes, little-endian) and
// its bytes; a last message cut short keeps the bytes there are. The handshake takes the peer's
// messages in turn, this side's own messages are written as NoiseWrapper writes them (empty
// payloads). Once the handshake has completed, every further message is a transport message
// from the peer, read with the receiving cipher state.
//
// The Noise framework fails with C strings only (noise/protocol.h): any other exception, a
// crash or a leak is a fault.
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "common/secure_bytes.h"
#include "localservice/service_protocol.h"
#include "noise/curve25519.h"
#include "noise/handshake_state.h"
#include "noise/protocol.h"
#include "ravcore/network/mbc/noise_wrapper.h"

namespace {

using varlo::SecureBytes;
using varlo::noise::Curve25519;
using varlo::noise::KeyPair;
using varlo::noise::Protocol;

// Keys of this side, fixed so that a recorded transcript keeps working.
constexpr std::array<std::uint8_t, 32> kStaticKey = {
    0x58, 0x21, 0x6e, 0x0c, 0x93, 0x4a, 0x17, 0xd2, 0x3b, 0x80, 0xf5, 0x66, 0x2e, 0xa9, 0x41, 0x7c,
    0x05, 0xbd, 0x72, 0x19, 0xe8, 0x34, 0x9f, 0x50, 0xc6, 0x0a, 0x8d, 0x63, 0xf1, 0x2c, 0xb7, 0x48};
constexpr std::array<std::uint8_t, 32> kEphemeralKey = {
    0x90, 0x4d, 0x1a, 0xe7, 0x32, 0x6b, 0xc8, 0x05, 0x7f, 0xa3, 0x5e, 0x11, 0xd9, 0x84, 0x2b, 0x60,
    0xf6, 0x3d, 0x98, 0x47, 0x0e, 0xb2, 0x69, 0xc4, 0x15, 0x7a, 0xe3, 0x2f, 0x8c, 0x51, 0xa6, 0x38};

// Curve25519 whose ephemeral key pairs are always the fixed one.
class FixedEphemeralDh : public Curve25519 {
 public:
  using Curve25519::GenerateKeyPair;
  std::shared_ptr<KeyPair> GenerateKeyPair() override { return GenerateKeyPair(kEphemeralKey); }
};

struct Link {
  std::shared_ptr<Protocol> protocol =
      Protocol::Parse(ravcore::network::mbc::NoiseWrapper::kProtocolName);
  // PBKDF2 with 10,000 rounds: derived once, not for every input.
  std::vector<SecureBytes> psks{varlo::service_protocol::DerivePreSharedKey()};
  std::shared_ptr<FixedEphemeralDh> dh = std::make_shared<FixedEphemeralDh>();
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const Link link;
  if (size < 1)
    return 0;
  const bool initiator = (data[0] & 1) != 0;
  std::vector<std::span<const std::uint8_t>> messages;
  for (std::size_t at = 1; at + 2 <= size;) {
    std::size_t length = data[at] | (std::size_t{data[at + 1]} << 8);
    at += 2;
    if (length > size - at)
      length = size - at;
    messages.emplace_back(data + at, length);
    at += length;
  }

  // The buffers NoiseWrapper uses: one largest message each way.
  SecureBytes sendBuffer(Protocol::MaxMessageLength);
  SecureBytes receiveBuffer(Protocol::MaxMessageLength);
  try {
    auto state = link.protocol->Create(initiator, {}, kStaticKey, {}, link.psks);
    state->SetDh(link.dh);
    std::shared_ptr<varlo::noise::TransportInterface> transport;
    std::size_t next = 0;
    auto readPeers = [&] {
      if (next == messages.size())
        return false;
      transport = state->ReadMessage(messages[next++], receiveBuffer).transport;
      return true;
    };
    if (initiator) {
      state->WriteMessage({}, sendBuffer);
      if (!readPeers())
        return 0;
    } else {
      if (!readPeers())
        return 0;
      transport = state->WriteMessage({}, sendBuffer).transport;
    }
    if (!transport)
      __builtin_trap();  // the two-message pattern must be complete here
    // A transport message that fails leaves the cipher state as it was: the next one is read
    // with the same nonce.
    for (; next < messages.size(); ++next) {
      try {
        transport->ReadMessage(messages[next], receiveBuffer);
      } catch (const char*) {
      }
    }
  } catch (const char*) {
    // a refused handshake; NoiseWrapper turns the text into a NetworkException
  }
  return 0;
}
