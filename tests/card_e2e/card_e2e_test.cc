// The reader monitor and the DESFire command layer end to end: the machine's pcscd with vpcd
// readers, virtual cards holding card images written by the card-image writer, pcsc-lite in
// between.
#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <fstream>
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
  // The `count`-th report (1-based), or nullopt at the deadline.
  std::optional<DesfireData> WaitFor(std::size_t count,
                                     std::chrono::milliseconds deadline = kDeadline) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!added_.wait_for(lock, deadline, [&] { return data_.size() >= count; })) {
      return std::nullopt;
    }
    return data_[count - 1];
  }
  // The first report of the card `uid`, or nullopt at the deadline.
  std::optional<DesfireData> WaitForUid(std::uint64_t uid) {
    std::unique_lock<std::mutex> lock(mutex_);
    std::optional<DesfireData> found;
    added_.wait_for(lock, kDeadline, [&] {
      for (const DesfireData& d : data_) {
        if (d.uid == uid)
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
  cardimage::TokenDescription token;
  token.uid = uid;
  token.label = label;
  token.pin = ToSecure(std::vector<std::uint8_t>{'4', '7', '1', '1'});
  cardimage::ObjectDescription cert;
  cert.label = "certificate";
  cert.application = 5;
  cert.type = 1;
  cert.content = SecureBytes(300, 0x30);
  cardimage::ObjectDescription secret;
  secret.label = "private key";
  secret.isPrivate = true;
  secret.type = 3;
  secret.content = SecureBytes(70, 0x5E);
  token.objects = {cert, secret};
  return token;
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
      content.files[number] = bytes;
    return rig->WriteImage(name, content);
  }

  void StartMonitor(MonitorTimings timings = kFast) {
    monitor = std::make_unique<PcscMonitoring>(
        [this](DesfireData data) { reports.Add(std::move(data)); }, SystemPcsc(), timings);
    monitor->StartMonitoring();
    ASSERT_TRUE(monitor->WaitForInitialState(kDeadline));
  }

  // What the card reading must deliver: the image's files parsed as the token list will.
  static void ExpectSameToken(const DesfireData& got, const cardimage::CardImage& image) {
    DesfireData expected(image.uid, image.files);
    ASSERT_TRUE(expected.initialized);
    EXPECT_EQ(got.uid, image.uid);
    EXPECT_TRUE(got.initialized);
    EXPECT_EQ(got.label, expected.label);
    EXPECT_EQ(got.pinData, image.files.at(cardimage::kPinFileNumber));
    auto values = [](const DesfireData& d) {
      std::vector<TokenObject> objects;
      for (const auto& [handle, object] : d.objects)
        objects.push_back(object);
      std::sort(objects.begin(), objects.end(),
                [](const TokenObject& a, const TokenObject& b) { return a.label < b.label; });
      return objects;
    };
    EXPECT_EQ(values(got), values(expected));
    EXPECT_EQ(got.objects.size(), 2u);
  }

  static inline testrig::PcscRig* rig = nullptr;
  Reports reports;
  std::unique_ptr<PcscMonitoring> monitor;
};

TEST_F(CardEndToEndTest, CardPutOnAReaderReachesTheCallbackWithTheImagesToken) {
  auto image =
      cardimage::MakeCardImage(Token(0x04A1B2C3D4E5F6, "End to end"),
                               cardimage::Layout{.recordsPerHeader = 1, .dataFileSize = 200});
  StartMonitor();
  const std::string reader = rig->ReaderName(0);
  auto mark = Log().Mark();
  rig->Present(0, Image("token", image));
  auto data = reports.WaitFor(1);
  ASSERT_TRUE(data);
  ExpectSameToken(*data, image);
  EXPECT_EQ(data->label, "End to end");
  EXPECT_TRUE(Log().WaitForLines(
      mark, {MonitorLine(LogLevel::Debug,
                         "PcscMonitoring::CheckReaderState New card detected: " + reader),
             MonitorLine(LogLevel::Info, "PcscMonitoring::AddPicc Adding desfire on " + reader),
             DesfireLine(LogLevel::Debug, "Desfire::Auth Authentication succeeded:"),
             DesfireLine(LogLevel::Info, "Desfire::ReadDataFile 96 bytes read from file 31"),
             DesfireLine(LogLevel::Debug, "Desfire::Load Loading Desfire completed.")}));

  mark = Log().Mark();
  rig->Remove(0);
  EXPECT_TRUE(Log().WaitForLines(
      mark, {MonitorLine(LogLevel::Debug, "PcscMonitoring::CheckReaderState Card lost: " + reader),
             DesfireLine(LogLevel::Debug, "\t\t[END Desfire::~Desfire]")}));
  EXPECT_EQ(reports.Size(), 1u);  // removal is not reported
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
  auto data = reports.WaitFor(1);
  ASSERT_TRUE(data);
  ExpectSameToken(*data, image);
}

TEST_F(CardEndToEndTest, CardInsistingOnWrappedFramingReadsTheSame) {
  auto image = cardimage::MakeCardImage(Token(0x04000000000002, "Wrapped"));
  rig->Card(0).Set("wrapped-only", "on");
  rig->Card(0).ClearHistory();
  StartMonitor();
  rig->Present(0, Image("wrapped", image));
  auto data = reports.WaitFor(1);
  ASSERT_TRUE(data);
  ExpectSameToken(*data, image);
  auto history = rig->Card(0).History();
  EXPECT_TRUE(std::any_of(history.begin(), history.end(),
                          [](const std::string& e) { return e.ends_with(":6700"); }));
}

TEST_F(CardEndToEndTest, AbortedCommandIsResentAfterAReconnect) {
  auto image = cardimage::MakeCardImage(Token(0x04000000000009, "Aborted once"));
  rig->Card(0).Set("abort-once", "5a");
  StartMonitor();
  rig->Present(0, Image("aborted", image));
  auto data = reports.WaitFor(1);
  ASSERT_TRUE(data);
  ExpectSameToken(*data, image);
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
  auto data = reports.WaitFor(1);
  ASSERT_TRUE(data);
  EXPECT_EQ(data->uid, 0x0400000000000Bu);
  for (const std::string& exchange : rig->Card(0).History()) {
    EXPECT_EQ(exchange.find(':'), std::string::npos) << "APDU sent: " << exchange;
  }
  EXPECT_EQ(reports.Size(), 1u);
}

TEST_F(CardEndToEndTest, CardWithAnotherApplicationKeyGivesItsUidOnly) {
  auto token = Token(0x04000000000003, "Foreign key");
  token.appKey =
      std::array<std::uint8_t, 16>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  StartMonitor();
  rig->Present(0, Image("foreign", cardimage::MakeCardImage(token)));
  auto data = reports.WaitFor(1);
  ASSERT_TRUE(data);
  EXPECT_EQ(data->uid, 0x04000000000003u);
  EXPECT_FALSE(data->initialized);
  EXPECT_TRUE(data->label.empty());
  EXPECT_TRUE(data->objects.empty());
}

TEST_F(CardEndToEndTest, CardWithoutTheApplicationGivesItsUidOnly) {
  rig->Card(0).Set("application", "off");
  StartMonitor();
  rig->Present(0, Image("bare", cardimage::MakeCardImage(Token(0x04000000000004, "Bare"))));
  auto data = reports.WaitFor(1);
  ASSERT_TRUE(data);
  EXPECT_EQ(data->uid, 0x04000000000004u);
  EXPECT_FALSE(data->initialized);
}

TEST_F(CardEndToEndTest, TwoReadersWithTwoCards) {
  auto first = cardimage::MakeCardImage(Token(0x04000000000005, "First"));
  auto second = cardimage::MakeCardImage(Token(0x04000000000006, "Second"));
  StartMonitor();
  rig->Present(0, Image("first", first));
  rig->Present(1, Image("second", second));
  ASSERT_TRUE(reports.WaitFor(2));
  auto a = *reports.WaitFor(1);
  auto b = *reports.WaitFor(2);
  if (a.uid != first.uid)
    std::swap(a, b);
  ExpectSameToken(a, first);
  ExpectSameToken(b, second);
}

TEST_F(CardEndToEndTest, StoppingWhileWaitingEndsWithinTheErrorPause) {
  StartMonitor(MonitorTimings{});
  auto begin = std::chrono::steady_clock::now();
  monitor.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 1s);
}

TEST_F(CardEndToEndTest, MonitoringResumesAfterPcscdRestarts) {
  auto image = cardimage::MakeCardImage(Token(0x04000000000007, "Restart"));
  StartMonitor();
  rig->Present(0, Image("restart", image));
  ASSERT_TRUE(reports.WaitFor(1));

  // The new pcscd sees the reader empty first and then the card arrive, so the card that stayed
  // on its reader is read and reported again; a card presented afterwards is reported too.
  const auto mark = Log().Mark();
  rig->RestartPcscd();
  ASSERT_TRUE(reports.WaitFor(2));
  ExpectSameToken(*reports.WaitFor(2), image);
  // The failed wait is logged (pcsc-lite reports the lost connection of a pending wait, or the
  // service as gone), then the context of the old service is replaced and the readers are listed
  // again before the next wait.
  const auto reestablished = MonitorLine(
      LogLevel::Info, "PcscMonitoring::WorkerThreadFunction Smartcard context reestablished.");
  EXPECT_TRUE(Log().WaitForLines(
      mark,
      {reestablished,
       MonitorLine(LogLevel::Debug, "PcscMonitoring::MergeReaderList currently 2 readers known."),
       MonitorLine(LogLevel::Info,
                   "PcscMonitoring::AddPicc Adding desfire on " + rig->ReaderName(0))}));
  const auto failed =
      MonitorLine(LogLevel::Error,
                  "PcscMonitoring::WorkerThreadFunction SCardGetStatusChange returned 0x", true);
  const auto gone = MonitorLine(
      LogLevel::Debug, "PcscMonitoring::WorkerThreadFunction Smart card service not running.");
  const auto lines = Log().LinesSince(mark);
  auto firstIndex = [&](auto matches) {
    return std::find_if(lines.begin(), lines.end(), matches) - lines.begin();
  };
  EXPECT_LT(firstIndex([&](const testing::LogLine& line) {
              return failed.Matches(line) || gone.Matches(line);
            }),
            firstIndex([&](const testing::LogLine& line) { return reestablished.Matches(line); }));
  rig->Present(1, Image("after", cardimage::MakeCardImage(Token(0x04000000000008, "After"))));
  auto after = reports.WaitForUid(0x04000000000008);
  ASSERT_TRUE(after);
  EXPECT_EQ(after->label, "After");
  EXPECT_TRUE(after->initialized);
}

TEST_F(CardEndToEndTest, StoppingWhileTheServiceIsAwayEndsWithinTheServicePause) {
  StartMonitor(MonitorTimings{});
  rig->StopPcscd();
  auto begin = std::chrono::steady_clock::now();
  monitor.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 3s);
  rig->StartPcscd();
}

// The system's PC/SC, counting the sharing violations of card connections.
class ViolationCounter : public testing::ForwardingPcsc {
 public:
  LONG Connect(SCARDCONTEXT context, const char* reader, DWORD shareMode, DWORD protocols,
               SCARDHANDLE* card, DWORD* activeProtocol) override {
    LONG rv = ForwardingPcsc::Connect(context, reader, shareMode, protocols, card, activeProtocol);
    std::lock_guard<std::mutex> lock(mutex_);
    ++connects_;
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
  int Connects() {
    std::lock_guard<std::mutex> lock(mutex_);
    return connects_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable counted_;
  int connects_ = 0;
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

TEST_F(CardEndToEndTest, CardHeldByAnotherApplicationThroughoutIsNotReported) {
  rig->Present(0, Image("kept", cardimage::MakeCardImage(Token(0x04000000000012, "Kept"))));
  testrig::ReaderHold hold(rig->ReaderName(0));
  ViolationCounter pcsc;
  int reported = 0;
  Desfire desfire(
      rig->ReaderName(0), [&](DesfireData) { ++reported; }, pcsc, DesfireTimings{10ms});
  desfire.Load();
  EXPECT_EQ(reported, 0);
  EXPECT_EQ(pcsc.Connects(), 100);
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
