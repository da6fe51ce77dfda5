// The reader monitor and the DESFire command layer end to end: the machine's pcscd with vpcd
// readers, virtual cards holding card images written by the card-image writer, pcsc-lite in
// between.
#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <fstream>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "apps/cardimage/card_image_writer.h"
#include "card/desfire.h"
#include "card/pcsc_monitoring.h"
#include "card/testing/forwarding_pcsc.h"
#include "card/testing/log_capture.h"
#include "common/hex.h"
#include "platform/process/child_process.h"
#include "tests/rig/pcsc_rig.h"

namespace varlo {
namespace {

using namespace std::chrono_literals;

constexpr auto kDeadline = 10s;
// Short pauses so that recoveries take little time; the stop bound is tested with the real ones.
constexpr MonitorTimings kFast{100ms, 200ms, DesfireTimings{}};

// Every log line of the module goes to a file of the capture, at debug level; the logger reads
// its settings at the first log call, so the capture is installed before any test runs.
[[maybe_unused]] const auto* const kLogEnvironment =
    ::testing::AddGlobalTestEnvironment(new testing::LogCaptureEnvironment);

const testing::LogCapture& Log() {
  return testing::LogCapture::Install();
}

testing::LogPattern MonitorLine(LogLevel level, std::string text, bool prefix = false) {
  return {level, "PcscMonitoring", std::move(text), prefix};
}

testing::LogPattern DesfireLine(LogLevel level, std::string text) {
  return {level, "Desfire", std::move(text), false};
}

class Reports {
 public:
  void Add(DesfireData data) {
    std::lock_guard<std::mutex> lock(mutex_);
    data_.push_back(std::move(data));
    added_.notify_all();
  }
  // The `nth` report of the card `uid`, or nullopt at the deadline.
  std::optional<DesfireData> WaitForUid(std::uint64_t uid, std::size_t nth = 1) {
    std::unique_lock<std::mutex> lock(mutex_);
    std::optional<DesfireData> found;
    added_.wait_for(lock, kDeadline, [&] {
      std::size_t seen = 0;
      for (const DesfireData& d : data_) {
        if (d.uid == uid && ++seen == nth)
          found = d;
      }
      return found.has_value();
    });
    return found;
  }
  std::size_t Size() {
    std::lock_guard<std::mutex> lock(mutex_);
    return data_.size();
  }

 private:
  std::mutex mutex_;
  std::condition_variable added_;
  std::vector<DesfireData> data_;
};

cardimage::TokenDescription Token(std::uint64_t uid, const std::string& label) {
  return {uid,
          label,
          ToSecure(std::vector<std::uint8_t>{'4', '7', '1', '1'}),
          {{"certificate", 5, false, 1, SecureBytes(300, 0x30)},
           {"private key", 0, true, 3, SecureBytes(70, 0x5E)}},
          {},
          {}};
}

class CardEndToEndTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { rig = new testrig::PcscRig(); }
  static void TearDownTestSuite() {
    delete rig;
    rig = nullptr;
  }

  void SetUp() override {
    ASSERT_TRUE(rig->PcscdRunning());
    ASSERT_GE(rig->ReaderCount(), 2u);
  }
  void TearDown() override {
    monitor.reset();
    for (std::size_t reader = 0; reader < 2; ++reader) {
      if (rig->Card(reader).Status() != "removed") {
        rig->Remove(reader);
      }
      rig->Card(reader).Set("wrapped-only", "off");
      rig->Card(reader).Set("application", "on");
      rig->Card(reader).Set("abort-once", "off");
      rig->Card(reader).Set("atr", "3b8180018080");
    }
  }

  std::filesystem::path Image(const std::string& name, const cardimage::CardImage& image) {
    testrig::CardImageContent content;
    content.uid = ToHex(cardimage::UidBlob(image.uid));
    content.appKey = ToHex(image.appKey);
    for (const auto& [number, bytes] : image.files)
      content.files[number].assign(bytes.begin(), bytes.end());
    return rig->WriteImage(name, content);
  }

  void StartMonitor(MonitorTimings timings = kFast) {
    monitor = std::make_unique<PcscMonitoring>(
        [this](DesfireData data) { reports.Add(std::move(data)); }, SystemPcsc(), timings);
    monitor->StartMonitoring();
    ASSERT_TRUE(monitor->WaitForInitialState(kDeadline));
  }

  // What the card reading must deliver: the image's files parsed as the token list will.
  static void ExpectSameToken(const std::optional<DesfireData>& got,
                              const cardimage::CardImage& image) {
    ASSERT_TRUE(got);
    DesfireData expected(image.uid, image.files);
    ASSERT_TRUE(expected.initialized && got->initialized);
    EXPECT_EQ(got->uid, image.uid);
    EXPECT_EQ(got->label, expected.label);
    EXPECT_EQ(got->pinData, image.files.at(cardimage::kPinFileNumber));
    auto values = [](const DesfireData& d) {
      std::map<std::string, TokenObject> objects;
      for (const auto& [handle, object] : d.objects)
        objects[object.label] = object;
      return objects;
    };
    EXPECT_EQ(values(*got), values(expected));
    EXPECT_EQ(got->objects.size(), 2u);
  }

  static inline testrig::PcscRig* rig = nullptr;
  Reports reports;
  std::unique_ptr<PcscMonitoring> monitor;
};

TEST_F(CardEndToEndTest, CardsPutOnTwoReadersReachTheCallbackWithTheImagesTokens) {
  auto image =
      cardimage::MakeCardImage(Token(0x04A1B2C3D4E5F6, "End to end"),
                               cardimage::Layout{.recordsPerHeader = 1, .dataFileSize = 200});
  auto second = cardimage::MakeCardImage(Token(0x04000000000006, "Second"));
  StartMonitor();
  rig->Present(0, Image("token", image));
  rig->Present(1, Image("second", second));
  ExpectSameToken(reports.WaitForUid(image.uid), image);
  ExpectSameToken(reports.WaitForUid(second.uid), second);

  const auto mark = Log().Mark();
  rig->Remove(0);
  EXPECT_TRUE(Log().WaitForLines(
      mark, {MonitorLine(LogLevel::Debug,
                         "PcscMonitoring::CheckReaderState Card lost: " + rig->ReaderName(0)),
             DesfireLine(LogLevel::Debug, "\t\t[END Desfire::~Desfire]")}));
  EXPECT_EQ(reports.Size(), 2u);  // removal is not reported
}

TEST_F(CardEndToEndTest, CardOnTheReaderAtStartIsReportedOnlyWhenPresentedAgain) {
  auto image = cardimage::MakeCardImage(Token(0x04000000000001, "Early card"));
  auto path = Image("early", image);
  rig->Present(0, path);
  rig->Card(0).ClearHistory();
  const auto mark = Log().Mark();
  StartMonitor();
  EXPECT_FALSE(rig->Card(0).History().empty());  // it was read
  EXPECT_EQ(reports.Size(), 0u);
  EXPECT_TRUE(Log().WaitForLines(
      mark, {MonitorLine(LogLevel::Info,
                         "PcscMonitoring::AddPicc Adding desfire on " + rig->ReaderName(0)),
             MonitorLine(LogLevel::Debug,
                         "PcscMonitoring::AddPicc PC/SC Callback before initial state - "
                         "ignored: 0x4000000000001")}));

  rig->Remove(0);
  rig->Present(0, path);
  ExpectSameToken(reports.WaitForUid(image.uid), image);
}

// Cards the reading must work around give the same token; cards without the token application
// or with another application key give their UID only.
TEST_F(CardEndToEndTest, CardBehavioursGiveTheTokenOrTheUidOnly) {
  const struct {
    const char *setting, *on, *off;
    bool foreignKey, initialized;
    const char* seen;  // an exchange the card's history must show
  } cases[] = {{"wrapped-only", "on", "off", false, true, ":6700"},
               {"abort-once", "5a", "off", false, true, "5a000001:ca"},
               {"abort-once", "bd", "off", false, true, ":ca"},
               {"application", "off", "on", false, false, "5a000001:a0"},
               {"application", "on", "on", true, false, ":ae"}};
  StartMonitor();
  std::uint64_t uid = 0x04000000000002;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.setting + std::string(" ") + c.on);
    auto token = Token(++uid, "Behaviour");
    if (c.foreignKey)
      token.appKey = std::array<std::uint8_t, 16>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14};
    const auto image = cardimage::MakeCardImage(token);
    rig->Card(0).Set(c.setting, c.on);
    rig->Card(0).ClearHistory();
    rig->Present(0, Image("behaviour", image));
    if (c.initialized) {
      ExpectSameToken(reports.WaitForUid(uid), image);
    } else {
      auto data = reports.WaitForUid(uid);
      ASSERT_TRUE(data);
      EXPECT_FALSE(data->initialized);
      EXPECT_TRUE(data->label.empty() && data->objects.empty());
    }
    auto history = rig->Card(0).History();
    EXPECT_TRUE(std::any_of(history.begin(), history.end(), [&](const std::string& e) {
      return e.find(c.seen) != std::string::npos;
    }));
    rig->Remove(0);
    rig->Card(0).Set(c.setting, c.off);
  }
}

TEST_F(CardEndToEndTest, CardWithALongerAtrIsNotRead) {
  auto path = Image("atr", cardimage::MakeCardImage(Token(0x0400000000000A, "Other ATR")));
  rig->Card(0).Set("atr", "3b818001808000");
  rig->Card(0).ClearHistory();
  StartMonitor();
  const auto mark = Log().Mark();
  rig->Present(0, path);
  EXPECT_TRUE(Log().WaitForLines(
      mark, {MonitorLine(LogLevel::Info,
                         "PcscMonitoring::AddPicc ATR missmatch on " + rig->ReaderName(0))}));
  // A DESFire card on the other reader is reported; by then the first card has been passed by.
  rig->Present(1, Image("desfire", cardimage::MakeCardImage(Token(0x0400000000000B, "DESFire"))));
  ASSERT_TRUE(reports.WaitForUid(0x0400000000000B));
  for (const std::string& exchange : rig->Card(0).History()) {
    EXPECT_EQ(exchange.find(':'), std::string::npos) << "APDU sent: " << exchange;
  }
  EXPECT_EQ(reports.Size(), 1u);
}

// With the production pauses: 1 s after a cancelled wait, 3 s while the service is away.
TEST_F(CardEndToEndTest, StoppingEndsWithinThePauseUnderWay) {
  for (bool serviceAway : {false, true}) {
    StartMonitor(MonitorTimings{});
    if (serviceAway)
      rig->StopPcscd();
    auto begin = std::chrono::steady_clock::now();
    monitor.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - begin, serviceAway ? 3s : 1s);
  }
  rig->StartPcscd();
}

TEST_F(CardEndToEndTest, MonitoringResumesAfterPcscdRestarts) {
  auto image = cardimage::MakeCardImage(Token(0x04000000000007, "Restart"));
  StartMonitor();
  rig->Present(0, Image("restart", image));
  ASSERT_TRUE(reports.WaitForUid(image.uid));

  // The new pcscd sees the reader empty first and then the card arrive, so the card that stayed
  // on its reader is read and reported again; a card presented afterwards is reported too. (The
  // order of the recovery's log lines is pinned by the reader monitor's own tests.)
  rig->RestartPcscd();
  ExpectSameToken(reports.WaitForUid(image.uid, 2), image);
  rig->Present(1, Image("after", cardimage::MakeCardImage(Token(0x04000000000008, "After"))));
  auto after = reports.WaitForUid(0x04000000000008);
  ASSERT_TRUE(after);
  EXPECT_EQ(after->label, "After");
}

// The system's PC/SC, counting the sharing violations of card connections.
class ViolationCounter : public testing::ForwardingPcsc {
 public:
  LONG Connect(SCARDCONTEXT context, const char* reader, DWORD shareMode, DWORD protocols,
               SCARDHANDLE* card, DWORD* activeProtocol) override {
    LONG rv = ForwardingPcsc::Connect(context, reader, shareMode, protocols, card, activeProtocol);
    std::lock_guard<std::mutex> lock(mutex_);
    if (rv == SCARD_E_SHARING_VIOLATION) {
      ++violations_;
      counted_.notify_all();
    }
    return rv;
  }
  bool WaitForViolations(int count) {
    std::unique_lock<std::mutex> lock(mutex_);
    return counted_.wait_for(lock, kDeadline, [&] { return violations_ >= count; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable counted_;
  int violations_ = 0;
};

TEST_F(CardEndToEndTest, CardHeldByAnotherApplicationIsReadOnceItIsFree) {
  auto image = cardimage::MakeCardImage(Token(0x04000000000011, "Shared"));
  rig->Present(0, Image("held", image));
  auto hold = std::make_unique<testrig::ReaderHold>(rig->ReaderName(0));
  ViolationCounter pcsc;
  std::vector<DesfireData> got;
  Desfire desfire(
      rig->ReaderName(0), [&](DesfireData data) { got.push_back(std::move(data)); }, pcsc,
      DesfireTimings{100ms});
  std::thread reader([&] { desfire.Load(); });
  const bool waited = pcsc.WaitForViolations(2);
  hold.reset();
  reader.join();
  ASSERT_TRUE(waited);
  ASSERT_EQ(got.size(), 1u);
  ExpectSameToken(got[0], image);
}

// varlo-cardmon prints a card presented after its start as a summary line and the token's JSON
// document, and a termination request ends it cleanly.
TEST_F(CardEndToEndTest, CardmonPrintsEachCardAndStopsOnRequest) {
  const auto errorLog = rig->Directory() / "cardmon.err";
  platform::SpawnOptions options;
  options.argv = {VARLO_CARDMON_PROGRAM};
  options.pipeStdout = true;
  options.outputFile = errorLog;
  auto cardmon = platform::ChildProcess::Spawn(options);
  auto errorText = [&] {
    std::ifstream in(errorLog);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  };
  const auto deadline = std::chrono::steady_clock::now() + kDeadline;
  while (errorText().find("watching") == std::string::npos) {
    ASSERT_LT(std::chrono::steady_clock::now(), deadline) << errorText();
    std::this_thread::sleep_for(10ms);  // polling the log file, bounded by the deadline
  }

  auto image = cardimage::MakeCardImage(Token(0x04000000000010, "Monitor"));
  rig->Present(0, Image("cardmon", image));
  auto summary = cardmon->ReadLine(std::chrono::steady_clock::now() + kDeadline);
  auto document = cardmon->ReadLine(std::chrono::steady_clock::now() + kDeadline);
  ASSERT_TRUE(summary && document);
  EXPECT_EQ(*summary, "card uid=04000000000010 initialized=yes label=\"Monitor\" objects=2");
  DesfireData parsed(nlohmann::json::parse(*document));
  EXPECT_EQ(parsed.uid, image.uid);
  EXPECT_EQ(parsed.label, "Monitor");

  cardmon->Terminate();
  EXPECT_EQ(cardmon->WaitExit(std::chrono::steady_clock::now() + kDeadline), 0);
  EXPECT_NE(errorText().find("stopped"), std::string::npos);
}

}  // namespace
}  // namespace varlo
