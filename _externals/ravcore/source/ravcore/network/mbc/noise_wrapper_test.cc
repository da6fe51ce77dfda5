// The Noise layer between two wrappers joined by in-memory queues.
#include "ravcore/network/mbc/noise_wrapper.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ravcore/network/network_exception.h"

namespace ravcore::network::mbc {
namespace {

using Bytes = std::vector<std::uint8_t>;
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
    written_.emplace_back(message.Bytes().begin(), message.Bytes().end());
  }
  std::vector<Bytes> Written() {
    std::lock_guard lock(mutex_);
    return written_;
  }
  void Inject(Bytes bytes) {
    std::lock_guard lock(mutex_);
    messages_.push_back(Message(varlo::SecureBytes(bytes.begin(), bytes.end())));
  }

 private:
  std::mutex mutex_;
  std::deque<Message> messages_;
  std::vector<Bytes> written_;
};

std::vector<varlo::SecureBytes> Key(std::uint8_t fill) {
  return {varlo::SecureBytes(32, fill)};
}

template <typename Call>
std::string NoiseFailure(Call call) {
  try {
    call();
  } catch (const char* text) {
    return text;
  } catch (const std::exception& error) {
    return std::string("other: ") + error.what();
  }
  return "nothing thrown";
}

template <typename Call>
std::string NetworkFailure(Call call) {
  try {
    call();
  } catch (const NetworkException& error) {
    EXPECT_EQ(error.GetSystemErrorCode(), 0u);
    return error.what();
  }
  return "nothing thrown";
}

class NoisePair : public ::testing::Test {
 protected:
  static constexpr NoiseWrapper::Timing kFast{5000ms, 1ms};

  NoisePair(std::uint8_t initiatorKey = 7, std::uint8_t responderKey = 7)
      : initiator(std::make_shared<NoiseWrapper>(Key(initiatorKey), true, kFast)),
        responder(std::make_shared<NoiseWrapper>(Key(responderKey), false, kFast)) {
    initiator->Attach(toInitiator, toResponder);
    responder->Attach(toResponder, toInitiator);
  }

  // Runs both handshakes; returns what the initiator's threw ("" when it succeeded).
  std::string Handshake() {
    std::string responderFailure;
    std::thread responderSide(
        [&] { responderFailure = NoiseFailure([&] { responder->DoHandshake(); }); });
    std::string initiatorFailure = NoiseFailure([&] { initiator->DoHandshake(); });
    responderSide.join();
    EXPECT_EQ(responderFailure, "nothing thrown");
    return initiatorFailure == "nothing thrown" ? "" : initiatorFailure;
  }

  std::shared_ptr<Queue> toInitiator = std::make_shared<Queue>();
  std::shared_ptr<Queue> toResponder = std::make_shared<Queue>();
  std::shared_ptr<NoiseWrapper> initiator;
  std::shared_ptr<NoiseWrapper> responder;
};

TEST_F(NoisePair, HandshakeOfTwoEmptyPayloadMessagesThenEncryptedMessagesBothWays) {
  ASSERT_EQ(Handshake(), "");
  EXPECT_TRUE(initiator->IsHandshakeDone());
  EXPECT_TRUE(responder->IsHandshakeDone());
  // With a psk modifier "e" also keys the cipher, so both messages are e (32), an encrypted
  // static key (48) and the tag of the empty payload (16).
  ASSERT_EQ(toResponder->Written().size(), 1u);
  EXPECT_EQ(toResponder->Written()[0].size(), 96u);
  EXPECT_EQ(toInitiator->Written()[0].size(), 96u);

  EXPECT_TRUE(responder->Read().IsEmpty());  // nothing has arrived
  const Bytes secret(1000, 0x5A);
  initiator->Write(Message(secret));
  initiator->Write(Message(Bytes{}));
  const std::vector<Bytes> wire = toResponder->Written();
  ASSERT_EQ(wire.size(), 3u);
  EXPECT_EQ(wire[2].size(), 16u);
  EXPECT_EQ(wire[1].size(), 1016u);
  EXPECT_EQ(std::search(wire[1].begin(), wire[1].end(), secret.begin(), secret.begin() + 16),
            wire[1].end());
  Message first = responder->Read();
  EXPECT_EQ(Bytes(first.Bytes().begin(), first.Bytes().end()), secret);
  Message empty = responder->Read();
  EXPECT_FALSE(empty.IsEmpty());
  EXPECT_EQ(empty.Size(), 0u);

  responder->Write(Message(Bytes{1, 2, 3}));
  EXPECT_EQ(initiator->Read().Size(), 3u);
}

TEST_F(NoisePair, OperationsFollowTheHandshakeRules) {
  EXPECT_EQ(NetworkFailure([&] { responder->Read(); }), "No handshake was done.");
  EXPECT_EQ(NetworkFailure([&] { responder->Write(Message::Empty()); }), "No handshake was done.");
  ASSERT_EQ(Handshake(), "");
  EXPECT_EQ(NetworkFailure([&] { initiator->Write(Message::Empty()); }), "Message is empty.");
  EXPECT_EQ(NetworkFailure([&] { responder->DoHandshake(); }), "Handshake was already done.");
  EXPECT_EQ(NetworkFailure([&] { initiator->DoHandshake(); }), "Handshake was already done.");
  // A message too long for one Noise message is the framework's failure, not a truncation.
  EXPECT_NE(NoiseFailure([&] { initiator->Write(Message(Bytes(65520))); }), "nothing thrown");
}

TEST_F(NoisePair, ForgedOrReplayedTransportMessageFailsAuthentication) {
  ASSERT_EQ(Handshake(), "");
  initiator->Write(Message(Bytes(40, 1)));
  const Bytes genuine = toResponder->Written().back();
  EXPECT_EQ(responder->Read().Size(), 40u);
  toResponder->Inject(genuine);
  EXPECT_NE(NoiseFailure([&] { responder->Read(); }), "nothing thrown");

  initiator->Write(Message(Bytes(40, 2)));
  Bytes forged = toResponder->Written().back();
  forged[3] ^= 0x01;
  toResponder->Read();  // the genuine one is lost on the way
  toResponder->Inject(forged);
  EXPECT_NE(NoiseFailure([&] { responder->Read(); }), "nothing thrown");
}

class NoisePairWithDifferentKeys : public NoisePair {
 protected:
  NoisePairWithDifferentKeys() : NoisePair(7, 8) {}
};

TEST_F(NoisePairWithDifferentKeys, HandshakeFailsOnTheSecondMessage) {
  const std::string failure = Handshake();  // the responder completes its side unaware
  EXPECT_NE(failure, "");
  EXPECT_THAT(failure, testing::Not(testing::StartsWith("other")));
  EXPECT_FALSE(initiator->IsHandshakeDone());
  EXPECT_EQ(toInitiator->Written().size(), 1u);
}

TEST(NoiseWrapper, ResponderGivesUpWithTimeoutWhenThePeerStaysSilent) {
  auto silent = std::make_shared<Queue>();
  auto sink = std::make_shared<Queue>();
  NoiseWrapper responder(Key(7), false, NoiseWrapper::Timing{150ms, 5ms});
  responder.Attach(silent, sink);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(NetworkFailure([&] { responder.DoHandshake(); }), "Timeout.");
  EXPECT_GE(std::chrono::steady_clock::now() - start, 150ms);
  EXPECT_FALSE(responder.IsHandshakeDone());
  EXPECT_TRUE(sink->Written().empty());
}

}  // namespace
}  // namespace ravcore::network::mbc
