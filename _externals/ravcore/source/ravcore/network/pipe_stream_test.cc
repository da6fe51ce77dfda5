#include "ravcore/network/pipe_stream.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <future>
#include <string>
#include <vector>

#include "ravcore/network/pipe_test_util.h"

namespace ravcore::network {
namespace {

using namespace testing_util;
using namespace std::chrono_literals;
using varlo::platform::PipeConnection;

class ConnectedPipeStream : public ::testing::Test {
 protected:
  void SetUp() override { Connect(); }
  void Connect() {
    stream.Connect(service.name);
    peer = service.listener.Accept(std::chrono::seconds(10));
    ASSERT_TRUE(peer.IsOpen());
  }

  TestService service;
  PipeStream stream;
  PipeConnection peer;
};

TEST_F(ConnectedPipeStream, ReadTakesWhatIsThereAndWriteChecksItsRange) {
  EXPECT_TRUE(stream.Read().empty());  // nothing pending: at once, not blocking
  const Bytes data = {10, 11, 12, 13};
  EXPECT_EQ(stream.Write(data, 1, 3), 3);  // offset + length == size is accepted
  EXPECT_EQ(stream.Write(data), 4);
  struct Case {
    std::uint64_t offset, length;
    const char* failure;
  };
  for (const Case& c : {Case{1, 4, "Input data is out of range. (0)"},
                        Case{5, 0, "Input data is out of range. (0)"},
                        Case{~0ull, 2, "Input data is out of range. (0)"},
                        Case{2, ~0ull, "Input data is out of range. (0)"},
                        Case{4, 0, "Input data is empty. (0)"}}) {
    EXPECT_EQ(Failure([&] { stream.Write(data, c.offset, c.length); }), c.failure) << c.offset;
  }
  try {
    stream.Write(data, 0, 0);
    ADD_FAILURE();
  } catch (const NetworkException& error) {
    EXPECT_EQ(error.GetResultCode(), 0xE0000000EFFF000AULL);
  }
  EXPECT_TRUE(stream.IsConnected());  // range failures keep the connection

  Bytes received(7);
  ASSERT_TRUE(peer.ReadExactly(received, std::chrono::seconds(10)));
  EXPECT_THAT(received, testing::ElementsAre(11, 12, 13, 10, 11, 12, 13));
  ASSERT_TRUE(peer.WriteAll(data));
  ASSERT_TRUE(WaitUntil([&] { return stream.IsDataAvailable(); }));
  varlo::SecureBytes got = stream.Read();
  EXPECT_EQ(Bytes(got.begin(), got.end()), data);
}

// A gone peer is noticed by a read (end of stream, 109) and by a write (232, or 109 on a
// reset); the error subject hears the code before the caller sees "Connection lost.".
TEST_F(ConnectedPipeStream, PeerGoneIsConnectionLostReportedToTheSubjectFirst) {
  // The observer runs on the stream's thread, which hands over to the caller through the
  // request's future, so the list needs no lock.
  std::vector<std::string> events;
  stream.errorSubject.Subscribe(
      [&](unsigned long code) { events.push_back(std::to_string(code)); });
  for (bool writing : {false, true}) {
    events.clear();
    peer.Close();
    events.push_back(Failure([&] {
      for (;;) {  // a write may still be taken by the socket
        if (writing) {
          stream.Write(Bytes(1000, 7));
        } else {
          stream.Read();
        }
      }
    }));
    ASSERT_EQ(events.size(), 2u);
    EXPECT_TRUE(events[0] == "109" || (writing && events[0] == "232")) << events[0];
    EXPECT_EQ(events[1], "Connection lost. (" + events[0] + ")");
    EXPECT_EQ(Failure([&] { stream.IsDataAvailable(); }), "Connection not established. (0)");
    EXPECT_EQ(Failure([&] { stream.Write(Bytes{1}); }), "Connection not established. (0)");
    Connect();  // a stream that lost its connection connects again
  }
}

// A wait for data runs on the caller's thread and ends, long before its limit, when bytes come,
// when the stream is closed and when it is broken.
TEST_F(ConnectedPipeStream, WaitForDataEndsOnDataOnCloseAndOnBreak) {
  const std::vector<std::function<void()>> endings = {[&] { ASSERT_TRUE(peer.WriteAll(Bytes{1})); },
                                                      [&] { stream.Close(); },
                                                      [&] { stream.Break(109); }};
  for (const auto& end : endings) {
    auto waiting = std::async(std::launch::async, [&] { return stream.WaitForData(60s, nullptr); });
    EXPECT_EQ(waiting.wait_for(20ms), std::future_status::timeout);  // nothing yet: it waits
    end();
    ASSERT_EQ(waiting.wait_for(5s), std::future_status::ready);
    EXPECT_TRUE(waiting.get());
    if (stream.IsConnected()) {
      EXPECT_EQ(stream.Read().size(), 1u);
    } else {
      Connect();
    }
  }
}

TEST(PipeStream, FailedConnectLeavesTheStreamUnconnected) {
  TestService service;
  PipeStream stream;
  stream.Connect(service.name);
  EXPECT_EQ(Failure([&] { stream.Connect(ToU16(service.directory.Path() + "/absent")); }),
            "Establishing connection failed. (2)");
  EXPECT_FALSE(stream.IsConnected());
  EXPECT_EQ(Failure([&] { stream.Read(); }), "Connection not established. (0)");
}

TEST(PipeStream, BusyPipeIsTriedThirtyTimesMoreThenFails) {
  // A service that accepts nothing, with its queue of pending connections full.
  TestService service(0);
  std::vector<PipeConnection> waiting;
  varlo::platform::PipeOpenResult opened;
  while (waiting.size() < 64 && (opened = varlo::platform::OpenPipe(service.name)).error == 0)
    waiting.emplace_back(opened.handle);

  std::vector<std::chrono::milliseconds> sleeps;
  PipeStream stream(PipeStream::Timing{std::chrono::milliseconds(1000),
                                       [&](std::chrono::milliseconds d) { sleeps.push_back(d); }});
  EXPECT_EQ(Failure([&] { stream.Connect(service.name); }),
            "Establishing connection failed. (231)");
  EXPECT_THAT(sleeps, testing::ElementsAreArray(
                          std::vector<std::chrono::milliseconds>(30, std::chrono::seconds(1))));
}

}  // namespace
}  // namespace ravcore::network
