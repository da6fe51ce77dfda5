// End-to-end check of the rig and the virtual card with pcsc-lite alone: pcscd sees the card,
// DESFire commands travel through vpcd in both framings, authentication and chunked reads work,
// and presenting, removing and restarting pcscd behave like a card on a real reader.
#include <PCSC/winscard.h>
#include <cryptopp/des.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <thread>
#include <vector>

#include "card/application_key.h"
#include "common/hex.h"
#include "platform/process/child_process.h"
#include "platform/process/scratch.h"
#include "tests/rig/pcsc_rig.h"

namespace varlo::testrig {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Hex(const char* text) {
  return *FromHex(text);
}

// A PC/SC connection to the card on one reader.
class Connection {
 public:
  explicit Connection(const std::string& reader) {
    EXPECT_EQ(SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context_),
              SCARD_S_SUCCESS);
    EXPECT_EQ(SCardConnect(context_, reader.c_str(), SCARD_SHARE_EXCLUSIVE,
                           SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &card_, &protocol_),
              SCARD_S_SUCCESS);
  }
  ~Connection() {
    SCardDisconnect(card_, SCARD_LEAVE_CARD);
    SCardReleaseContext(context_);
  }

  Bytes Transmit(const Bytes& apdu) {
    const SCARD_IO_REQUEST* pci = protocol_ == SCARD_PROTOCOL_T0 ? SCARD_PCI_T0 : SCARD_PCI_T1;
    Bytes answer(512);
    DWORD size = answer.size();
    LONG rv = SCardTransmit(card_, pci, apdu.data(), apdu.size(), nullptr, answer.data(), &size);
    EXPECT_EQ(rv, SCARD_S_SUCCESS);
    answer.resize(rv == SCARD_S_SUCCESS ? size : 0);
    return answer;
  }
  std::string TransmitHex(const char* apdu) { return ToHex(Transmit(Hex(apdu))); }

  Bytes Atr() {
    char name[256];
    DWORD nameSize = sizeof name;
    DWORD state = 0, protocol = 0;
    Bytes atr(MAX_ATR_SIZE);
    DWORD atrSize = atr.size();
    EXPECT_EQ(SCardStatus(card_, name, &nameSize, &state, &protocol, atr.data(), &atrSize),
              SCARD_S_SUCCESS);
    atr.resize(atrSize);
    return atr;
  }

  LONG Reconnect() {
    return SCardReconnect(card_, SCARD_SHARE_EXCLUSIVE, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1,
                          SCARD_UNPOWER_CARD, &protocol_);
  }

 private:
  SCARDCONTEXT context_ = 0;
  SCARDHANDLE card_ = 0;
  DWORD protocol_ = 0;
};

// Reader side of legacy (native 0x0A) authentication, from the published protocol: the reader
// deciphers everything it sends, y1 = D(RndA), y2 = D(RndB' ^ y1).
void AuthenticateLegacy(Connection& c, const std::array<std::uint8_t, 16>& key) {
  CryptoPP::DES_EDE2::Decryption d(key.data(), key.size());
  Bytes first = c.Transmit(Hex("0a00"));
  ASSERT_EQ(first.size(), 9u);
  ASSERT_EQ(first[0], 0xAF);
  Bytes rndB(8), rndA = Hex("0011223344556677");
  d.ProcessBlock(first.data() + 1, rndB.data());
  std::rotate(rndB.begin(), rndB.begin() + 1, rndB.end());
  Bytes second{0xAF};
  Bytes y1(8), y2(8);
  d.ProcessBlock(rndA.data(), y1.data());
  for (int i = 0; i < 8; ++i)
    rndB[i] ^= y1[i];
  d.ProcessBlock(rndB.data(), y2.data());
  second.insert(second.end(), y1.begin(), y1.end());
  second.insert(second.end(), y2.begin(), y2.end());
  Bytes answer = c.Transmit(second);
  ASSERT_EQ(answer.size(), 9u);
  ASSERT_EQ(answer[0], 0x00);
  Bytes rndA2(8);
  d.ProcessBlock(answer.data() + 1, rndA2.data());
  std::rotate(rndA.begin(), rndA.begin() + 1, rndA.end());
  ASSERT_EQ(ToHex(rndA2), ToHex(rndA));
}

class RigSmokeTest : public ::testing::Test {
 protected:
  RigSmokeTest() {
    CardImageContent content;
    content.uid = "04112233445566";
    Bytes big(200);
    std::iota(big.begin(), big.end(), 0);
    content.files[1] = big;
    content.files[0x1F] = Bytes(96, 0x1F);
    image_ = rig_.WriteImage("card", content);
  }

  PcscRig rig_;
  std::filesystem::path image_;
};

TEST_F(RigSmokeTest, ReaderReadsTheCardNativelyAndSeesItLeave) {
  ASSERT_EQ(rig_.ReaderCount(), 2u);
  EXPECT_FALSE(rig_.WaitForCard(0, true, std::chrono::milliseconds(0)));
  rig_.Present(0, image_);
  {
    Connection c(rig_.ReaderName(0));
    EXPECT_EQ(ToHex(c.Atr()), "3b8180018080");
    EXPECT_EQ(c.TransmitHex("60"), "af04010101001805");
    EXPECT_EQ(c.TransmitHex("af"), "af04010101041805");
    EXPECT_EQ(c.TransmitHex("af").substr(0, 16), "0004112233445566");
    EXPECT_EQ(c.TransmitHex("5a000001"), "00");
    EXPECT_EQ(c.TransmitHex("6f"), "00011f");
    EXPECT_EQ(c.TransmitHex("bd01000000000000"), "ae");
    AuthenticateLegacy(c, ApplicationKey());

    Bytes file;
    Bytes answer = c.Transmit(Hex("bd01000000000000"));
    while (!answer.empty() && answer[0] == 0xAF) {
      file.insert(file.end(), answer.begin() + 1, answer.end());
      answer = c.Transmit(Hex("af"));
    }
    ASSERT_FALSE(answer.empty());
    EXPECT_EQ(answer[0], 0x00);
    file.insert(file.end(), answer.begin() + 1, answer.end());
    ASSERT_EQ(file.size(), 200u);
    for (std::size_t i = 0; i < file.size(); ++i)
      ASSERT_EQ(file[i], i);
  }
  rig_.Remove(0);
  EXPECT_EQ(rig_.Card(0).Status(), "removed");
}

TEST_F(RigSmokeTest, WrappedOnlyCardRefusesNativeFrames) {
  rig_.Card(0).Set("wrapped-only", "on");
  rig_.Present(0, image_);
  Connection c(rig_.ReaderName(0));
  EXPECT_EQ(c.TransmitHex("5a000001"), "6700");
  EXPECT_EQ(c.TransmitHex("905a00000300000100"), "9100");
  EXPECT_EQ(c.TransmitHex("9060000000"), "0401010100180591af");
}

TEST_F(RigSmokeTest, AbortedCommandRecoversAfterReconnect) {
  rig_.Card(0).Set("abort-once", "60");
  rig_.Present(0, image_);
  Connection c(rig_.ReaderName(0));
  rig_.Card(0).ClearHistory();
  EXPECT_EQ(c.TransmitHex("60"), "ca");
  ASSERT_EQ(c.Reconnect(), SCARD_S_SUCCESS);
  EXPECT_EQ(c.TransmitHex("60"), "af04010101001805");
  // The card saw the power cycle of the reconnect between the two commands.
  auto history = rig_.Card(0).History();
  ASSERT_GE(history.size(), 3u);
  EXPECT_EQ(history.front(), "60:ca");
  EXPECT_EQ(history.back(), "60:af04010101001805");
  EXPECT_NE(std::find(history.begin(), history.end(), "power-off"), history.end());
}

TEST_F(RigSmokeTest, HeldCardRefusesOtherConnections) {
  rig_.Present(0, image_);
  ReaderHold hold(rig_.ReaderName(0));
  SCARDCONTEXT context;
  ASSERT_EQ(SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context), SCARD_S_SUCCESS);
  SCARDHANDLE card;
  DWORD protocol;
  auto connect = [&] {
    return SCardConnect(context, rig_.ReaderName(0).c_str(), SCARD_SHARE_EXCLUSIVE,
                        SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &card, &protocol);
  };
  EXPECT_EQ(connect(), static_cast<LONG>(SCARD_E_SHARING_VIOLATION));
  hold.Release();
  EXPECT_EQ(connect(), SCARD_S_SUCCESS);
  SCardDisconnect(card, SCARD_LEAVE_CARD);
  SCardReleaseContext(context);
}

TEST_F(RigSmokeTest, CardStaysOnItsReaderWhilePcscdRestarts) {
  rig_.Present(1, image_);
  rig_.RestartPcscd();
  ASSERT_TRUE(rig_.WaitForCard(1, true));
  EXPECT_FALSE(rig_.WaitForCard(0, true, std::chrono::milliseconds(0)));
  Connection c(rig_.ReaderName(1));
  EXPECT_EQ(c.TransmitHex("60"), "af04010101001805");
}

TEST_F(RigSmokeTest, ReadersCanBeUnpluggedAndPluggedBackIn) {
  rig_.Present(1, image_);
  rig_.SetReadersPlugged(false);
  {
    SCARDCONTEXT context;
    ASSERT_EQ(SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context),
              SCARD_S_SUCCESS);
    DWORD size = 0;
    EXPECT_EQ(SCardListReaders(context, nullptr, nullptr, &size),
              static_cast<LONG>(SCARD_E_NO_READERS_AVAILABLE));
    SCardReleaseContext(context);
  }
  rig_.SetReadersPlugged(true);
  EXPECT_TRUE(rig_.WaitForCard(1, true));
}

TEST_F(RigSmokeTest, TwoReadersServeTwoCards) {
  CardImageContent other;
  other.uid = "04AABBCCDDEEFF";
  rig_.Present(0, image_);
  rig_.Present(1, rig_.WriteImage("other", other));
  for (std::size_t reader : {0, 1}) {
    Connection c(rig_.ReaderName(reader));
    c.TransmitHex("60");
    c.TransmitHex("af");
    EXPECT_EQ(c.TransmitHex("af").substr(2, 14), reader == 0 ? "04112233445566" : "04aabbccddeeff");
  }
  rig_.Card(0).Set("application", "off");
  rig_.Remove(0);
  rig_.Present(0, image_);
  Connection c(rig_.ReaderName(0));
  EXPECT_EQ(c.TransmitHex("5a000001"), "a0");
}

TEST(RigTakeOverTest, StopsAPcscdThatWasAlreadyRunning) {
  // A pcscd that is not the rig's child, as one started by the system.
  platform::TempDirectory scratch("varlo-rig-test-");
  std::filesystem::create_directories(scratch.Path() / "conf");
  platform::SpawnOptions options;
  options.argv = {
      "sh", "-c",
      "pcscd -f -c " + (scratch.Path() / "conf").string() + " >/dev/null 2>&1 & echo $!; wait"};
  options.pipeStdout = true;
  auto shell = platform::ChildProcess::Spawn(options);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  auto line = shell->ReadLine(deadline);
  ASSERT_TRUE(line);
  const int pid = std::stoi(*line);
  auto running = [pid] {
    auto found = platform::FindProcessesByName("pcscd");
    return std::find(found.begin(), found.end(), pid) != found.end();
  };
  // Until the background shell has become pcscd, it is not one to find.
  while (!running() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_TRUE(running());
  {
    PcscRig rig;
    EXPECT_FALSE(running());
    EXPECT_TRUE(rig.PcscdRunning());
  }
  EXPECT_TRUE(shell->WaitExit(deadline));
  if (running())
    platform::TerminateProcess(pid, std::chrono::seconds(5));
}

TEST(RigErrorsTest, BadImageIsReportedByTheCard) {
  PcscRig rig;
  try {
    rig.Card(0).Present(rig.Directory() / "missing.json");
    FAIL() << "no error";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("cannot read card image"), std::string::npos);
  }
}

}  // namespace
}  // namespace varlo::testrig
