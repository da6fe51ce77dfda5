// A DESFire card in memory for the card subsystem's tests: GetVersion, select application,
// legacy 2K3DES authentication, get file ids and read data, in native or wrapped framing. The
// card's side of the authentication is computed here with Crypto++'s block ciphers directly,
// independently of the module's authenticators.
#ifndef VARLO_CARD_TESTING_SIMULATED_DESFIRE_H_
#define VARLO_CARD_TESTING_SIMULATED_DESFIRE_H_

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <vector>

namespace varlo::testing {

using Bytes = std::vector<std::uint8_t>;

class SimulatedDesfire {
 public:
  std::array<std::uint8_t, 7> uid = {0x04, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66};
  std::array<std::uint8_t, 16> appKey{};
  bool hasApplication = true;
  std::map<std::uint8_t, Bytes> files;
  // Answers 67 00 to every native frame, as a card behind an ISO-only reader does.
  bool requireWrapped = false;
  // Bytes of file data per answer frame.
  std::size_t readChunk = 59;
  // Consulted before the card answers; an answer given here replaces the card's.
  std::function<std::optional<Bytes>(const Bytes& apdu)> intercept;

  // The answer to one APDU.
  Bytes Process(const Bytes& apdu);
  // Power cycle: selection and authentication are lost.
  void Reset();

 private:
  Bytes Answer(std::uint8_t ins, const Bytes& data);
  Bytes Authenticate(std::uint8_t keyNumber);
  Bytes FinishAuthentication(const Bytes& data);

  enum class Pending { None, Version2, Version3, Auth, Read };
  Pending pending_ = Pending::None;
  bool selected_ = false;
  bool authenticated_ = false;
  Bytes rndB_;
  Bytes readRemaining_;
};

}  // namespace varlo::testing

#endif  // VARLO_CARD_TESTING_SIMULATED_DESFIRE_H_
