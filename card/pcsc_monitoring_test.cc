// The reader monitor against the scripted PC/SC: its worker runs for real, the tests wait on
// conditions with deadlines.
#include "card/pcsc_monitoring.h"

#include <gtest/gtest.h>

#include <functional>
#include <future>
#include <utility>

#include "card/application_key.h"
#include "card/testing/fake_pcsc.h"
#include "card/testing/log_capture.h"

namespace varlo {
namespace {

using namespace std::chrono_literals;
using testing::FakePcsc;
using testing::SimulatedDesfire;

constexpr auto kDeadline = 5s;

// The module's log in a file, at debug level, from before the first log call.
[[maybe_unused]] const auto* const kLogEnvironment =
    ::testing::AddGlobalTestEnvironment(new testing::LogCaptureEnvironment);

testing::LogPattern Line(LogLevel level, std::string text, std::string context = "PcscMonitoring") {
  return {level, std::move(context), std::move(text), false};
}

class Reports {
 public:
  void Add(DesfireData data) {
    std::lock_guard<std::mutex> lock(mutex_);
    data_.push_back(std::move(data));
    added_.notify_all();
  }
  bool WaitFor(std::size_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    return added_.wait_for(lock, kDeadline, [&] { return data_.size() >= count; });
  }
  std::vector<DesfireData> Get() {
    std::lock_guard<std::mutex> lock(mutex_);
    return data_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable added_;
  std::vector<DesfireData> data_;
};

std::shared_ptr<SimulatedDesfire> MakeCard(std::uint8_t lastUidByte) {
  auto card = std::make_shared<SimulatedDesfire>();
  auto key = ApplicationKey();
  std::copy(key.begin(), key.end(), card->appKey.begin());
  card->uid[6] = lastUidByte;
  card->hasApplication = false;
  return card;
}

class PcscMonitoringTest : public ::testing::Test {
 protected:
  void Start(MonitorTimings timings = kFast) {
    monitor = std::make_unique<PcscMonitoring>(
        [this](DesfireData data) {
          reports.Add(std::move(data));
          if (afterReport)
            afterReport();
        },
        pcsc, timings);
    monitor->StartMonitoring();
  }
  void ExpectIdle() { ASSERT_TRUE(pcsc.WaitUntilIdle(kDeadline)); }
  ::testing::AssertionResult Logged(const std::vector<testing::LogPattern>& lines) {
    return testing::LogCapture::Install().WaitForLines(mark, lines, kDeadline);
  }

  std::uintmax_t mark = testing::LogCapture::Install().Mark();

  static constexpr MonitorTimings kFast{10ms, 20ms, DesfireTimings{1ms}};
  FakePcsc pcsc;
  Reports reports;
  std::function<void()> afterReport;  // run by the card callback on the worker thread
  std::unique_ptr<PcscMonitoring> monitor;
};

TEST_F(PcscMonitoringTest, ReadersThatComeAndGoAreFollowed) {
  Start();  // no reader yet: the service reports none and the worker keeps asking
  EXPECT_THROW(monitor->StartMonitoring(), std::logic_error);  // a second start is refused
  ASSERT_TRUE(pcsc.WaitForCount("ListReaders", 2, kDeadline));
  pcsc.AddReader("Reader A");
  pcsc.AddReader("Reader B");
  ExpectIdle();
  pcsc.InsertCard("Reader A", MakeCard(0x05));
  ASSERT_TRUE(reports.WaitFor(1));
  EXPECT_EQ(reports.Get()[0].uid, 0x04112233445505u);
  EXPECT_TRUE(Logged(
      {Line(LogLevel::Info, "PcscMonitoring::WorkerThreadFunction PC/SC monitoring started."),
       Line(LogLevel::Debug,
            "PcscMonitoring::WorkerThreadFunction Smart card service not running."),
       Line(LogLevel::Debug, "PcscMonitoring::MergeReaderList currently 2 readers known."),
       Line(LogLevel::Debug, "PcscMonitoring::CheckReaderState New card detected: Reader A"),
       Line(LogLevel::Info, "PcscMonitoring::AddPicc Adding desfire on Reader A")}));

  // Unplugging the reader releases the card; plugged in again, the card is new.
  mark = testing::LogCapture::Install().Mark();
  pcsc.RemoveReader("Reader A");
  ExpectIdle();
  EXPECT_EQ(pcsc.OpenCards(), 0);
  EXPECT_TRUE(
      Logged({Line(LogLevel::Debug, "PcscMonitoring::CheckReaderState Card lost: Reader A"),
              Line(LogLevel::Debug, "PcscMonitoring::CheckReaderState Reader lost: Reader A"),
              Line(LogLevel::Warn, "PcscMonitoring::RemovePicc No picc present for Reader A")}));
  pcsc.AddReader("Reader A");
  ExpectIdle();
  pcsc.InsertCard("Reader A", MakeCard(0x05));
  ASSERT_TRUE(reports.WaitFor(2));

  mark = testing::LogCapture::Install().Mark();
  monitor.reset();
  EXPECT_TRUE(Logged(
      {Line(LogLevel::Info, "PcscMonitoring::WorkerThreadFunction PC/SC monitoring terminated."),
       Line(LogLevel::Debug,
            std::string("PcscMonitoring::WorkerThreadFunction Cleaning up ") + kPnpReaderName),
       Line(LogLevel::Debug, "PcscMonitoring::WorkerThreadFunction Cleaning up Reader B"),
       Line(LogLevel::Debug, "PcscMonitoring::WorkerThreadFunction Cleaning up Reader A")}));
  EXPECT_EQ(pcsc.OpenContexts(), 0);
  EXPECT_EQ(pcsc.OpenCards(), 0);
}

// A card lying on a reader when monitoring starts is read but not reported; once taken off and
// put back it is.
TEST_F(PcscMonitoringTest, CardOnAReaderAtStartIsReportedOnlyWhenPresentedAgain) {
  pcsc.AddReader("Reader A");
  pcsc.InsertCard("Reader A", MakeCard(0x0B));
  Start();
  ASSERT_TRUE(monitor->WaitForInitialState(kDeadline));
  EXPECT_TRUE(reports.Get().empty());
  pcsc.RemoveCard("Reader A");
  pcsc.InsertCard("Reader A", MakeCard(0x0B));
  ASSERT_TRUE(reports.WaitFor(1));
  EXPECT_EQ(reports.Get()[0].uid, 0x0411223344550Bu);
}

TEST_F(PcscMonitoringTest, CallbackThatThrowsNeitherEndsTheWorkerNorHoldsTheCard) {
  pcsc.AddReader("Reader A");
  pcsc.AddReader("Reader B");
  afterReport = [] { throw "Noise handshake failed"; };  // the Noise layer throws C strings
  Start();
  ExpectIdle();
  pcsc.InsertCard("Reader A", MakeCard(0x08));
  ASSERT_TRUE(reports.WaitFor(1));
  pcsc.InsertCard("Reader B", MakeCard(0x09));
  ASSERT_TRUE(reports.WaitFor(2));
  ExpectIdle();
  EXPECT_EQ(pcsc.OpenCards(), 0);
}

TEST_F(PcscMonitoringTest, CardSwappedBetweenTwoWaitsIsRead) {
  pcsc.AddReader("Reader A");
  // While the first card is reported, it is taken off and another one put on: the next wait
  // finds a card present as before, with the reader's event count two higher.
  afterReport = [this, swapped = false]() mutable {
    if (!std::exchange(swapped, true)) {
      pcsc.RemoveCard("Reader A");
      pcsc.InsertCard("Reader A", MakeCard(0x0A));
    }
  };
  Start();
  ExpectIdle();
  pcsc.InsertCard("Reader A", MakeCard(0x09));
  ASSERT_TRUE(reports.WaitFor(2));
  EXPECT_EQ(reports.Get()[1].uid, 0x0411223344550Au);
}

TEST_F(PcscMonitoringTest, StoppingEndsWithinThePauseUnderWay) {
  // Production pauses: 1 s after the cancelled wait, 3 s while no reader is there.
  Start(MonitorTimings{});
  ASSERT_TRUE(pcsc.WaitForCount("ListReaders", 1, kDeadline));
  auto begin = std::chrono::steady_clock::now();
  monitor.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 3100ms);

  pcsc.AddReader("Reader A");
  Start(MonitorTimings{});
  ExpectIdle();
  begin = std::chrono::steady_clock::now();
  monitor.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 1100ms);
  EXPECT_GE(pcsc.Count("Cancel"), 1);
}

TEST_F(PcscMonitoringTest, StopRightAfterStartNeverHangs) {
  // A cancel that arrives before the wait has begun must not leave the worker waiting.
  pcsc.AddReader("Reader A");
  auto cycles = std::async(std::launch::async, [this] {
    for (int i = 0; i < 50; ++i) {
      PcscMonitoring m([](DesfireData) {}, pcsc, kFast);
      m.StartMonitoring();
    }
  });
  ASSERT_EQ(cycles.wait_for(kDeadline * 2), std::future_status::ready);
  EXPECT_EQ(pcsc.OpenContexts(), 0);
}

TEST_F(PcscMonitoringTest, MonitoringResumesAfterTheServiceRestarts) {
  pcsc.AddReader("Reader A");
  Start();
  ExpectIdle();
  const int contexts = pcsc.Count("EstablishContext");
  pcsc.SetServiceRunning(false);
  ASSERT_TRUE(pcsc.WaitForCount("EstablishContext", contexts + 1, kDeadline));
  pcsc.SetServiceRunning(true);
  ExpectIdle();
  pcsc.InsertCard("Reader A", MakeCard(0x06));
  ASSERT_TRUE(reports.WaitFor(1));
  EXPECT_EQ(reports.Get()[0].uid, 0x04112233445506u);
}

TEST_F(PcscMonitoringTest, MissingContextAndFailedWaitsAreRepaired) {
  pcsc.SetEstablishResult(SCARD_E_NO_SERVICE);
  pcsc.AddReader("Reader A");
  Start();
  ASSERT_TRUE(pcsc.WaitForCount("EstablishContext", 3, kDeadline));
  pcsc.SetEstablishResult(SCARD_S_SUCCESS);
  ExpectIdle();
  pcsc.QueueStatusChangeResults({SCARD_F_INTERNAL_ERROR, SCARD_E_NO_SERVICE});
  pcsc.InsertCard("Reader A", MakeCard(0x07));
  ASSERT_TRUE(reports.WaitFor(1));
  const std::string worker = "PcscMonitoring::WorkerThreadFunction ";
  EXPECT_TRUE(Logged(
      {Line(LogLevel::Error, "PcscBase::PcscBase Failed to establish smartcard context: 0x8010001d",
            "PcscBase"),
       Line(LogLevel::Error,
            "PcscBase::RefreshContext Failed to reestablish smartcard context: 0x8010001d",
            "PcscBase"),
       Line(LogLevel::Info, worker + "Smartcard context reestablished."),
       Line(LogLevel::Error, worker + "SCardGetStatusChange returned 0x80100001"),
       Line(LogLevel::Info, worker + "Smartcard context reestablished."),
       Line(LogLevel::Debug, worker + "Smart card service not running."),
       Line(LogLevel::Info, worker + "Smartcard context reestablished.")}));
}

}  // namespace
}  // namespace varlo
