// The card side of a MIFARE DESFire card holding the token application (AID 0x010000): command
// frames in, response frames out. No input or output of its own; VpcdSession feeds it.
//
// Commands served (native frame: command byte + data, answered status byte + data; wrapped
// frame: 90 INS 00 00 [Lc data] [Le], answered data + 91 status):
//   0x60 GetVersion         AF + 7 hardware bytes, then (0xAF) AF + 7 software bytes, then
//                           (0xAF) 00 + UID(7) + batch number(5) + week + year
//   0x5A SelectApplication  AID 00 00 00 (card level) or 00 00 01 (token application)
//   0x0A Authenticate       legacy 2K3DES three-pass authentication, 8-byte random numbers
//   0xAA AuthenticateAES    AES-128 three-pass authentication, 16-byte random numbers
//   0x6F GetFileIDs         file numbers in ascending order (no authentication needed)
//   0xBD ReadData           file, 3-byte offset, 3-byte length (0 = to the end), least
//                           significant byte first; needs authentication with key 0; answered
//                           in chunks of `chunkSize` bytes, AF + chunk, continued by 0xAF
//   0xAF AdditionalFrame    continues the pending GetVersion, authentication or ReadData
// Status bytes: 00 ok, AF more frames, 1C unknown command or 0xAF without a pending command,
// 7E wrong length, 40 no such key, A0 application not found, AE authentication failed or not
// authenticated, 9D file command outside an application, F0 no such file, BE read outside the
// file, CA another command while a multi-frame command was pending (or the injected abort).
// A wrapped frame with a bad length is answered 67 00, another class 6E 00, P1/P2 other than
// 00 00 answered 6A 86.
//
// The card level (AID 0) has key 0 = 16 zero bytes (2K3DES), as a card from the factory. The
// token application has one key, key 0: the image's appKey, 2K3DES or AES-128 per Behaviour.
// Power off, power on and reset drop the selection, the authentication and any pending command.
//
// Not thread-safe: the owner serialises calls.
#ifndef VARLO_APPS_VCARD_VIRTUAL_DESFIRE_H_
#define VARLO_APPS_VCARD_VIRTUAL_DESFIRE_H_

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "apps/vcard/card_crypto.h"
#include "apps/vcard/card_image.h"
#include "common/secure_bytes.h"

namespace varlo::vcard {

// The ATR of a DESFire card behind a PC/SC contactless reader.
inline constexpr std::uint8_t kDesfireAtr[] = {0x3B, 0x81, 0x80, 0x01, 0x80, 0x80};

// A raw answer to give instead of executing a frame.
struct InjectedAnswer {
  std::uint8_t command;              // native command byte, or INS of a wrapped frame
  std::vector<std::uint8_t> answer;  // sent as it is, without framing
};

// Deviations from a well-behaved card, for tests. May be changed between any two frames.
struct CardBehaviour {
  // The ATR the reader driver gets.
  std::vector<std::uint8_t> atr{std::begin(kDesfireAtr), std::end(kDesfireAtr)};
  // Answer every native frame 67 00 (wrong length), as a card that accepts only ISO 7816-4
  // wrapped frames.
  bool wrappedOnly = false;
  // The next frame with this command byte is answered 0xCA (command aborted) without being
  // executed; then the option clears itself.
  std::optional<std::uint8_t> abortOnce;
  // Without the token application, selecting it answers A0.
  bool applicationPresent = true;
  // Cipher of the application's key 0.
  CardCipher keyType = CardCipher::k2K3DES;
  // Most file bytes per ReadData answer frame (1 to 59).
  std::size_t chunkSize = 59;
  // The next frame whose command byte matches the first entry is answered with that entry's
  // bytes and not executed (the card's state stays as it was); the entry is then used up.
  std::deque<InjectedAnswer> injected;
};

class VirtualDesfire {
 public:
  // Fills the span with random bytes (the card's RndB). Tests pass a fixed source.
  using RandomSource = std::function<void(std::span<std::uint8_t>)>;

  static constexpr std::uint32_t kTokenApplication = 0x010000;

  VirtualDesfire(CardImage image, CardBehaviour behaviour, RandomSource random);

  // One command frame in, its response frame out.
  std::vector<std::uint8_t> Transmit(std::span<const std::uint8_t> frame);

  const std::vector<std::uint8_t>& Atr() const { return behaviour_.atr; }

  // Power events from the reader; each drops the card's session state.
  void PowerOff() { ResetSession(); }
  void PowerOn() { ResetSession(); }
  void Reset() { ResetSession(); }

  CardBehaviour& Behaviour() { return behaviour_; }

 private:
  struct Answer {
    std::uint8_t status;
    std::vector<std::uint8_t> data;
  };
  enum class Pending { kNone, kVersion2, kVersion3, kAuthentication, kRead };

  Answer Execute(std::uint8_t command, std::span<const std::uint8_t> data);
  Answer Continue(std::span<const std::uint8_t> data);
  Answer GetVersion(std::span<const std::uint8_t> data);
  Answer SelectApplication(std::span<const std::uint8_t> data);
  Answer Authenticate(CardCipher cipher, std::span<const std::uint8_t> data);
  Answer FinishAuthentication(std::span<const std::uint8_t> data);
  Answer GetFileIds(std::span<const std::uint8_t> data);
  Answer ReadData(std::span<const std::uint8_t> data);
  Answer NextChunk();
  void ResetSession();

  CardImage image_;
  CardBehaviour behaviour_;
  RandomSource random_;

  std::uint32_t selectedAid_ = 0;
  std::optional<std::uint8_t> authenticatedKey_;
  Pending pending_ = Pending::kNone;
  // Pending authentication: the cipher, key and key number in use, the card's RndB and the
  // chaining value (AES: last cipher block exchanged; legacy 2K3DES: always zero).
  CardCipher authCipher_ = CardCipher::k2K3DES;
  SecureBytes authKey_;
  std::uint8_t authKeyNumber_ = 0;
  SecureBytes rndB_;
  SecureBytes iv_;
  // Pending ReadData: the bytes not sent yet.
  std::vector<std::uint8_t> unread_;
};

}  // namespace varlo::vcard

#endif  // VARLO_APPS_VCARD_VIRTUAL_DESFIRE_H_
