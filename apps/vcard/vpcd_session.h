// vpcd's wire protocol, card side. Every message either way is a 2-byte big-endian length and a
// payload. From the reader driver, a 1-byte payload 0x00, 0x01, 0x02 or 0x04 is a control code
// (power off, power on, reset, "send your ATR"); every other payload is a command APDU (native
// DESFire commands are often one byte long, e.g. 0x60). APDUs and the ATR request are answered
// with one message; the power codes get no answer. Closing the connection removes the card.
#ifndef VARLO_APPS_VCARD_VPCD_SESSION_H_
#define VARLO_APPS_VCARD_VPCD_SESSION_H_

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "platform/net/tcp_connection.h"

namespace varlo::vcard {

enum class VpcdMessage { kPowerOff, kPowerOn, kReset, kAtrRequest, kApdu };

VpcdMessage ClassifyVpcdMessage(std::span<const std::uint8_t> payload);

// Answers one message from the reader: the payload to send back, or nullopt for none.
using VpcdHandler = std::function<std::optional<std::vector<std::uint8_t>>(
    VpcdMessage kind, std::span<const std::uint8_t> payload)>;

// Serves the connection until it ends (the driver went away, or the connection was shut down).
void ServeVpcd(platform::TcpConnection& connection, const VpcdHandler& handler);

}  // namespace varlo::vcard

#endif  // VARLO_APPS_VCARD_VPCD_SESSION_H_
