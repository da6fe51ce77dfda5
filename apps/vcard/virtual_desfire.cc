#include "apps/vcard/virtual_desfire.h"

#include <algorithm>

namespace varlo::vcard {

namespace {

constexpr std::uint8_t kOk = 0x00;
constexpr std::uint8_t kNoSuchKey = 0x40;
constexpr std::uint8_t kIllegalCommand = 0x1C;
constexpr std::uint8_t kLengthError = 0x7E;
constexpr std::uint8_t kPermissionDenied = 0x9D;
constexpr std::uint8_t kApplicationNotFound = 0xA0;
constexpr std::uint8_t kAuthenticationError = 0xAE;
constexpr std::uint8_t kAdditionalFrame = 0xAF;
constexpr std::uint8_t kBoundaryError = 0xBE;
constexpr std::uint8_t kCommandAborted = 0xCA;
constexpr std::uint8_t kFileNotFound = 0xF0;

constexpr std::uint8_t kWrappedClass = 0x90;

// GetVersion parts of a DESFire EV1 4K: vendor NXP, type, subtype, version major and minor,
// storage size code, protocol (ISO 14443-3 and -4).
constexpr std::uint8_t kHardwareVersion[] = {0x04, 0x01, 0x01, 0x01, 0x00, 0x18, 0x05};
constexpr std::uint8_t kSoftwareVersion[] = {0x04, 0x01, 0x01, 0x01, 0x04, 0x18, 0x05};
constexpr std::uint8_t kBatchAndDate[] = {0xBA, 0x7C, 0x40, 0x00, 0x01, 0x2A, 0x14};

constexpr std::size_t kMaxChunk = 59;

std::uint32_t Le24(std::span<const std::uint8_t> b) {
  return static_cast<std::uint32_t>(b[0]) | static_cast<std::uint32_t>(b[1]) << 8 |
         static_cast<std::uint32_t>(b[2]) << 16;
}

SecureBytes RotateLeft(std::span<const std::uint8_t> bytes) {
  SecureBytes out(bytes.begin() + 1, bytes.end());
  out.push_back(bytes[0]);
  return out;
}

}  // namespace

VirtualDesfire::VirtualDesfire(CardImage image, CardBehaviour behaviour, RandomSource random)
    : image_(std::move(image)), behaviour_(behaviour), random_(std::move(random)) {}

std::vector<std::uint8_t> VirtualDesfire::Transmit(std::span<const std::uint8_t> frame) {
  if (frame.empty())
    return {0x67, 0x00};
  auto& injected = behaviour_.injected;
  const std::uint8_t command = frame[0] == kWrappedClass && frame.size() > 1 ? frame[1] : frame[0];
  if (!injected.empty() && injected.front().command == command) {
    std::vector<std::uint8_t> answer = std::move(injected.front().answer);
    injected.pop_front();
    return answer;
  }
  if (frame[0] != kWrappedClass) {
    if (behaviour_.wrappedOnly)
      return {0x67, 0x00};
    Answer a = Execute(frame[0], frame.subspan(1));
    std::vector<std::uint8_t> out{a.status};
    out.insert(out.end(), a.data.begin(), a.data.end());
    return out;
  }

  // ISO 7816-4 case 1 (90 INS 00 00), case 2 (… Le), case 3 (… Lc data), case 4 (… Lc data Le).
  if (frame.size() < 4)
    return {0x67, 0x00};
  std::span<const std::uint8_t> data;
  if (frame.size() > 5) {
    const std::size_t lc = frame[4];
    if (lc == 0 || (frame.size() != 5 + lc && frame.size() != 6 + lc))
      return {0x67, 0x00};
    data = frame.subspan(5, lc);
  }
  if (frame[2] != 0x00 || frame[3] != 0x00)
    return {0x6A, 0x86};
  Answer a = Execute(frame[1], data);
  std::vector<std::uint8_t> out = std::move(a.data);
  out.push_back(0x91);
  out.push_back(a.status);
  return out;
}

VirtualDesfire::Answer VirtualDesfire::Execute(std::uint8_t command,
                                               std::span<const std::uint8_t> data) {
  if (behaviour_.abortOnce == command) {
    behaviour_.abortOnce.reset();
    pending_ = Pending::kNone;
    return {kCommandAborted, {}};
  }
  if (command == kAdditionalFrame)
    return Continue(data);
  if (pending_ != Pending::kNone) {
    // A new command in the middle of a multi-frame one: the card drops both.
    const bool wasAuthenticating = pending_ == Pending::kAuthentication;
    pending_ = Pending::kNone;
    unread_.clear();
    if (wasAuthenticating)
      authenticatedKey_.reset();
    return {kCommandAborted, {}};
  }
  switch (command) {
    case 0x60:
      return GetVersion(data);
    case 0x5A:
      return SelectApplication(data);
    case 0x0A:
      return Authenticate(CardCipher::k2K3DES, data);
    case 0xAA:
      return Authenticate(CardCipher::kAES128, data);
    case 0x6F:
      return GetFileIds(data);
    case 0xBD:
      return ReadData(data);
    default:
      return {kIllegalCommand, {}};
  }
}

VirtualDesfire::Answer VirtualDesfire::Continue(std::span<const std::uint8_t> data) {
  const Pending pending = pending_;
  pending_ = Pending::kNone;
  switch (pending) {
    case Pending::kNone:
      return {kIllegalCommand, {}};
    case Pending::kVersion2:
      if (!data.empty())
        return {kLengthError, {}};
      pending_ = Pending::kVersion3;
      return {kAdditionalFrame, {std::begin(kSoftwareVersion), std::end(kSoftwareVersion)}};
    case Pending::kVersion3: {
      if (!data.empty())
        return {kLengthError, {}};
      std::vector<std::uint8_t> out(image_.uid.begin(), image_.uid.end());
      out.insert(out.end(), std::begin(kBatchAndDate), std::end(kBatchAndDate));
      return {kOk, out};
    }
    case Pending::kAuthentication:
      return FinishAuthentication(data);
    case Pending::kRead:
      if (!data.empty()) {
        unread_.clear();
        return {kLengthError, {}};
      }
      return NextChunk();
  }
  return {kIllegalCommand, {}};
}

VirtualDesfire::Answer VirtualDesfire::GetVersion(std::span<const std::uint8_t> data) {
  if (!data.empty())
    return {kLengthError, {}};
  pending_ = Pending::kVersion2;
  return {kAdditionalFrame, {std::begin(kHardwareVersion), std::end(kHardwareVersion)}};
}

VirtualDesfire::Answer VirtualDesfire::SelectApplication(std::span<const std::uint8_t> data) {
  if (data.size() != 3)
    return {kLengthError, {}};
  authenticatedKey_.reset();
  const std::uint32_t aid = Le24(data);
  if (aid == 0 || (aid == kTokenApplication && behaviour_.applicationPresent)) {
    selectedAid_ = aid;
    return {kOk, {}};
  }
  return {kApplicationNotFound, {}};
}

VirtualDesfire::Answer VirtualDesfire::Authenticate(CardCipher cipher,
                                                    std::span<const std::uint8_t> data) {
  if (data.size() != 1)
    return {kLengthError, {}};
  authenticatedKey_.reset();
  const std::uint8_t keyNumber = data[0];
  if (keyNumber != 0)
    return {kNoSuchKey, {}};

  CardCipher keyCipher = CardCipher::k2K3DES;
  SecureBytes key(16, 0x00);
  if (selectedAid_ == kTokenApplication) {
    keyCipher = behaviour_.keyType;
    key = image_.appKey;
  }
  if (keyCipher != cipher)
    return {kAuthenticationError, {}};

  const std::size_t block = BlockSize(cipher);
  authCipher_ = cipher;
  authKey_ = std::move(key);
  authKeyNumber_ = keyNumber;
  rndB_.assign(block, 0);
  random_(rndB_);
  const SecureBytes zero(block, 0);
  SecureBytes sent = ChainForward(cipher, BlockOp::kEncipher, authKey_, zero, rndB_);
  // AES chains through the whole exchange; legacy DESFire restarts from zero for every message.
  iv_ = cipher == CardCipher::kAES128 ? sent : zero;
  pending_ = Pending::kAuthentication;
  return {kAdditionalFrame, {sent.begin(), sent.end()}};
}

VirtualDesfire::Answer VirtualDesfire::FinishAuthentication(std::span<const std::uint8_t> data) {
  const std::size_t block = BlockSize(authCipher_);
  if (data.size() != 2 * block)
    return {kLengthError, {}};
  const BlockOp receive =
      authCipher_ == CardCipher::kAES128 ? BlockOp::kDecipher : BlockOp::kEncipher;
  SecureBytes plain = ChainBackward(authCipher_, receive, authKey_, iv_, data);
  std::span<const std::uint8_t> rndA(plain.data(), block);
  std::span<const std::uint8_t> rotatedB(plain.data() + block, block);
  const SecureBytes expected = RotateLeft(rndB_);
  if (!std::equal(rotatedB.begin(), rotatedB.end(), expected.begin())) {
    return {kAuthenticationError, {}};
  }
  if (authCipher_ == CardCipher::kAES128)
    iv_.assign(data.end() - block, data.end());
  SecureBytes sent = ChainForward(authCipher_, BlockOp::kEncipher, authKey_, iv_, RotateLeft(rndA));
  authenticatedKey_ = authKeyNumber_;
  return {kOk, {sent.begin(), sent.end()}};
}

VirtualDesfire::Answer VirtualDesfire::GetFileIds(std::span<const std::uint8_t> data) {
  if (!data.empty())
    return {kLengthError, {}};
  if (selectedAid_ != kTokenApplication)
    return {kPermissionDenied, {}};
  std::vector<std::uint8_t> ids;
  for (const auto& [number, bytes] : image_.files)
    ids.push_back(number);
  return {kOk, ids};
}

VirtualDesfire::Answer VirtualDesfire::ReadData(std::span<const std::uint8_t> data) {
  if (data.size() != 7)
    return {kLengthError, {}};
  if (selectedAid_ != kTokenApplication)
    return {kPermissionDenied, {}};
  auto file = image_.files.find(data[0]);
  if (file == image_.files.end())
    return {kFileNotFound, {}};
  if (authenticatedKey_ != 0)
    return {kAuthenticationError, {}};
  const std::size_t size = file->second.size();
  const std::size_t offset = Le24(data.subspan(1, 3));
  std::size_t length = Le24(data.subspan(4, 3));
  if (offset > size || (length == 0 && offset == size && size != 0))
    return {kBoundaryError, {}};
  if (length == 0)
    length = size - offset;
  if (length > size - offset)
    return {kBoundaryError, {}};
  unread_.assign(file->second.begin() + offset, file->second.begin() + offset + length);
  return NextChunk();
}

VirtualDesfire::Answer VirtualDesfire::NextChunk() {
  const std::size_t chunk = std::clamp<std::size_t>(behaviour_.chunkSize, 1, kMaxChunk);
  const std::size_t n = std::min(chunk, unread_.size());
  Answer a{kOk, {unread_.begin(), unread_.begin() + n}};
  unread_.erase(unread_.begin(), unread_.begin() + n);
  if (!unread_.empty()) {
    a.status = kAdditionalFrame;
    pending_ = Pending::kRead;
  }
  return a;
}

void VirtualDesfire::ResetSession() {
  selectedAid_ = 0;
  authenticatedKey_.reset();
  pending_ = Pending::kNone;
  unread_.clear();
  rndB_.clear();
  iv_.clear();
  authKey_.clear();
}

}  // namespace varlo::vcard
