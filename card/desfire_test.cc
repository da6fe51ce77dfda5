// The command layer against a simulated card behind the scripted PC/SC. Cards without the token
// application or with another application key are read through pcscd by the card end-to-end
// tests.
#include "card/desfire.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>

#include "card/application_key.h"
#include "card/testing/fake_pcsc.h"
#include "card/testing/log_capture.h"
#include "common/hex.h"

namespace varlo {
namespace {

using testing::Bytes;
using testing::FakePcsc;
using testing::LogPattern;
using testing::SimulatedDesfire;

// The module's log in a file, at debug level, from before the first log call.
[[maybe_unused]] const auto* const kLogEnvironment =
    ::testing::AddGlobalTestEnvironment(new testing::LogCaptureEnvironment);

LogPattern Line(LogLevel level, std::string text) {
  return {level, "Desfire", std::move(text), false};
}

constexpr char kReader[] = "Test Reader 00";
constexpr std::uint64_t kUid = 0x04112233445566;

Bytes PropertyFile(const std::string& label) {
  Bytes file(96, 0);
  file[0] = 3;
  file[1] = 0x6B, file[2] = 0x76, file[3] = 0x79, file[4] = 0x72;
  file[23] = static_cast<std::uint8_t>(label.size());
  std::copy(label.begin(), label.end(), file.begin() + 24);
  return file;
}

template <typename F>
std::string FailureText(F&& f) {
  try {
    f();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "no exception";
}

class DesfireTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto key = ApplicationKey();
    std::copy(key.begin(), key.end(), card->appKey.begin());
    card->files[0x1F] = PropertyFile("Unit token");
    card->files[0x1D] = Bytes(48, 0x13);
    card->files[0x01] = Bytes(150, 0xA5);  // three answer frames
    pcsc.AddReader(kReader);
    pcsc.InsertCard(kReader, card);
  }

  std::unique_ptr<Desfire> MakeDesfire() {
    return std::make_unique<Desfire>(
        kReader, [this](DesfireData data) { reported.push_back(std::move(data)); }, pcsc,
        DesfireTimings{std::chrono::milliseconds(1)});
  }

  // The command layer logs on the caller's thread, so its lines are written by the time a call
  // returns.
  ::testing::AssertionResult Logged(const std::vector<LogPattern>& lines) {
    return testing::LogCapture::Install().WaitForLines(mark, lines, std::chrono::seconds(1));
  }

  std::uintmax_t mark = testing::LogCapture::Install().Mark();
  FakePcsc pcsc;
  std::shared_ptr<SimulatedDesfire> card = std::make_shared<SimulatedDesfire>();
  std::vector<DesfireData> reported;
};

TEST_F(DesfireTest, LoadReadsTheTokenApplicationInNativeFraming) {
  MakeDesfire()->Load();
  ASSERT_EQ(reported.size(), 1u);
  EXPECT_EQ(reported[0].uid, kUid);
  EXPECT_EQ(reported[0].label, "Unit token");
  EXPECT_EQ(reported[0].pinData, SecureBytes(48, 0x13));

  std::vector<Bytes> sent = pcsc.Sent();
  ASSERT_EQ(sent.size(), 13u);  // 150 bytes come in three frames, 96 in two
  EXPECT_EQ(sent[5].size(), 17u);
  EXPECT_EQ(sent[5][0], 0xAF);
  sent.erase(sent.begin() + 5);
  std::vector<std::string> frames;
  for (const Bytes& frame : sent)
    frames.push_back(ToHex(frame));
  EXPECT_EQ(frames, (std::vector<std::string>{"60", "af", "af", "5a000001", "0a00", "6f",
                                              "bd01000000000000", "af", "af", "bd1d000000000000",
                                              "bd1f000000000000", "af"}));
  EXPECT_EQ(pcsc.ConnectShareModes(), std::vector<DWORD>{SCARD_SHARE_EXCLUSIVE});
  EXPECT_EQ(pcsc.OpenCards(), 0);
  // The authentication exchange and file contents are withheld from the frame dumps.
  EXPECT_TRUE(Logged(
      {Line(LogLevel::Debug, "Desfire::Transmit Sending: [ 0a <1 byte withheld> ] (2 byte)"),
       Line(LogLevel::Debug, "Desfire::Transmit Received: [ af <8 byte withheld> ] (9 byte)"),
       Line(LogLevel::Debug, "Desfire::Transmit Sending: [ af <16 byte withheld> ] (17 byte)"),
       Line(LogLevel::Debug, "Desfire::Transmit Received: [ 00 <8 byte withheld> ] (9 byte)"),
       Line(LogLevel::Debug, "Desfire::Auth Authentication succeeded:"),
       Line(LogLevel::Debug, "Desfire::Auth \tKey number: 0"),
       Line(LogLevel::Debug, "Desfire::Auth \tKey type: 2k3DES"),
       Line(LogLevel::Debug, "Desfire::Transmit Sending: [ bd 01 00 00 00 00 00 00 ] (8 byte)"),
       Line(LogLevel::Debug, "Desfire::Transmit Received: [ af <59 byte withheld> ] (60 byte)"),
       Line(LogLevel::Info, "Desfire::ReadDataFile 150 bytes read from file 1"),
       Line(LogLevel::Debug, "Desfire::Load Loading Desfire completed.")}));
  for (const testing::LogLine& line : testing::LogCapture::Install().LinesSince(mark)) {
    EXPECT_EQ(line.text.find("13 13"), std::string::npos) << line;  // the PIN file
    EXPECT_EQ(line.text.find("a5 a5"), std::string::npos) << line;
  }
}

TEST_F(DesfireTest, WrongLengthSwitchesToWrappedResendsAndKeepsWrapping) {
  card->requireWrapped = true;
  auto desfire = MakeDesfire();
  desfire->Load();
  ASSERT_EQ(reported.size(), 1u);
  EXPECT_EQ(reported[0].label, "Unit token");
  EXPECT_TRUE(desfire->WrappedMode());
  std::vector<Bytes> sent = pcsc.Sent();
  ASSERT_GE(sent.size(), 6u);
  EXPECT_EQ(sent[0], Bytes{0x60});
  EXPECT_EQ(sent[1], (Bytes{0x90, 0x60, 0x00, 0x00, 0x00}));
  EXPECT_EQ(sent[4], (Bytes{0x90, 0x5A, 0x00, 0x00, 0x03, 0x00, 0x00, 0x01, 0x00}));
  EXPECT_EQ(sent[5], (Bytes{0x90, 0x0A, 0x00, 0x00, 0x01, 0x00, 0x00}));
  for (std::size_t i = 1; i < sent.size(); ++i) {
    EXPECT_EQ(sent[i][0], 0x90) << "frame " << i;
  }
  EXPECT_TRUE(Logged(
      {Line(LogLevel::Debug, "Desfire::Transmit Enabling wrapped apdu mode."),
       Line(LogLevel::Warn, "Desfire::Transmit Retrying with wrapped apdu."),
       Line(LogLevel::Debug, "Desfire::Transmit Received: [ <8 byte withheld> 91 af ] (10 byte)"),
       Line(LogLevel::Debug,
            "Desfire::Transmit Sending: [ 90 af 00 00 10 <16 byte withheld> 00 ] (22 byte)")}));

  // An additional frame answered 67 00 switches the framing but is not sent again.
  card->requireWrapped = false;
  card->intercept = [](const Bytes&) -> std::optional<Bytes> { return Bytes{0x67, 0x00}; };
  desfire = MakeDesfire();
  desfire->StartTransaction();
  DesfireCommand more(kCmdAdditionalFrame, {}, false);
  const std::size_t before = pcsc.Sent().size();
  desfire->Transmit(more);
  EXPECT_EQ(more.status, kStatusWrongLength);
  EXPECT_TRUE(desfire->WrappedMode());
  EXPECT_EQ(pcsc.Sent().size(), before + 1);
  desfire->EndTransaction();
}

// The reconnect after an abort powers the card down, so the card is read again from the start;
// a card another application shares is reconnected shared.
TEST_F(DesfireTest, AbortedCommandReconnectsAndReadsTheCardAgainOnce) {
  const struct {
    std::size_t frame;  // of the reading's frames, as listed in the first test
    std::uint8_t status;
    bool shared;
  } cases[] = {{3, 0xCA, false},   // select
               {5, 0x0B, false},   // second step of the authentication
               {7, 0xCA, true},    // read of file 1
               {8, 0x0B, false}};  // its second frame
  for (const auto& c : cases) {
    SCOPED_TRACE(c.frame);
    card->intercept = [&, n = std::size_t{0}](const Bytes&) mutable -> std::optional<Bytes> {
      if (n++ == c.frame)
        return Bytes{c.status};
      return std::nullopt;
    };
    if (c.shared)
      pcsc.QueueConnectResults(std::vector<LONG>(6, SCARD_E_SHARING_VIOLATION));
    reported.clear();
    const int reconnects = pcsc.Count("Reconnect");
    MakeDesfire()->Load();
    EXPECT_EQ(pcsc.Count("Reconnect"), reconnects + 1);
    EXPECT_EQ(pcsc.ReconnectShareModes().back(),
              static_cast<DWORD>(c.shared ? SCARD_SHARE_SHARED : SCARD_SHARE_EXCLUSIVE));
    ASSERT_EQ(reported.size(), 1u);
    EXPECT_EQ(reported[0].label, "Unit token");
  }
  EXPECT_EQ(pcsc.Count("EndTransaction"), pcsc.Count("BeginTransaction"));
  EXPECT_EQ(pcsc.OpenCards(), 0);
}

// Whatever a command or the callback throws (the Noise layer throws C strings), Load returns,
// ends the transaction and disconnects.
TEST_F(DesfireTest, AnythingThrownIsLoggedAndTheCardReleased) {
  const struct {
    bool inCallback;
    std::function<void()> thrower;
    std::string logged;
  } cases[] = {{false, [] { throw "Card gone"; }, "Desfire::Load Failed loading card: Card gone"},
               {false, [] { throw 42; }, "Desfire::Load Failed loading card: Unknown exception."},
               {true, [] { throw "Handshake failed"; },
                "Desfire::Load Card callback failed: Handshake failed"},
               {true, [] { throw 42; }, "Desfire::Load Card callback failed: Unknown exception."}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.logged);
    mark = testing::LogCapture::Install().Mark();
    card->intercept = [&](const Bytes& apdu) -> std::optional<Bytes> {
      if (!c.inCallback && apdu[0] == 0x5A)
        c.thrower();
      return std::nullopt;
    };
    pcsc.QueueConnectResults(std::vector<LONG>(6, SCARD_E_SHARING_VIOLATION));
    Desfire desfire(
        kReader, [&](DesfireData) { c.inCallback ? c.thrower() : void(); }, pcsc,
        DesfireTimings{std::chrono::milliseconds(1)});
    EXPECT_NO_THROW(desfire.Load());
    EXPECT_EQ(pcsc.OpenCards(), 0);
    EXPECT_EQ(pcsc.Count("EndTransaction"), pcsc.Count("BeginTransaction"));
    EXPECT_TRUE(Logged({Line(LogLevel::Error, c.logged)}));
  }
}

TEST_F(DesfireTest, TransmitAndAbortFailuresHaveTheirTexts) {
  auto desfire = MakeDesfire();
  desfire->StartTransaction();
  auto send = [&] {
    DesfireCommand command(kCmdGetVersion, {}, false);
    desfire->Transmit(command);
  };
  pcsc.QueueTransmitResults({SCARD_E_INVALID_HANDLE, 6, SCARD_E_COMM_DATA_LOST});
  EXPECT_EQ(FailureText(send), "Card handle was invalidated.");
  EXPECT_EQ(FailureText(send), "Card handle was invalidated.");
  EXPECT_EQ(FailureText(send), "Failed to transmit apdu.");
  card->intercept = [](const Bytes&) -> std::optional<Bytes> { return Bytes{}; };
  EXPECT_EQ(FailureText(send), "Received 0 byte response length.");
  card->intercept = [](const Bytes&) -> std::optional<Bytes> { return Bytes{0x90, 0x00}; };
  DesfireCommand wrapped(kCmdGetVersion, {}, true);
  EXPECT_EQ(FailureText([&] { desfire->Transmit(wrapped); }), "Response could not be parsed.");
  // An abort reconnects once per connection; a second abort, or a failed reconnect, ends the
  // command.
  card->intercept = [](const Bytes&) -> std::optional<Bytes> { return Bytes{0xCA}; };
  EXPECT_EQ(FailureText(send), "Card was reset after an aborted command.");
  EXPECT_EQ(FailureText(send), "Card returned error status.");
  EXPECT_EQ(pcsc.Count("Reconnect"), 1);
  desfire->EndTransaction();
  desfire->StartTransaction();
  pcsc.SetReconnectResult(SCARD_E_NO_SMARTCARD);
  EXPECT_EQ(FailureText(send), "Failed to reconnect card.");
  desfire->EndTransaction();
  EXPECT_TRUE(
      Logged({Line(LogLevel::Error, "Desfire::Transmit SCardTransmit returned 0x8010002f"),
              Line(LogLevel::Error, "Desfire::Transmit Card returned 0xca pn retry."),
              Line(LogLevel::Error, "Desfire::Reconnect SCardReconnect returned 0x8010000c")}));
}

TEST_F(DesfireTest, SharingViolationsWaitThenShareWithATransaction) {
  pcsc.QueueConnectResults(std::vector<LONG>(5, SCARD_E_SHARING_VIOLATION));
  auto desfire = MakeDesfire();
  desfire->StartTransaction();
  EXPECT_EQ(pcsc.ConnectShareModes(), std::vector<DWORD>(6, SCARD_SHARE_EXCLUSIVE));
  EXPECT_EQ(pcsc.Count("BeginTransaction"), 0);
  desfire->EndTransaction();

  // A transaction that cannot be begun is warned about; the card is read all the same.
  pcsc.QueueConnectResults(std::vector<LONG>(6, SCARD_E_SHARING_VIOLATION));
  pcsc.SetBeginTransactionResult(SCARD_E_SHARING_VIOLATION);
  desfire->StartTransaction();
  EXPECT_EQ(desfire->SelectApp(), DesfireResult::Ok);
  std::vector<DWORD> modes = pcsc.ConnectShareModes();
  ASSERT_EQ(modes.size(), 13u);
  EXPECT_EQ(modes[11], SCARD_SHARE_EXCLUSIVE);  // the sixth violation switches
  EXPECT_EQ(modes[12], SCARD_SHARE_SHARED);
  EXPECT_EQ(pcsc.Count("BeginTransaction"), 1);
  desfire->EndTransaction();
  EXPECT_EQ(desfire->ShareMode(), static_cast<DWORD>(SCARD_SHARE_EXCLUSIVE));
  EXPECT_TRUE(Logged(
      {Line(LogLevel::Warn, "Desfire::StartTransaction Failed to start transaction: 0x8010000b")}));
}

TEST_F(DesfireTest, ConnectGivesUpAfterAHundredViolationsOrAnotherError) {
  auto desfire = MakeDesfire();
  pcsc.QueueConnectResults(std::vector<LONG>(100, SCARD_E_SHARING_VIOLATION));
  EXPECT_EQ(FailureText([&] { desfire->StartTransaction(); }),
            "SCardConnectA returned SCARD_E_SHARING_VIOLATION.");
  EXPECT_EQ(pcsc.Count("Connect"), 100);
  desfire->EndTransaction();
  pcsc.QueueConnectResults({SCARD_E_NO_SMARTCARD});
  EXPECT_EQ(FailureText([&] { desfire->StartTransaction(); }), "SCardConnectA failed.");
  EXPECT_TRUE(Logged(
      {Line(LogLevel::Error, "Desfire::StartTransaction SCardConnectA returned 0x8010000c")}));
}

TEST_F(DesfireTest, CardWithAShortVersionIsNotReported) {
  card->intercept = [n = 0](const Bytes&) mutable -> std::optional<Bytes> {
    if (++n == 3)
      return Bytes{0x00, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13};
    return std::nullopt;
  };
  MakeDesfire()->Load();
  EXPECT_TRUE(reported.empty());
  EXPECT_EQ(pcsc.OpenCards(), 0);
  EXPECT_TRUE(Logged({Line(LogLevel::Error,
                           "Desfire::Load Failed loading card: Invalid response "
                           "length on GetVersion."),
                      Line(LogLevel::Error, "Desfire::Load UID unknown - card is ignored.")}));
}

TEST_F(DesfireTest, DisabledCallbackAndFaultyDataAreNotReported) {
  auto desfire = MakeDesfire();
  desfire->DisableCallback();
  desfire->Load();
  EXPECT_TRUE(reported.empty());

  card->files[0x1D] = Bytes(47, 0x13);  // PIN file of the wrong size
  EXPECT_NO_THROW(MakeDesfire()->Load());
  EXPECT_TRUE(reported.empty());

  Desfire empty(kReader, CardCallback{}, pcsc);
  EXPECT_NO_THROW(empty.Load());
  EXPECT_EQ(pcsc.OpenCards(), 0);
  EXPECT_TRUE(Logged({Line(LogLevel::Warn,
                           "Desfire::Load Desfire wil be ignored because callback was disabled "
                           "during loading process."),
                      Line(LogLevel::Error, "Desfire::Load Failed to parse raw desfire data."),
                      Line(LogLevel::Error, "Desfire::Load Failed to parse raw desfire data.")}));
}

// A card that keeps announcing more data without sending any would hold the read, and the
// reader, for ever: the first such frame ends the read.
TEST_F(DesfireTest, AnAdditionalFrameWithoutDataEndsTheRead) {
  auto desfire = MakeDesfire();
  desfire->StartTransaction();
  ASSERT_EQ(desfire->SelectApp(), DesfireResult::Ok);
  int frames = 0;
  card->intercept = [&](const Bytes&) -> std::optional<Bytes> {
    return Bytes{++frames < 1000 ? kStatusAdditionalFrame : kStatusOk};
  };
  EXPECT_EQ(FailureText([&] { desfire->ReadDataFile(1); }), "Failed to read file.");
  EXPECT_EQ(frames, 1);
  desfire->EndTransaction();
}

TEST_F(DesfireTest, CommandsMapCardStatusesToTheirTexts) {
  auto desfire = MakeDesfire();
  EXPECT_EQ(FailureText([&] { desfire->ListFiles(); }),
            "File operation forbidden in picc level application.");
  EXPECT_EQ(FailureText([&] { desfire->ReadDataFile(1); }),
            "File operation forbidden in picc level application.");
  EXPECT_EQ(FailureText([&] { desfire->ReadDataFile(32); }), "File id out of range.");
  EXPECT_EQ(FailureText([&] { desfire->Auth_1st(2, 0); }), "Auth_1st: Invalid key type.");
  DesfireKey badType;
  badType.keyType = 7;
  EXPECT_EQ(FailureText([&] { desfire->Auth(badType); }), "Invalid key type");

  desfire->StartTransaction();
  std::uint8_t answer = 0;
  std::uint8_t on = 0;
  card->intercept = [&](const Bytes& apdu) -> std::optional<Bytes> {
    if (apdu[0] == on)
      return Bytes{answer};
    return std::nullopt;
  };
  struct Case {
    std::uint8_t command, status;
    std::function<void()> call;
    std::string text;
  };
  const std::vector<Case> cases = {
      {0x0A, 0x1C, [&] { desfire->Auth_1st(0, 0); }, "Auth_1st: illegal command."},
      {0x0A, 0x40, [&] { desfire->Auth_1st(0, 0); }, "Auth_1st: no such key."},
      {0x0A, 0xAE, [&] { desfire->Auth_1st(0, 0); }, "Auth_1st: access error."},
      {0x0A, 0x00, [&] { desfire->Auth_1st(0, 0); }, "Auth_1st failed."},
      {0xAF, 0x1C, [&] { desfire->Auth_2nd(Bytes(16)); }, "Auth_2nd: illegal command."},
      {0xAF, 0xAE, [&] { desfire->Auth_2nd(Bytes(16)); }, "Auth_2nd: wrong key."},
      {0xAF, 0xAF, [&] { desfire->Auth_2nd(Bytes(16)); }, "Auth_2nd failed."},
      {0x6F, 0x1E, [&] { desfire->ListFiles(); },
       "Card returned illegal command or integrity error."},
      {0x6F, 0xAE, [&] { desfire->ListFiles(); }, "Card returned access error."},
      {0x6F, 0x9D, [&] { desfire->ListFiles(); }, "Failed to get file info."},
      {0xBD, 0x1C, [&] { desfire->ReadDataFile(1); },
       "Failed to read: illegal command or integrity error."},
      {0xBD, 0xAE, [&] { desfire->ReadDataFile(1); }, "Failed to read: access error."},
      {0xBD, 0xF0, [&] { desfire->ReadDataFile(1); }, "Failed to read: no such file."},
      {0xBD, 0x9D, [&] { desfire->ReadDataFile(1); }, "Failed to read file."},
  };
  EXPECT_EQ(desfire->SelectApp(), DesfireResult::Ok);
  mark = testing::LogCapture::Install().Mark();
  for (const Case& c : cases) {
    on = c.command;
    answer = c.status;
    EXPECT_EQ(FailureText(c.call), c.text) << "status " << static_cast<int>(c.status);
  }
  const std::vector<std::pair<std::uint8_t, DesfireResult>> selects = {
      {0x1C, DesfireResult::IllegalCommandOrIntegrityError},
      {0x1E, DesfireResult::IllegalCommandOrIntegrityError},
      {0xA0, DesfireResult::ApplicationNotFound},
      {0xAE, DesfireResult::AuthenticationError},
      {0x9D, DesfireResult::Failed}};
  on = 0x5A;
  for (const auto& [status, result] : selects) {
    answer = status;
    EXPECT_EQ(desfire->SelectApp(), result);
  }
  desfire->EndTransaction();
  EXPECT_TRUE(
      Logged({Line(LogLevel::Debug,
                   "Desfire::Transmit Card returned 0x1c on [ 0a <1 byte withheld> ] (2 byte)"),
              Line(LogLevel::Error, "Desfire::Auth_1st Card returned 0x0"),
              Line(LogLevel::Error, "Desfire::Auth_2nd Card returned 0xaf"),
              Line(LogLevel::Error, "Desfire::ListFiles Card returned 0x9d"),
              Line(LogLevel::Error, "Desfire::ReadDataFile Card returned 0x9d"),
              Line(LogLevel::Error, "Desfire::SelectApp Card returned 0x9d")}));
}

TEST_F(DesfireTest, EndlessFileIsRefused) {
  card->intercept = [](const Bytes& apdu) -> std::optional<Bytes> {
    if (apdu[0] == 0xBD || apdu == Bytes{0xAF})
      return Bytes(60, 0xAF);
    return std::nullopt;
  };
  auto desfire = MakeDesfire();
  desfire->StartTransaction();
  ASSERT_EQ(desfire->SelectApp(), DesfireResult::Ok);
  EXPECT_EQ(FailureText([&] { desfire->ReadDataFile(1); }), "Failed to read file.");
  desfire->EndTransaction();
}

}  // namespace
}  // namespace varlo
