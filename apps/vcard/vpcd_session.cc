#include "apps/vcard/vpcd_session.h"

namespace varlo::vcard {

VpcdMessage ClassifyVpcdMessage(std::span<const std::uint8_t> payload) {
  if (payload.size() == 1) {
    switch (payload[0]) {
      case 0x00:
        return VpcdMessage::kPowerOff;
      case 0x01:
        return VpcdMessage::kPowerOn;
      case 0x02:
        return VpcdMessage::kReset;
      case 0x04:
        return VpcdMessage::kAtrRequest;
      default:
        break;
    }
  }
  return VpcdMessage::kApdu;
}

void ServeVpcd(platform::TcpConnection& connection, const VpcdHandler& handler) {
  std::vector<std::uint8_t> payload;
  for (;;) {
    std::uint8_t header[2];
    if (!connection.ReadExact(header))
      return;
    payload.resize(static_cast<std::size_t>(header[0]) << 8 | header[1]);
    if (!connection.ReadExact(payload))
      return;
    auto reply = handler(ClassifyVpcdMessage(payload), payload);
    if (!reply)
      continue;
    if (reply->size() > 0xFFFF)
      return;
    std::vector<std::uint8_t> message{static_cast<std::uint8_t>(reply->size() >> 8),
                                      static_cast<std::uint8_t>(reply->size() & 0xFF)};
    message.insert(message.end(), reply->begin(), reply->end());
    if (!connection.WriteAll(message))
      return;
  }
}

}  // namespace varlo::vcard
