// One DESFire command on its way to the card, and its answer.
//
// A command is framed either natively (command byte, then data) or wrapped in an ISO 7816-4
// APDU (0x90, command byte, 0x00, 0x00, Lc, data, Le) whose answer ends in 0x91 and the
// DESFire status. Data longer than one frame is split, later frames carrying the
// additional-frame code 0xAF. `ParseResponse` turns one answer into `status` and appends its
// data to `response`; an answer of 0x67 0x00 (wrong length) switches the command to wrapped
// framing and rebuilds its frames, so that it goes out again from the first frame.
//
// Frames are logged at debug level; a command whose data is secret names what of it the log
// withholds, and the log then shows only command, status and length for that part.
#ifndef VARLO_CARD_DESFIRE_COMMAND_H_
#define VARLO_CARD_DESFIRE_COMMAND_H_

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "common/secure_bytes.h"

namespace varlo {

// Command bytes.
inline constexpr std::uint8_t kCmdSelectApplication = 0x5A;
inline constexpr std::uint8_t kCmdAuthenticate = 0x0A;
inline constexpr std::uint8_t kCmdAuthenticateAes = 0xAA;
inline constexpr std::uint8_t kCmdAdditionalFrame = 0xAF;
inline constexpr std::uint8_t kCmdGetFileIds = 0x6F;
inline constexpr std::uint8_t kCmdReadData = 0xBD;
inline constexpr std::uint8_t kCmdGetVersion = 0x60;

// Status bytes.
inline constexpr std::uint8_t kStatusOk = 0x00;
inline constexpr std::uint8_t kStatusAdditionalFrame = 0xAF;
inline constexpr std::uint8_t kStatusIllegalCommand = 0x1C;
inline constexpr std::uint8_t kStatusIntegrityError = 0x1E;
inline constexpr std::uint8_t kStatusNoSuchKey = 0x40;
inline constexpr std::uint8_t kStatusApplicationNotFound = 0xA0;
inline constexpr std::uint8_t kStatusAuthenticationError = 0xAE;
inline constexpr std::uint8_t kStatusFileNotFound = 0xF0;
inline constexpr std::uint8_t kStatusCommandAborted = 0xCA;
inline constexpr std::uint8_t kStatusAbortedAlternative = 0x0B;
inline constexpr std::uint8_t kStatusWrongLength = 0x67;
inline constexpr std::uint8_t kStatusNoResponse = 0xFF;

// What of a command's data the log shows. File contents and both directions of the
// authentication exchange never reach it: a log holding the PIN file, or the challenges
// encrypted under the application key, allows an offline search for the PIN or the key.
enum class DataInLog { Shown, AnswerWithheld, Withheld };

struct DesfireCommand {
  DesfireCommand(std::uint8_t code, SecureBytes data, bool wrapped,
                 DataInLog inLog = DataInLog::Shown);

  // Splits `data` into frames (54 bytes each when wrapped, 59 when native) and starts over.
  void BuildFrames();
  // The next frame to send (empty when all have gone out).
  SecureBytes NextFrame();
  void ParseResponse(std::span<const std::uint8_t> answer);
  // A frame of this command, sent in its current framing, and an answer to it, as the log
  // shows them: `HexDump`, with the data withheld where `inLog` says so.
  std::string SentText(std::span<const std::uint8_t> frame) const;
  std::string AnswerText(std::span<const std::uint8_t> answer) const;

  std::uint8_t code;
  // The data, its frames and the answers' data may be secret (authentication, file contents):
  // they live in self-wiping buffers.
  SecureBytes data;
  std::vector<SecureBytes> frames;
  std::size_t nextFrame = 0;
  std::uint8_t status = kStatusNoResponse;
  SecureBytes response;
  bool wrapped;
  DataInLog inLog;
};

// "[ 5a 00 ] (2 byte)": the form in which frames and answers are logged.
std::string HexDump(std::span<const std::uint8_t> bytes);

}  // namespace varlo

#endif  // VARLO_CARD_DESFIRE_COMMAND_H_
