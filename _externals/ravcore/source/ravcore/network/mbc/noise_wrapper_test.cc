// The Noise layer between two wrappers joined by in-memory queues, so that the test sees and
// can tamper with every message on the way.
#include "ravcore/network/mbc/noise_wrapper.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <mutex>
#include <span>
#include <thread>

#include "ravcore/network/pipe_test_util.h"

namespace ravcore::network::mbc {

struct NoiseWrapperTestAccess {
  static std::span<const std::uint8_t> ReceiveBuffer(const NoiseWrapper& noise) {
    return noise.receiveBuffer_;
  }
};

namespace {

using namespace testing_util;
using namespace std::chrono_literals;

// One direction of an in-memory link: what is written is read at the other end, in order.
class Queue : public IMessageReader, public IMessageWriter {
 public:
  Message Read() override {
    std::lock_guard lock(mutex_);
    if (messages_.empty())
      return Message::Empty();
    Message m = std::move(messages_.front());
    messages_.pop_front();
    return m;
  }
  void Write(const Message& message) override {
    std::lock_guard lock(mutex_);
    messages_.push_back(message);
    written.emplace_back(message.Bytes().begin(), message.Bytes().end());
  }

  std::vector<Bytes> written;  // read it only while no thread writes

 private:
  std::mutex mutex_;
  std::deque<Message> messages_;
};

class NoisePair : public ::testing::Test {
 protected:
  NoisePair() {
    initiator->Attach(toInitiator, toResponder);
    responder->Attach(toResponder, toInitiator);
  }

  void Handshake() {
    std::string responderFailure;
    std::thread responderSide(
        [&] { responderFailure = Failure([&] { responder->DoHandshake(); }); });
    EXPECT_EQ(Failure([&] { initiator->DoHandshake(); }), "");
    responderSide.join();
    EXPECT_EQ(responderFailure, "");
  }

  static constexpr NoiseWrapper::Timing kFast{5000ms, 1ms};
  std::shared_ptr<Queue> toInitiator = std::make_shared<Queue>();
  std::shared_ptr<Queue> toResponder = std::make_shared<Queue>();
  std::vector<varlo::SecureBytes> key = {varlo::SecureBytes(32, 7)};
  std::shared_ptr<NoiseWrapper> initiator = std::make_shared<NoiseWrapper>(key, true, kFast);
  std::shared_ptr<NoiseWrapper> responder = std::make_shared<NoiseWrapper>(key, false, kFast);
};

TEST_F(NoisePair, HandshakeThenAuthenticatedMessagesBothWays) {
  Handshake();
  // Each handshake message is e (32), the encrypted static key (48) and the tag of the empty
  // payload (16): with a psk modifier "e" also keys the cipher.
  EXPECT_THAT(toResponder->written, testing::ElementsAre(testing::SizeIs(96)));
  EXPECT_THAT(toInitiator->written, testing::ElementsAre(testing::SizeIs(96)));

  EXPECT_TRUE(responder->Read().IsEmpty());  // nothing has arrived
  const Bytes secret(1000, 0x5A);
  initiator->Write(Message(secret));
  initiator->Write(Message(Bytes{}));
  ASSERT_EQ(toResponder->written.size(), 3u);
  const Bytes genuine = toResponder->written[1];
  EXPECT_EQ(genuine.size(), 1016u);
  EXPECT_EQ(std::search(genuine.begin(), genuine.end(), secret.begin(), secret.begin() + 16),
            genuine.end());
  EXPECT_EQ(toResponder->written[2].size(), 16u);
  EXPECT_EQ(ToBytes(responder->Read()), secret);
  Message empty = responder->Read();
  EXPECT_FALSE(empty.IsEmpty());
  EXPECT_EQ(empty.Size(), 0u);
  responder->Write(Message(Bytes{1, 2, 3}));
  EXPECT_EQ(ToBytes(initiator->Read()), (Bytes{1, 2, 3}));

  // A replayed or a forged message fails authentication, as a NetworkException with the
  // framework's text rather than the framework's C string.
  Bytes forged = genuine;
  forged[3] ^= 0x01;
  for (const Bytes& bad : {genuine, forged}) {
    toResponder->Write(Message(bad));
    EXPECT_EQ(Failure([&] { responder->Read(); }), "Decryption failed. (0)");
  }
}

// Once a message has been handed up, no copy of its plaintext stays in the wrapper.
TEST_F(NoisePair, ReadWipesThePlaintextFromTheReceiveBuffer) {
  Handshake();
  const Bytes secret(300, 0x5A);
  initiator->Write(Message(secret));
  EXPECT_EQ(ToBytes(responder->Read()), secret);
  const auto buffer = NoiseWrapperTestAccess::ReceiveBuffer(*responder);
  EXPECT_EQ(std::search(buffer.begin(), buffer.end(), secret.begin(), secret.begin() + 16),
            buffer.end());
}

TEST_F(NoisePair, OperationsFollowTheHandshakeRules) {
  // The handshake check comes before the empty-marker check.
  EXPECT_EQ(Failure([&] { responder->Read(); }), "No handshake was done. (0)");
  EXPECT_EQ(Failure([&] { responder->Write(Message::Empty()); }), "No handshake was done. (0)");
  EXPECT_FALSE(responder->IsHandshakeDone());
  Handshake();
  EXPECT_TRUE(responder->IsHandshakeDone());
  EXPECT_EQ(Failure([&] { initiator->Write(Message::Empty()); }), "Message is empty. (0)");
  EXPECT_EQ(Failure([&] { responder->DoHandshake(); }), "Handshake was already done. (0)");
  // A plaintext too long for one Noise message fails rather than being truncated.
  EXPECT_THAT(
      Failure([&] { initiator->Write(Message(Bytes(65520))); }),
      testing::AllOf(testing::StartsWith("Noise message must be"), testing::EndsWith("(0)")));
}

}  // namespace
}  // namespace ravcore::network::mbc
