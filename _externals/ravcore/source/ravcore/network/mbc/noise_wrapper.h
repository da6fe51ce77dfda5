// The encryption layer of a message stack: Noise_IXpsk2_25519_ChaChaPoly_BLAKE2b.
//
// It sits right above the record layer, so every Noise message, handshake or transport, is one
// record. `DoHandshake` runs the two-message IX handshake once over the layers below (the
// initiator speaks first; both messages carry empty payloads; the pre-shared key is mixed at
// the end of the second message, so the handshake completes only when both sides hold the same
// key). Afterwards each message written becomes one transport message and each transport
// message read becomes the plaintext again. A new wrapper has a new static key pair, so every
// connection gets one.
//
// Every failure is a NetworkException (code 0): the Noise framework's own failures (wrong key,
// bad or forged message, a plaintext too long), which it throws as C strings, keep their text
// and become NetworkException here, so no C string ever reaches the layers above.
// Writers and the reader have separate locks, so a writer that waits for the peer to read
// never holds up this side's reader, and messages of concurrent writers keep the order of
// their nonces. Plaintext buffers wipe themselves.
#ifndef RAVCORE_NETWORK_MBC_NOISE_WRAPPER_H_
#define RAVCORE_NETWORK_MBC_NOISE_WRAPPER_H_

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <vector>

#include "common/secure_bytes.h"
#include "noise/key_pair.h"
#include "noise/protocol.h"
#include "noise/transport.h"
#include "ravcore/network/mbc/interfaces.h"

namespace ravcore::network::mbc {

class NoiseWrapper : public IMessageReader, public IMessageWriter, public IWrapper {
 public:
  static constexpr const char* kProtocolName = "Noise_IXpsk2_25519_ChaChaPoly_BLAKE2b";

  // How long the handshake waits for the peer's message, and the longest single wait before it
  // reads again. Each wait ends as soon as the layers below see data, so the interval only paces
  // readers below that cannot tell when data comes. Tests shorten them; production uses the
  // defaults.
  struct Timing {
    std::chrono::milliseconds handshakeTimeout{30000};
    std::chrono::milliseconds receiveInterval{30000};
  };

  NoiseWrapper(std::vector<varlo::SecureBytes> preSharedKeys, bool initiator);
  NoiseWrapper(std::vector<varlo::SecureBytes> preSharedKeys, bool initiator, Timing timing);
  ~NoiseWrapper() override;

  // Runs the handshake. "Handshake was already done." on a second call; "Timeout." when the
  // peer's message does not come in time. A failed handshake can not be repeated usefully:
  // the connection must be rebuilt.
  void DoHandshake();
  bool IsHandshakeDone() const { return handshakeDone_.load(); }

  // Both need a completed handshake ("No handshake was done.").
  Message Read() override;
  bool IsMidMessage() override { return lowerReader_ && lowerReader_->IsMidMessage(); }
  bool WaitForData(std::chrono::milliseconds limit,
                   const varlo::platform::WakeEvent* stop) override {
    return lowerReader_->WaitForData(limit, stop);
  }
  void Write(const Message& message) override;
  // The messages' transport messages go down as one batch.
  void WriteBatch(std::span<const Message> messages) override;

  std::shared_ptr<IMessageReader> GetReader() override { return lowerReader_; }
  std::shared_ptr<IMessageWriter> GetWriter() override { return lowerWriter_; }
  void Attach(std::shared_ptr<IMessageReader> reader,
              std::shared_ptr<IMessageWriter> writer) override;

 private:
  friend struct NoiseWrapperTestAccess;  // lets the tests check that plaintext is wiped

  void RunHandshake();
  Message ReceiveWithTimeout();

  std::shared_ptr<IMessageReader> lowerReader_;
  std::shared_ptr<IMessageWriter> lowerWriter_;
  const bool initiator_;
  const std::vector<varlo::SecureBytes> preSharedKeys_;
  const Timing timing_;
  std::atomic<bool> handshakeDone_{false};
  std::shared_ptr<varlo::noise::Protocol> protocol_;
  std::shared_ptr<varlo::noise::KeyPair> staticKeyPair_;

  std::mutex sendMutex_;       // a write: encryption and the write below, in nonce order
  std::mutex receiveMutex_;    // a read: the read below and decryption
  std::mutex transportMutex_;  // the transport's cipher states, for the short crypto calls
  varlo::SecureBytes sendBuffer_;
  varlo::SecureBytes receiveBuffer_;
  std::shared_ptr<varlo::noise::TransportInterface> transport_;
};

}  // namespace ravcore::network::mbc

#endif  // RAVCORE_NETWORK_MBC_NOISE_WRAPPER_H_
