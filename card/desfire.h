// One MIFARE DESFire card on one PC/SC reader.
//
// The reader monitor makes one `Desfire` per inserted card and calls `Load` once on its worker
// thread: connect, read the UID, select the token application, authenticate with the
// application key, list and read every file, disconnect, and hand the resulting `DesfireData`
// to the card callback. Every card whose UID could be read is reported, including cards
// without the application or with the wrong key (their data is then not initialized).
//
// Every command goes through `Transmit`, which switches the whole object to wrapped ISO 7816-4
// framing when the card answers 0x67 0x00. When the card reports an aborted command, `Transmit`
// reconnects (which powers the card down: selection and authentication are lost) and throws
// `CardReset`; `Load` then reads the card once more from the start. A second abort on the same
// connection fails the command. The command operations throw std::runtime_error with fixed
// texts; `Load` never throws, whatever the commands or the callback throw, and always ends the
// transaction and disconnects. Apart from `DisableCallback`, an object is used by one thread
// only.
#ifndef VARLO_CARD_DESFIRE_H_
#define VARLO_CARD_DESFIRE_H_

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "card/desfire_command.h"
#include "card/desfire_key.h"
#include "card/pcsc_base.h"
#include "tokendata/desfire_data.h"

namespace varlo {

using CardCallback = std::function<void(DesfireData)>;

// The token application's identifier; it goes on the wire least significant byte first
// (00 00 01).
inline constexpr std::uint32_t kTokenApplicationId = 0x010000;

enum class DesfireResult : std::uint32_t {
  Ok = 0,
  Failed = 1,
  ApplicationNotFound = 5,
  AuthenticationError = 6,
  IllegalCommandOrIntegrityError = 9,
};

struct DesfireTimings {
  // Pause after each of the first sharing violations of an exclusive connect.
  std::chrono::milliseconds sharingViolationPause{500};
};

class Desfire : public PcscBase {
 public:
  Desfire(std::string readerName, CardCallback callback, IPcsc& pcsc = SystemPcsc(),
          DesfireTimings timings = {});
  ~Desfire() override;

  // Reads the card and reports it through the callback. Never throws; always disconnects.
  void Load();

  void StartTransaction();
  void EndTransaction();
  void GetUidFromCard();
  DesfireResult SelectApp();
  SecureBytes Auth_1st(std::uint32_t keyType, std::uint8_t keyNumber);
  SecureBytes Auth_2nd(std::span<const std::uint8_t> data);
  DesfireSessionKey Auth(const DesfireKey& key);
  std::vector<std::uint8_t> ListFiles();
  SecureBytes ReadDataFile(std::uint8_t fileNumber);
  // Sends the command's next frame and parses the answer into it.
  void Transmit(DesfireCommand& command);
  void Reconnect();

  // Thrown by `Transmit` after the reconnect that follows an aborted command.
  class CardReset : public std::runtime_error {
   public:
    CardReset() : std::runtime_error("Card was reset after an aborted command.") {}
  };

  // Stops `Load` from reporting (the monitor is shutting down). Any thread.
  void DisableCallback() { callbackEnabled_ = false; }

  std::uint64_t Uid() const { return uid_; }
  bool WrappedMode() const { return wrappedMode_; }
  DWORD ShareMode() const { return shareMode_; }

 private:
  // The card's UID, then the token application's files (none when it has no application).
  void ReadCard(CardFiles& files);
  DesfireCommand MakeCommand(std::uint8_t code, SecureBytes data = {},
                             DataInLog inLog = DataInLog::Shown) const {
    return DesfireCommand(code, std::move(data), wrappedMode_, inLog);
  }

  std::string readerName_;
  CardCallback callback_;
  DesfireTimings timings_;
  DWORD shareMode_ = SCARD_SHARE_EXCLUSIVE;
  SCARDHANDLE cardHandle_ = 0;
  DWORD activeProtocol_ = 0;
  std::uint64_t uid_ = 0;
  std::uint32_t selectedAid_ = 0;
  bool wrappedMode_ = false;
  bool inTransaction_ = false;
  // Set by the reconnect after an abort; a connection gets one.
  bool resetAfterAbort_ = false;
  std::atomic<bool> callbackEnabled_{true};
};

}  // namespace varlo

#endif  // VARLO_CARD_DESFIRE_H_
