#include "ravcore/network/mbc/noise_wrapper.h"

#include <algorithm>
#include <span>
#include <utility>

#include "noise/curve25519.h"
#include "noise/handshake_state.h"
#include "ravcore/network/network_exception.h"

namespace ravcore::network::mbc {
namespace {

// One DH object for the process; it keeps no keys between calls.
const std::shared_ptr<varlo::noise::Curve25519>& SharedCurve25519() {
  static const auto curve = std::make_shared<varlo::noise::Curve25519>();
  return curve;
}

// Runs `call` with the Noise framework's C-string failures turned into NetworkException with the
// same text, so that no layer above has to know that the framework throws C strings.
template <typename Call>
decltype(auto) Translated(Call&& call) {
  try {
    return call();
  } catch (const char* text) {
    throw NetworkException(text != nullptr ? text : "Noise failure.");
  }
}

}  // namespace

NoiseWrapper::NoiseWrapper(std::vector<varlo::SecureBytes> preSharedKeys, bool initiator)
    : NoiseWrapper(std::move(preSharedKeys), initiator, Timing{}) {}

NoiseWrapper::NoiseWrapper(std::vector<varlo::SecureBytes> preSharedKeys, bool initiator,
                           Timing timing)
    : initiator_(initiator),
      preSharedKeys_(std::move(preSharedKeys)),
      timing_(timing),
      protocol_(Translated([] { return varlo::noise::Protocol::Parse(kProtocolName); })),
      staticKeyPair_(Translated([] { return SharedCurve25519()->GenerateKeyPair(); })),
      sendBuffer_(varlo::noise::Protocol::MaxMessageLength),
      receiveBuffer_(varlo::noise::Protocol::MaxMessageLength) {}

NoiseWrapper::~NoiseWrapper() = default;

void NoiseWrapper::Attach(std::shared_ptr<IMessageReader> reader,
                          std::shared_ptr<IMessageWriter> writer) {
  lowerReader_ = std::move(reader);
  lowerWriter_ = std::move(writer);
}

void NoiseWrapper::DoHandshake() {
  Translated([this] { RunHandshake(); });
}

void NoiseWrapper::RunHandshake() {
  std::scoped_lock lock(sendMutex_, receiveMutex_, transportMutex_);
  if (handshakeDone_)
    throw NetworkException("Handshake was already done.");
  std::shared_ptr<varlo::noise::HandshakeStateInterface> state =
      protocol_->Create(initiator_, {}, staticKeyPair_->PrivateKey(), {}, preSharedKeys_);
  std::shared_ptr<varlo::noise::TransportInterface> transport;
  auto sendOwn = [&] {
    varlo::noise::HandshakeResult written = state->WriteMessage({}, sendBuffer_);
    lowerWriter_->Write(Message(std::span<const std::uint8_t>(sendBuffer_).first(written.bytes)));
    return written.transport;
  };
  auto receivePeers = [&] {
    Message received = ReceiveWithTimeout();
    return state->ReadMessage(received.Bytes(), receiveBuffer_).transport;
  };
  if (initiator_) {
    sendOwn();
    transport = receivePeers();
  } else {
    receivePeers();
    transport = sendOwn();
  }
  if (!transport)
    throw NetworkException("Handshake failed.");
  transport_ = std::move(transport);
  handshakeDone_ = true;
}

Message NoiseWrapper::ReceiveWithTimeout() {
  const auto start = std::chrono::steady_clock::now();
  for (;;) {
    Message message = lowerReader_->Read();
    if (!message.IsEmpty())
      return message;
    const auto waited = std::chrono::steady_clock::now() - start;
    if (waited > timing_.handshakeTimeout)
      throw NetworkException("Timeout.");
    // Ends as soon as the peer's message arrives; one millisecond past the time-out, so that
    // the look after it is past the time-out too.
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(timing_.handshakeTimeout - waited) +
        std::chrono::milliseconds(1);
    lowerReader_->WaitForData(std::min(left, timing_.receiveInterval), nullptr);
  }
}

void NoiseWrapper::Write(const Message& message) {
  WriteBatch(std::span(&message, 1));
}

void NoiseWrapper::WriteBatch(std::span<const Message> messages) {
  if (!handshakeDone_)
    throw NetworkException("No handshake was done.");
  for (const Message& message : messages) {
    if (message.IsEmpty())
      throw NetworkException("Message is empty.");
  }
  // The send lock stays held until the layer below has the ciphertexts, so that they reach it
  // in the order of their nonces.
  std::lock_guard send(sendMutex_);
  std::vector<Message> ciphertexts;
  ciphertexts.reserve(messages.size());
  for (const Message& message : messages) {
    std::size_t n;
    {
      std::lock_guard transport(transportMutex_);
      n = Translated([&] { return transport_->WriteMessage(message.Bytes(), sendBuffer_); });
    }
    ciphertexts.emplace_back(std::span<const std::uint8_t>(sendBuffer_).first(n));
  }
  lowerWriter_->WriteBatch(ciphertexts);
}

Message NoiseWrapper::Read() {
  if (!handshakeDone_)
    throw NetworkException("No handshake was done.");
  std::lock_guard receive(receiveMutex_);
  Message ciphertext = lowerReader_->Read();
  if (ciphertext.IsEmpty())
    return ciphertext;
  std::span<std::uint8_t> plaintext(receiveBuffer_);
  std::size_t n;
  try {
    std::lock_guard transport(transportMutex_);
    n = Translated([&] { return transport_->ReadMessage(ciphertext.Bytes(), plaintext); });
  } catch (...) {
    varlo::Wipe(plaintext.first(std::min(plaintext.size(), ciphertext.Size())));
    throw;
  }
  Message message(plaintext.first(n));
  varlo::Wipe(plaintext.first(n));
  return message;
}

}  // namespace ravcore::network::mbc
