#include "card/desfire.h"

#include <algorithm>
#include <array>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "card/application_key.h"
#include "card/desfire_auth_aes.h"
#include "card/desfire_auth_des.h"
#include "common/exception_text.h"
#include "log/logger.h"

namespace varlo {

namespace {

constexpr const char* kContext = "Desfire";
constexpr std::size_t kReceiveBuffer = 512;
constexpr int kExclusiveAttempts = 5;
constexpr int kMaxConnectAttempts = 100;
constexpr std::size_t kGetVersionLength = 28;
constexpr std::size_t kUidOffset = 14;
constexpr std::size_t kUidLength = 7;
constexpr std::uint8_t kHighestFileNumber = 31;
// The largest DESFire card holds 32 KiB; a card that keeps answering "more data" beyond
// twice that is not sending a file.
constexpr std::size_t kMaxFileSize = 64 * 1024;
// Windows reports an invalidated card handle as ERROR_INVALID_HANDLE, pcsc-lite with its own code.
constexpr LONG kErrorInvalidHandle = 6;

std::string Hex(std::uint64_t value) {
  std::ostringstream text;
  text << std::hex << value;
  return text.str();
}

std::string StatusText(std::uint8_t status) {
  return "0x" + Hex(status);
}

}  // namespace

Desfire::Desfire(std::string readerName, CardCallback callback, IPcsc& pcsc, DesfireTimings timings)
    : PcscBase(pcsc),
      readerName_(std::move(readerName)),
      callback_(std::move(callback)),
      timings_(timings) {
  TraceScope trace("Desfire::Desfire");
}

Desfire::~Desfire() {
  TraceScope trace("Desfire::~Desfire");
  EndTransaction();  // a connection a caller left open
}

void Desfire::Load() {
  TraceScope trace("Desfire::Load");
  // However Load is left, the transaction ends and the card is disconnected: a card left
  // connected stays locked for every other application.
  struct TransactionEnd {
    Desfire& card;
    ~TransactionEnd() { card.EndTransaction(); }
  } transactionEnd{*this};
  CardFiles files;
  try {
    StartTransaction();
    try {
      ReadCard(files);
    } catch (const CardReset&) {
      // The reconnect after an aborted command powered the card down: selection and
      // authentication are gone, so the card is read again from the start, once.
      files.clear();
      ReadCard(files);
    }
  } catch (...) {
    LogError(kContext) << "Desfire::Load Failed loading card: " << CurrentExceptionText();
    files.clear();
  }
  LogDebug(kContext) << "Desfire::Load Loading Desfire completed.";

  if (!callbackEnabled_) {
    LogWarn(kContext) << "Desfire::Load Desfire wil be ignored because callback was disabled "
                         "during loading process.";
  } else if (uid_ == 0) {
    LogError(kContext) << "Desfire::Load UID unknown - card is ignored.";
  } else {
    try {
      callback_(DesfireData(uid_, files));
    } catch (const std::exception&) {
      LogError(kContext) << "Desfire::Load Failed to parse raw desfire data.";
    } catch (...) {
      LogError(kContext) << "Desfire::Load Card callback failed: " << CurrentExceptionText();
    }
  }
}

void Desfire::ReadCard(CardFiles& files) {
  GetUidFromCard();
  DesfireResult selected = SelectApp();
  if (selected == DesfireResult::Ok) {
    DesfireKey key;
    key.keyType = kKeyType2K3Des;
    key.keyNumber = 0;
    std::array<std::uint8_t, 16> keyBytes = ApplicationKey();
    key.key = ToSecure(keyBytes);
    Wipe(keyBytes);
    Auth(key);
    std::vector<std::uint8_t> fileNumbers = ListFiles();
    if (fileNumbers.empty()) {
      LogInfo(kContext) << "Desfire::Load No files found.";
    }
    for (std::uint8_t fileNumber : fileNumbers) {
      files[fileNumber] = ReadDataFile(fileNumber);
    }
  } else if (selected == DesfireResult::ApplicationNotFound) {
    LogInfo(kContext) << "Desfire::Load Application not present.";
  } else {
    throw std::runtime_error("Failed to select application.");
  }
}

void Desfire::StartTransaction() {
  TraceScope trace("Desfire::StartTransaction");
  for (int attempt = 1;; ++attempt) {
    LONG rv = pcsc_.Connect(context_, readerName_.c_str(), shareMode_,
                            SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &cardHandle_, &activeProtocol_);
    if (rv == SCARD_S_SUCCESS) {
      break;
    }
    if (rv != SCARD_E_SHARING_VIOLATION) {
      LogError(kContext) << "Desfire::StartTransaction SCardConnectA returned " << PcscCode(rv);
      throw std::runtime_error("SCardConnectA failed.");
    }
    if (attempt >= kMaxConnectAttempts) {
      throw std::runtime_error("SCardConnectA returned SCARD_E_SHARING_VIOLATION.");
    }
    // Another application holds the card: wait a little for it, then share the card and keep
    // the others off with a transaction.
    if (shareMode_ == SCARD_SHARE_EXCLUSIVE) {
      if (attempt <= kExclusiveAttempts) {
        std::this_thread::sleep_for(timings_.sharingViolationPause);
      } else {
        shareMode_ = SCARD_SHARE_SHARED;
      }
    }
  }
  resetAfterAbort_ = false;
  if (shareMode_ == SCARD_SHARE_SHARED) {
    LONG rv = pcsc_.BeginTransaction(cardHandle_);
    if (rv != SCARD_S_SUCCESS) {
      LogWarn(kContext) << "Desfire::StartTransaction Failed to start transaction: "
                        << PcscCode(rv);
    }
    inTransaction_ = rv == SCARD_S_SUCCESS;
  }
}

void Desfire::EndTransaction() {
  TraceScope trace("Desfire::EndTransaction");
  if (cardHandle_ != 0) {
    if (inTransaction_) {
      pcsc_.EndTransaction(cardHandle_, SCARD_LEAVE_CARD);
    }
    pcsc_.Disconnect(cardHandle_, SCARD_LEAVE_CARD);
    cardHandle_ = 0;
  }
  inTransaction_ = false;
  activeProtocol_ = 0;
  shareMode_ = SCARD_SHARE_EXCLUSIVE;
}

void Desfire::GetUidFromCard() {
  TraceScope trace("Desfire::GetUidFromCard");
  struct Step {
    std::uint8_t code;
    std::uint8_t expected;
  };
  static constexpr std::array<Step, 3> kSteps = {{{kCmdGetVersion, kStatusAdditionalFrame},
                                                  {kCmdAdditionalFrame, kStatusAdditionalFrame},
                                                  {kCmdAdditionalFrame, kStatusOk}}};
  std::vector<std::uint8_t> version;
  for (const Step& step : kSteps) {
    DesfireCommand command = MakeCommand(step.code);
    Transmit(command);
    if (command.status != step.expected) {
      LogError(kContext) << "RawToken::GetUidFromCard: Card returned " << StatusText(command.status)
                         << " on cmd 0x" << Hex(step.code);
      throw std::runtime_error("Getting card version and uid failed.");
    }
    version.insert(version.end(), command.response.begin(), command.response.end());
  }
  if (version.size() != kGetVersionLength) {
    throw std::runtime_error("Invalid response length on GetVersion.");
  }
  std::uint64_t uid = 0;
  for (std::size_t i = 0; i < kUidLength; ++i) {
    uid = uid << 8 | version[kUidOffset + i];
  }
  uid_ = uid;
}

DesfireResult Desfire::SelectApp() {
  TraceScope trace("Desfire::SelectApp");
  DesfireCommand command =
      MakeCommand(kCmdSelectApplication, {static_cast<std::uint8_t>(kTokenApplicationId),
                                          static_cast<std::uint8_t>(kTokenApplicationId >> 8),
                                          static_cast<std::uint8_t>(kTokenApplicationId >> 16)});
  Transmit(command);
  switch (command.status) {
    case kStatusOk:
      selectedAid_ = kTokenApplicationId;
      return DesfireResult::Ok;
    case kStatusIllegalCommand:
    case kStatusIntegrityError:
      return DesfireResult::IllegalCommandOrIntegrityError;
    case kStatusApplicationNotFound:
      return DesfireResult::ApplicationNotFound;
    case kStatusAuthenticationError:
      return DesfireResult::AuthenticationError;
    default:
      LogError(kContext) << "Desfire::SelectApp Card returned " << StatusText(command.status);
      return DesfireResult::Failed;
  }
}

SecureBytes Desfire::Auth_1st(std::uint32_t keyType, std::uint8_t keyNumber) {
  TraceScope trace("Desfire::Auth_1st");
  std::uint8_t code = 0;
  if (keyType == kKeyType2K3Des) {
    code = kCmdAuthenticate;
  } else if (keyType == kKeyTypeAes128) {
    code = kCmdAuthenticateAes;
  } else {
    throw std::runtime_error("Auth_1st: Invalid key type.");
  }
  DesfireCommand command = MakeCommand(code, {keyNumber}, DataInLog::Withheld);
  Transmit(command);
  switch (command.status) {
    case kStatusAdditionalFrame:
      return ToSecure(command.response);
    case kStatusIllegalCommand:
      throw std::runtime_error("Auth_1st: illegal command.");
    case kStatusNoSuchKey:
      throw std::runtime_error("Auth_1st: no such key.");
    case kStatusAuthenticationError:
      throw std::runtime_error("Auth_1st: access error.");
    default:
      LogError(kContext) << "Desfire::Auth_1st Card returned " << StatusText(command.status);
      throw std::runtime_error("Auth_1st failed.");
  }
}

SecureBytes Desfire::Auth_2nd(std::span<const std::uint8_t> data) {
  TraceScope trace("Desfire::Auth_2nd");
  DesfireCommand command =
      MakeCommand(kCmdAdditionalFrame, {data.begin(), data.end()}, DataInLog::Withheld);
  Transmit(command);
  switch (command.status) {
    case kStatusOk:
      return ToSecure(command.response);
    case kStatusIllegalCommand:
      throw std::runtime_error("Auth_2nd: illegal command.");
    case kStatusAuthenticationError:
      throw std::runtime_error("Auth_2nd: wrong key.");
    default:
      LogError(kContext) << "Desfire::Auth_2nd Card returned " << StatusText(command.status);
      throw std::runtime_error("Auth_2nd failed.");
  }
}

DesfireSessionKey Desfire::Auth(const DesfireKey& key) {
  TraceScope trace("Desfire::Auth");
  std::unique_ptr<DesfireAuthBase> authenticator;
  if (key.keyType == kKeyType2K3Des) {
    authenticator = std::make_unique<DesfireAuthDES>(&key);
  } else if (key.keyType == kKeyTypeAes128) {
    authenticator = std::make_unique<DesfireAuthAES>(&key);
  } else {
    throw std::runtime_error("Invalid key type");
  }
  SecureBytes encryptedRndB = Auth_1st(key.keyType, key.keyNumber);
  SecureBytes answer = authenticator->ProcessRndB(encryptedRndB);
  SecureBytes encryptedRndA = Auth_2nd(answer);
  DesfireSessionKey sessionKey;
  authenticator->VerifyRndA(encryptedRndA, &sessionKey);
  sessionKey.keyType = key.keyType;
  LogDebug(kContext) << "Desfire::Auth Authentication succeeded:";
  LogDebug(kContext) << "Desfire::Auth \tKey number: " << static_cast<unsigned>(key.keyNumber);
  LogDebug(kContext) << "Desfire::Auth \tKey type: "
                     << (key.keyType == kKeyType2K3Des ? "2k3DES" : "AES-128");
  return sessionKey;
}

std::vector<std::uint8_t> Desfire::ListFiles() {
  if (selectedAid_ == 0) {
    throw std::runtime_error("File operation forbidden in picc level application.");
  }
  DesfireCommand command = MakeCommand(kCmdGetFileIds);
  Transmit(command);
  switch (command.status) {
    case kStatusOk:
      return {command.response.begin(), command.response.end()};
    case kStatusIllegalCommand:
    case kStatusIntegrityError:
      throw std::runtime_error("Card returned illegal command or integrity error.");
    case kStatusAuthenticationError:
      throw std::runtime_error("Card returned access error.");
    default:
      LogError(kContext) << "Desfire::ListFiles Card returned " << StatusText(command.status);
      throw std::runtime_error("Failed to get file info.");
  }
}

SecureBytes Desfire::ReadDataFile(std::uint8_t fileNumber) {
  TraceScope trace("Desfire::ReadDataFile");
  if (fileNumber > kHighestFileNumber) {
    throw std::runtime_error("File id out of range.");
  }
  if (selectedAid_ == 0) {
    throw std::runtime_error("File operation forbidden in picc level application.");
  }
  // File number, offset 0 and length 0 (the whole file), both three bytes.
  DesfireCommand command =
      MakeCommand(kCmdReadData, {fileNumber, 0, 0, 0, 0, 0, 0}, DataInLog::AnswerWithheld);
  SecureBytes content;
  for (;;) {
    Transmit(command);
    content.insert(content.end(), command.response.begin(), command.response.end());
    if (command.status != kStatusAdditionalFrame) {
      break;
    }
    // A card that announces more data in frames without any would keep this loop, and the
    // reader, busy for ever.
    if (command.response.empty()) {
      LogError(kContext) << "Desfire::ReadDataFile File " << static_cast<unsigned>(fileNumber)
                         << ": more data announced in a frame without data.";
      throw std::runtime_error("Failed to read file.");
    }
    if (content.size() > kMaxFileSize) {
      LogError(kContext) << "Desfire::ReadDataFile File " << static_cast<unsigned>(fileNumber)
                         << " exceeds " << kMaxFileSize << " bytes.";
      throw std::runtime_error("Failed to read file.");
    }
    command = MakeCommand(kCmdAdditionalFrame, {}, DataInLog::AnswerWithheld);
  }
  switch (command.status) {
    case kStatusOk:
      LogInfo(kContext) << "Desfire::ReadDataFile " << content.size() << " bytes read from file "
                        << static_cast<unsigned>(fileNumber);
      return content;
    case kStatusIllegalCommand:
    case kStatusIntegrityError:
      throw std::runtime_error("Failed to read: illegal command or integrity error.");
    case kStatusAuthenticationError:
      throw std::runtime_error("Failed to read: access error.");
    case kStatusFileNotFound:
      throw std::runtime_error("Failed to read: no such file.");
    default:
      LogError(kContext) << "Desfire::ReadDataFile Card returned " << StatusText(command.status);
      throw std::runtime_error("Failed to read file.");
  }
}

void Desfire::Transmit(DesfireCommand& command) {
  TraceScope trace("Desfire::Transmit");
  // The answer may be a file's content or an authentication step: a self-wiping buffer.
  SecureBytes received(kReceiveBuffer);
  const SecureBytes frame = command.NextFrame();

  DWORD protocol = SCARD_PROTOCOL_T1;
  if (activeProtocol_ == 0) {
    LogDebug(kContext) << "Desfire::Transmit Protocol is undefined - SCARD_PCI_T1 is used.";
  } else if (activeProtocol_ == SCARD_PROTOCOL_T0) {
    LogDebug(kContext) << "Desfire::Transmit SCARD_PCI_T0 is used.";
    protocol = SCARD_PROTOCOL_T0;
  } else if (activeProtocol_ == SCARD_PROTOCOL_RAW) {
    protocol = SCARD_PROTOCOL_RAW;
  } else if (activeProtocol_ != SCARD_PROTOCOL_T1) {
    LogDebug(kContext) << "Desfire::Transmit Unknown protocol: 0x" << Hex(activeProtocol_)
                       << " - SCARD_PCI_T1 is used.";
  }

  // Taken before the answer is parsed: an answer of 67 00 changes the command's framing.
  const std::string sentText = command.SentText(frame);
  LogDebug(kContext) << "Desfire::Transmit Sending: " << sentText;
  DWORD length = 0;
  LONG rv = pcsc_.Transmit(cardHandle_, protocol, frame, received, &length);
  if (rv == kErrorInvalidHandle || rv == SCARD_E_INVALID_HANDLE) {
    throw std::runtime_error("Card handle was invalidated.");
  }
  if (rv != SCARD_S_SUCCESS) {
    LogError(kContext) << "Desfire::Transmit SCardTransmit returned " << PcscCode(rv);
    throw std::runtime_error("Failed to transmit apdu.");
  }
  if (length == 0) {
    throw std::runtime_error("Received 0 byte response length.");
  }
  const auto answer = std::span(received).first(std::min<std::size_t>(length, received.size()));
  LogDebug(kContext) << "Desfire::Transmit Received: " << command.AnswerText(answer);
  command.ParseResponse(answer);

  if (!wrappedMode_ && command.status == kStatusWrongLength && command.wrapped) {
    LogDebug(kContext) << "Desfire::Transmit Enabling wrapped apdu mode.";
    wrappedMode_ = true;
    if (command.code != kCmdAdditionalFrame) {
      LogWarn(kContext) << "Desfire::Transmit Retrying with wrapped apdu.";
      Transmit(command);
      return;
    }
  }

  switch (command.status) {
    case kStatusOk:
    case kStatusAuthenticationError:
    case kStatusAdditionalFrame:
      return;
    case kStatusAbortedAlternative:
    case kStatusCommandAborted:
      if (resetAfterAbort_) {
        LogError(kContext) << "Desfire::Transmit Card returned " << StatusText(command.status)
                           << " pn retry.";
        throw std::runtime_error("Card returned error status.");
      }
      LogWarn(kContext) << "Desfire::Transmit Card returned " << StatusText(command.status)
                        << " - card is in invalid state for command, calling SCardReconnect.";
      Reconnect();
      resetAfterAbort_ = true;
      // Resending the frame cannot help: the reset dropped what the command builds on.
      throw CardReset();
    case kStatusNoResponse:
      throw std::runtime_error("Response could not be parsed.");
    default:
      LogDebug(kContext) << "Desfire::Transmit Card returned " << StatusText(command.status)
                         << " on " << sentText;
      return;
  }
}

void Desfire::Reconnect() {
  TraceScope trace("Desfire::Reconnect");
  DWORD protocol = 0;
  // The sharing mode stays what the connect settled on: asking for the card exclusively while
  // another application shares it would fail.
  LONG rv = pcsc_.Reconnect(cardHandle_, shareMode_, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1,
                            SCARD_UNPOWER_CARD, &protocol);
  if (rv != SCARD_S_SUCCESS) {
    LogError(kContext) << "Desfire::Reconnect SCardReconnect returned " << PcscCode(rv);
    throw std::runtime_error("Failed to reconnect card.");
  }
  activeProtocol_ = protocol;
  selectedAid_ = 0;  // the power cycle left the card at its top level
}

}  // namespace varlo
