#include "apps/vcard/card_controller.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "common/hex.h"
#include "platform/net/tcp_connection.h"
#include "platform/process/scratch.h"

namespace varlo::vcard {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

// Plays vpcd: listens, accepts the card's connection and exchanges length-prefixed messages.
class FakeVpcd {
 public:
  FakeVpcd() : listener_(platform::TcpListener::Listen()) {}
  std::uint16_t Port() const { return listener_->Port(); }

  bool Accept() {
    connection_ = listener_->Accept(std::chrono::steady_clock::now() + 5s);
    if (connection_)
      connection_->SetReadTimeout(5s);
    return connection_ != nullptr;
  }

  void Send(const Bytes& payload) {
    Bytes message{static_cast<std::uint8_t>(payload.size() >> 8),
                  static_cast<std::uint8_t>(payload.size())};
    message.insert(message.end(), payload.begin(), payload.end());
    ASSERT_TRUE(connection_->WriteAll(message));
  }
  // The card's answer in hex; "closed" when the card ended the connection.
  std::string Receive() {
    std::uint8_t header[2];
    if (!connection_->ReadExact(header))
      return "closed";
    Bytes payload(static_cast<std::size_t>(header[0]) << 8 | header[1]);
    if (!connection_->ReadExact(payload))
      return "closed";
    return ToHex(payload);
  }
  std::string Exchange(const char* hex) {
    Send(*FromHex(hex));
    return Receive();
  }

 private:
  std::unique_ptr<platform::TcpListener> listener_;
  std::unique_ptr<platform::TcpConnection> connection_;
};

class CardControllerTest : public ::testing::Test {
 protected:
  CardControllerTest() : scratch_("varlo-vcard-test-") {
    image_ = (scratch_.Path() / "a card.json").string();
    std::ofstream(image_) << R"({"uid": "04010203040506", "files": {"3": "a1a2a3"}})";
    VcardConfig config;
    config.port = vpcd_.Port();
    config.trace = &trace_;
    controller_ = std::make_unique<CardController>(
        config, [](std::span<std::uint8_t> out) { std::fill(out.begin(), out.end(), 0x5C); });
  }

  std::string Do(const std::string& line) { return controller_->Handle(line, &quit_); }

  platform::TempDirectory scratch_;
  std::string image_;
  FakeVpcd vpcd_;
  std::ostringstream trace_;
  bool quit_ = false;
  std::unique_ptr<CardController> controller_;
};

TEST_F(CardControllerTest, ServesTheCardUntilRemoved) {
  EXPECT_EQ(Do("status"), "ok removed");
  ASSERT_EQ(Do("present " + image_), "ok");
  ASSERT_TRUE(vpcd_.Accept());
  vpcd_.Send({0x01});  // power on: no answer
  EXPECT_EQ(vpcd_.Exchange("04"), "3b8180018080");
  EXPECT_EQ(vpcd_.Exchange("60"), "af04010101001805");
  EXPECT_EQ(Do("status"), "ok present connected");
  EXPECT_EQ(Do("history"), "ok connected power-on atr 60:af04010101001805");
  EXPECT_EQ(Do("clear-history"), "ok");
  EXPECT_EQ(Do("history"), "ok");
  EXPECT_EQ(Do("remove"), "ok");
  EXPECT_EQ(vpcd_.Receive(), "closed");
  EXPECT_EQ(Do("status"), "ok removed");
  EXPECT_NE(trace_.str().find("> 60\n< af04010101001805\n"), std::string::npos);
}

TEST_F(CardControllerTest, SettingsReachTheCardOnTheReader) {
  ASSERT_EQ(Do("present " + image_), "ok");
  ASSERT_TRUE(vpcd_.Accept());
  EXPECT_EQ(Do("set abort-once 60"), "ok");
  EXPECT_EQ(vpcd_.Exchange("60"), "ca");
  EXPECT_EQ(vpcd_.Exchange("60"), "af04010101001805");
  EXPECT_EQ(vpcd_.Exchange("af"), "af04010101041805");
  EXPECT_EQ(vpcd_.Exchange("af"), "0004010203040506ba7c4000012a14");
  EXPECT_EQ(Do("set atr 3b818001808000"), "ok");
  EXPECT_EQ(vpcd_.Exchange("04"), "3b818001808000");
  EXPECT_EQ(Do("inject 60 af0401"), "ok");
  EXPECT_EQ(Do("inject 60 9000"), "ok");
  EXPECT_EQ(vpcd_.Exchange("60"), "af0401");
  EXPECT_EQ(vpcd_.Exchange("9060000000"), "9000");
}

TEST_F(CardControllerTest, SettingsOutliveTheCardAndApplyToTheNextOne) {
  EXPECT_EQ(Do("set key-type aes"), "ok");
  ASSERT_EQ(Do("present " + image_), "ok");
  ASSERT_TRUE(vpcd_.Accept());
  EXPECT_EQ(vpcd_.Exchange("5a000001"), "00");
  EXPECT_EQ(vpcd_.Exchange("0a00"), "ae");  // the key is an AES key now
}

TEST_F(CardControllerTest, RefusesBadCommands) {
  EXPECT_EQ(Do(""), "error empty command");
  EXPECT_EQ(Do("dance"), "error unknown command: dance");
  EXPECT_EQ(Do("present"), "error present takes an image file");
  EXPECT_EQ(Do("present   "), "error present takes an image file");
  EXPECT_EQ(Do("present /nonexistent.json"), "error cannot read card image /nonexistent.json");
  EXPECT_EQ(Do("set chunk 0"), "error chunk takes a number from 1 to 59");
  EXPECT_EQ(Do("set wrapped-only yes"), "error wrapped-only takes on or off");
  EXPECT_EQ(Do("set abort-once 6000"), "error abort-once takes a command byte in hex");
  EXPECT_EQ(Do("set key-type des"), "error key-type takes 2k3des or aes");
  EXPECT_EQ(Do("set atr xyz"), "error atr takes 1 to 33 bytes in hex");
  EXPECT_EQ(Do("set colour red"), "error unknown setting: colour");
  EXPECT_EQ(Do("inject 6 00"), "error inject takes a command byte in hex");
  EXPECT_EQ(Do("inject 60 0"), "error inject takes an answer in hex or -");
  EXPECT_FALSE(quit_);
  EXPECT_EQ(Do("quit"), "ok");
  EXPECT_TRUE(quit_);
}

}  // namespace
}  // namespace varlo::vcard
