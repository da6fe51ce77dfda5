#include "ravcore/network/mbc/noise_wrapper.h"

#include <algorithm>
#include <span>
#include <thread>
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

}  // namespace

NoiseWrapper::NoiseWrapper(std::vector<varlo::SecureBytes> preSharedKeys, bool initiator)
    : NoiseWrapper(std::move(preSharedKeys), initiator, Timing{}) {}

NoiseWrapper::NoiseWrapper(std::vector<varlo::SecureBytes> preSharedKeys, bool initiator,
                           Timing timing)
    : initiator_(initiator),
      preSharedKeys_(std::move(preSharedKeys)),
      timing_(timing),
      protocol_(varlo::noise::Protocol::Parse(kProtocolName)),
      staticKeyPair_(SharedCurve25519()->GenerateKeyPair()),
      sendBuffer_(varlo::noise::Protocol::MaxMessageLength),
      receiveBuffer_(varlo::noise::Protocol::MaxMessageLength) {}

NoiseWrapper::~NoiseWrapper() = default;

void NoiseWrapper::Attach(std::shared_ptr<IMessageReader> reader,
                          std::shared_ptr<IMessageWriter> writer) {
  lowerReader_ = std::move(reader);
  lowerWriter_ = std::move(writer);
}

void NoiseWrapper::DoHandshake() {
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
    if (std::chrono::steady_clock::now() - start > timing_.handshakeTimeout) {
      throw NetworkException("Timeout.");
    }
    std::this_thread::sleep_for(timing_.receiveInterval);
  }
}

void NoiseWrapper::Write(const Message& message) {
  if (!handshakeDone_)
    throw NetworkException("No handshake was done.");
  if (message.IsEmpty())
    throw NetworkException("Message is empty.");
  std::lock_guard send(sendMutex_);
  std::size_t n;
  {
    std::lock_guard transport(transportMutex_);
    n = transport_->WriteMessage(message.Bytes(), sendBuffer_);
  }
  lowerWriter_->Write(Message(std::span<const std::uint8_t>(sendBuffer_).first(n)));
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
    n = transport_->ReadMessage(ciphertext.Bytes(), plaintext);
  } catch (...) {
    varlo::Wipe(plaintext.first(std::min(plaintext.size(), ciphertext.Size())));
    throw;
  }
  Message message(plaintext.first(n));
  varlo::Wipe(plaintext.first(n));
  return message;
}

}  // namespace ravcore::network::mbc
