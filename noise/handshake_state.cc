#include "noise/handshake_state.h"

#include <algorithm>
#include <array>
#include <utility>

namespace varlo::noise {
namespace {

bool Contains(const std::vector<PatternToken>& tokens, PatternToken token) {
  return std::find(tokens.begin(), tokens.end(), token) != tokens.end();
}

// Whether the role sends a static key in any of its messages (message 0 is the initiator's).
bool SendsStatic(const HandshakePattern& pattern, bool initiator) {
  for (std::size_t i = initiator ? 0 : 1; i < pattern.messages.size(); i += 2) {
    if (Contains(pattern.messages[i].tokens, PatternToken::S)) {
      return true;
    }
  }
  return false;
}

constexpr std::size_t kDhLen = Curve25519::kDhLen;
constexpr std::size_t kTagSize = Cipher::kTagSize;

}  // namespace

template <typename C, typename D, typename H>
HandshakeState<C, D, H>::HandshakeState(std::shared_ptr<const Protocol> protocol, bool initiator,
                                        std::span<const std::uint8_t> prologue,
                                        std::span<const std::uint8_t> s,
                                        std::span<const std::uint8_t> rs,
                                        std::span<const SecureBytes> psks)
    : dh_(std::make_shared<D>()),
      protocol_(std::move(protocol)),
      initiator_(initiator),
      turn_to_write_(initiator) {
  if (protocol_ == nullptr) {
    throw "Protocol failed, missing HandshakePattern";
  }
  if (!s.empty() && s.size() != kDhLen) {
    throw "Invalid local static private key.";
  }
  if (!rs.empty() && rs.size() != kDhLen) {
    throw "Invalid remote static public key.";
  }
  const HandshakePattern& pattern = protocol_->GetPattern();
  const auto& own_pre = initiator ? pattern.initiator_pre_message : pattern.responder_pre_message;
  const auto& other_pre = initiator ? pattern.responder_pre_message : pattern.initiator_pre_message;
  const bool local_required =
      Contains(own_pre.tokens, PatternToken::S) || SendsStatic(pattern, initiator);
  const bool remote_required = Contains(other_pre.tokens, PatternToken::S);
  if (local_required && s.empty()) {
    throw "Local static private key required, but not provided.";
  }
  if (!local_required && !s.empty()) {
    throw "Local static private key provided, but not required.";
  }
  if (remote_required && rs.empty()) {
    throw "Remote static public key required, but not provided.";
  }
  if (!remote_required && !rs.empty()) {
    throw "Remote static public key provided, but not required.";
  }
  if (protocol_->HasModifier(PatternModifiers::Fallback)) {
    throw "Fallback modifier can only be applied by calling the Fallback method.";
  }

  symmetric_ = std::make_unique<Symmetric>(protocol_->GetName());
  symmetric_->MixHash(prologue);
  if (!s.empty()) {
    s_ = dh_->GenerateKeyPair(s);
  }
  rs_.assign(rs.begin(), rs.end());

  // Pre-messages: the initiator's, then the responder's.
  for (const bool initiator_side : {true, false}) {
    const bool own = initiator_side == initiator_;
    const auto& pre =
        initiator_side ? pattern.initiator_pre_message : pattern.responder_pre_message;
    for (PatternToken token : pre.tokens) {
      if (token == PatternToken::S) {
        symmetric_->MixHash(own ? std::span<const std::uint8_t>(s_->PublicKey())
                                : std::span<const std::uint8_t>(rs_));
      }
    }
  }

  QueueMessagesAndKeys(pattern.messages, psks);
  one_way_ = pattern.messages.size() == 1;
}

template <typename C, typename D, typename H>
void HandshakeState<C, D, H>::QueueMessagesAndKeys(const std::vector<MessagePattern>& messages,
                                                   std::span<const SecureBytes> psks) {
  static constexpr PatternModifiers kAppended[] = {PatternModifiers::Psk1, PatternModifiers::Psk2,
                                                   PatternModifiers::Psk3};
  std::deque<Pending> queue;
  std::deque<SecureBytes> keys;
  std::size_t next_key = 0;
  auto take_key = [&]() {
    if (next_key == psks.size()) {
      throw "Number of pre-shared keys was less than the number of PSK modifiers.";
    }
    const SecureBytes& key = psks[next_key++];
    if (key.size() != Cipher::kKeySize) {
      throw "ProcessPreSharedKey failed, key size";
    }
    keys.push_back(key);
  };
  for (std::size_t i = 0; i < messages.size(); ++i) {
    if (i >= std::size(kAppended)) {
      throw "Process preshared keys failed, too many patterns.";
    }
    Pending pending{messages[i].tokens};
    // psk0 counts wherever it stands among the modifiers: "psk2+psk0" is a valid name whose
    // keys are used in the order of their tokens.
    if (i == 0 && protocol_->HasModifier(PatternModifiers::Psk0)) {
      pending.tokens.insert(pending.tokens.begin(), PatternToken::PSK);
      take_key();
    }
    if (protocol_->HasModifier(kAppended[i])) {
      pending.tokens.push_back(PatternToken::PSK);
      take_key();
    }
    queue.push_back(std::move(pending));
  }
  if (next_key != psks.size()) {
    throw "ProcessPreSharedKeys failed, number of pre-shared keys was greater than the number of "
          "PSK modifiers.";
  }
  messages_ = std::move(queue);
  psks_ = std::move(keys);
  // Any psk modifier makes "e" also call MixKey, even one (psk3 on a two-message pattern) that
  // inserts no psk token.
  psk_ = false;
  for (PatternModifiers modifier : {PatternModifiers::Psk0, PatternModifiers::Psk1,
                                    PatternModifiers::Psk2, PatternModifiers::Psk3}) {
    psk_ = psk_ || protocol_->HasModifier(modifier);
  }
}

template <typename C, typename D, typename H>
void HandshakeState<C, D, H>::SetDh(std::shared_ptr<Dh> dh) {
  if (dh == nullptr || dh->DhLen() != kDhLen) {
    throw "SetDh failed, invalid DH object";
  }
  dh_ = std::move(dh);
}

template <typename C, typename D, typename H>
std::vector<std::uint8_t> HandshakeState<C, D, H>::RemoteStaticPublicKey() const {
  return rs_;
}

template <typename C, typename D, typename H>
std::size_t HandshakeState<C, D, H>::Overhead(const std::vector<PatternToken>& tokens) const {
  bool has_key = symmetric_->HasKey();
  std::size_t overhead = 0;
  for (PatternToken token : tokens) {
    switch (token) {
      case PatternToken::E:
        overhead += kDhLen;
        has_key = has_key || psk_;
        break;
      case PatternToken::S:
        overhead += kDhLen + (has_key ? kTagSize : 0);
        break;
      default:
        has_key = true;
        break;
    }
  }
  return overhead + (has_key ? kTagSize : 0);
}

template <typename C, typename D, typename H>
void HandshakeState<C, D, H>::DhAndMixKey(const std::shared_ptr<KeyPair>& key_pair,
                                          std::span<const std::uint8_t> public_key) {
  if (key_pair == nullptr) {
    throw "DhAndMixKey failed, keyPair is null";
  }
  if (public_key.empty()) {
    throw "DhAndMixKey failed, public key is empty";
  }
  std::array<std::uint8_t, kDhLen> shared;
  dh_->DH(key_pair, public_key, shared);
  symmetric_->MixKey(shared);
  Wipe(shared);
}

template <typename C, typename D, typename H>
void HandshakeState<C, D, H>::MixDh(PatternToken token) {
  switch (token) {
    case PatternToken::EE:
      DhAndMixKey(e_, re_);
      break;
    case PatternToken::ES:
      initiator_ ? DhAndMixKey(e_, rs_) : DhAndMixKey(s_, re_);
      break;
    case PatternToken::SE:
      initiator_ ? DhAndMixKey(s_, re_) : DhAndMixKey(e_, rs_);
      break;
    case PatternToken::SS:
      DhAndMixKey(s_, rs_);
      break;
    case PatternToken::PSK:
      symmetric_->MixKeyAndHash(psks_.front());
      psks_.pop_front();
      break;
    default:
      break;
  }
}

template <typename C, typename D, typename H>
typename HandshakeState<C, D, H>::Pending HandshakeState<C, D, H>::TakeNextMessage() {
  Pending pending = std::move(messages_.front());
  messages_.pop_front();
  ++messages_started_;
  return pending;
}

template <typename C, typename D, typename H>
HandshakeResult HandshakeState<C, D, H>::WriteMessage(std::span<const std::uint8_t> payload,
                                                      std::span<std::uint8_t> message) {
  if (messages_.empty()) {
    throw "Cannot call WriteMessage after the handshake has already been completed.";
  }
  const std::size_t size = payload.size() + Overhead(messages_.front().tokens);
  if (size > Protocol::MaxMessageLength) {
    throw "Noise message must be less than or equal to Protocol::MaxMessageLength bytes in "
          "length.";
  }
  if (size > message.size()) {
    throw "Message buffer does not have enough space to hold the ciphertext.";
  }
  if (!turn_to_write_) {
    throw "Unexpected call to WriteMessage (should be ReadMessage).";
  }

  const Pending pending = TakeNextMessage();
  std::size_t offset = 0;
  for (PatternToken token : pending.tokens) {
    switch (token) {
      case PatternToken::E: {
        if (e_ != nullptr) {
          throw "WriteE failed, KeyPair is not emtpy";
        }
        e_ = dh_->GenerateKeyPair();
        const SecureBytes& public_key = e_->PublicKey();
        std::copy(public_key.begin(), public_key.end(), message.begin() + offset);
        offset += public_key.size();
        symmetric_->MixHash(public_key);
        if (psk_) {
          symmetric_->MixKey(public_key);
        }
        break;
      }
      case PatternToken::S:
        if (s_ == nullptr) {
          throw "WriteS failed, KeyPair is empty";
        }
        offset += symmetric_->EncryptAndHash(s_->PublicKey(), message.subspan(offset));
        break;
      default:
        MixDh(token);
        break;
    }
  }
  offset += symmetric_->EncryptAndHash(payload, message.subspan(offset));
  if (offset != size) {
    throw "Write Message failed, ciphertext size";
  }
  turn_to_write_ = false;
  return messages_.empty() ? Finish(offset) : HandshakeResult{offset, {}, nullptr};
}

template <typename C, typename D, typename H>
HandshakeResult HandshakeState<C, D, H>::ReadMessage(std::span<const std::uint8_t> message,
                                                     std::span<std::uint8_t> payload) {
  if (messages_.empty()) {
    throw "Cannot call WriteMessage after the handshake has already been completed.";
  }
  if (message.size() > Protocol::MaxMessageLength) {
    throw "Noise message must be less than or equal to Protocol::MaxMessageLength bytes in "
          "length.";
  }
  const std::size_t overhead = Overhead(messages_.front().tokens);
  if (message.size() < overhead) {
    throw "Noise message must be greater than or equal to {overhead} bytes in length.";
  }
  if (payload.size() < message.size() - overhead) {
    throw "Payload buffer does not have enough space to hold the plaintext.";
  }
  if (turn_to_write_) {
    throw "Unexpected call to ReadMessage (should be WriteMessage).";
  }

  const Pending pending = TakeNextMessage();
  std::size_t offset = 0;
  for (PatternToken token : pending.tokens) {
    switch (token) {
      case PatternToken::E: {
        if (!re_.empty()) {
          throw "ReadE failed";
        }
        re_.assign(message.begin() + offset, message.begin() + offset + kDhLen);
        offset += kDhLen;
        symmetric_->MixHash(re_);
        if (psk_) {
          symmetric_->MixKey(re_);
        }
        break;
      }
      case PatternToken::S: {
        if (!rs_.empty()) {
          throw "ReadS failed";
        }
        const std::size_t length = kDhLen + (symmetric_->HasKey() ? kTagSize : 0);
        std::array<std::uint8_t, kDhLen> key;
        symmetric_->DecryptAndHash(message.subspan(offset, length), key);
        rs_.assign(key.begin(), key.end());
        offset += length;
        break;
      }
      default:
        MixDh(token);
        break;
    }
  }
  const std::size_t read = symmetric_->DecryptAndHash(message.subspan(offset), payload);
  if (read != message.size() - overhead) {
    throw "ReadMessage failed, bytesRead != plaintextSize";
  }
  turn_to_write_ = true;
  return messages_.empty() ? Finish(read) : HandshakeResult{read, {}, nullptr};
}

template <typename C, typename D, typename H>
HandshakeResult HandshakeState<C, D, H>::Finish(std::size_t bytes) {
  auto [c1, c2] = symmetric_->Split();
  if (one_way_) {
    c2 = nullptr;
  }
  if (!psks_.empty()) {
    throw "Split failed, psks is not null";
  }
  HandshakeResult result;
  result.bytes = bytes;
  const auto h = symmetric_->GetHandshakeHash();
  result.handshake_hash.assign(h.begin(), h.end());
  // c1 carries the messages of the side that sent the first message: the initiator, or after
  // Fallback the responder.
  const bool sent_first = initiator_sends_first_ ? initiator_ : !initiator_;
  result.transport = std::make_shared<Transport<C>>(sent_first, std::move(c1), std::move(c2));
  return result;
}

template <typename C, typename D, typename H>
void HandshakeState<C, D, H>::Fallback(const std::shared_ptr<const Protocol>& protocol,
                                       const FallbackConfig* config) {
  if (protocol == nullptr) {
    throw "Fallback failed, protocol is null";
  }
  if (config == nullptr) {
    throw "Fallback failed, config is null";
  }
  if (protocol->GetPattern().name != "XX" ||
      protocol->GetModifiers() != std::vector<PatternModifiers>{PatternModifiers::Fallback}) {
    throw "The only fallback pattern currently supported is XXfallback.";
  }
  if (config->local_static_private_key.empty()) {
    throw "Local static private key is required for the XXfallback pattern.";
  }
  if (!initiator_sends_first_) {
    throw "Fallback cannot be applied to a Bob-initiated pattern.";
  }
  if (messages_started_ != 1) {
    throw "Fallback can only be applied after the first handshake message.";
  }
  // Nothing to fall back on without the initiator's ephemeral key from that first message (it
  // becomes the pre-message of XXfallback), nor from a completed (one-way) handshake. This
  // state's cipher and hash are fixed by its type, so the fallback protocol must name the same
  // ones, or the handshake would run under a name that misstates its functions.
  const bool have_ephemeral = initiator_ ? e_ != nullptr : re_.size() == kDhLen;
  if (!have_ephemeral || (!initiator_ && e_ != nullptr) || messages_.empty() ||
      &protocol->GetCipher() != &protocol_->GetCipher() ||
      &protocol->GetHash() != &protocol_->GetHash()) {
    throw "Fallback failed";
  }

  // Build the new state aside and swap it in only once everything has succeeded.
  std::shared_ptr<KeyPair> s;
  std::unique_ptr<Symmetric> symmetric;
  try {
    s = dh_->GenerateKeyPair(config->local_static_private_key);
    symmetric = std::make_unique<Symmetric>(protocol->GetName());
    symmetric->MixHash(config->prologue);
    symmetric->MixHash(initiator_ ? std::span<const std::uint8_t>(e_->PublicKey())
                                  : std::span<const std::uint8_t>(re_));
  } catch (const char*) {
    throw "Fallback failed";
  }
  // XX without its first message: "<- e, ee, s, es" from the responder, then "-> s, se".
  const auto& xx = protocol->GetPattern().messages;
  const std::vector<MessagePattern> remaining(xx.begin() + 1, xx.end());
  auto previous_protocol = std::move(protocol_);
  protocol_ = protocol;
  try {
    QueueMessagesAndKeys(remaining, config->psks);
  } catch (const char*) {
    protocol_ = std::move(previous_protocol);
    throw "Fallback failed";
  }
  symmetric_ = std::move(symmetric);
  s_ = std::move(s);
  rs_.clear();
  if (!initiator_) {
    e_ = nullptr;
  }
  one_way_ = false;
  initiator_sends_first_ = false;
  turn_to_write_ = !initiator_;
}

#define VARLO_NOISE_INSTANTIATE_HANDSHAKE_STATE(C, D, H) template class HandshakeState<C, D, H>;
VARLO_NOISE_HANDSHAKE_STATES(VARLO_NOISE_INSTANTIATE_HANDSHAKE_STATE)
#undef VARLO_NOISE_INSTANTIATE_HANDSHAKE_STATE

}  // namespace varlo::noise
