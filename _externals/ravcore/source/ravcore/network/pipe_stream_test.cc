#include "ravcore/network/pipe_stream.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "platform/pipe/pipe_client.h"
#include "platform/pipe/pipe_listener.h"
#include "ravcore/network/network_exception.h"
#include "ravcore/network/pipe_test_util.h"

namespace ravcore::network {
namespace {

using testing_util::TestService;
using testing_util::ToU16;
using testing_util::WaitUntil;
using varlo::platform::PipeConnection;

// Runs `call` and returns the NetworkException it throws (fails the test if none).
template <typename Call>
NetworkException Thrown(Call call) {
  try {
    call();
  } catch (const NetworkException& error) {
    return error;
  }
  ADD_FAILURE() << "no NetworkException";
  return NetworkException("none");
}

class ConnectedPipeStream : public ::testing::Test {
 protected:
  void SetUp() override {
    stream.Connect(service.name);
    peer = service.listener.Accept(std::chrono::seconds(10));
    ASSERT_TRUE(peer.IsOpen());
  }

  TestService service;
  PipeStream stream;
  PipeConnection peer;
};

TEST_F(ConnectedPipeStream, ReadTakesWhatIsThereAndNeverWaits) {
  EXPECT_FALSE(stream.IsDataAvailable());
  EXPECT_TRUE(stream.Read().empty());

  const std::vector<std::uint8_t> sent = {1, 2, 3, 4, 5};
  ASSERT_TRUE(peer.WriteAll(sent));
  ASSERT_TRUE(WaitUntil([&] { return stream.IsDataAvailable(); }));
  varlo::SecureBytes got = stream.Read();
  EXPECT_EQ(std::vector<std::uint8_t>(got.begin(), got.end()), sent);
  EXPECT_TRUE(stream.Read().empty());
}

TEST_F(ConnectedPipeStream, WriteChecksItsRangeAndKeepsTheConnection) {
  const std::vector<std::uint8_t> data = {10, 11, 12, 13};
  EXPECT_EQ(stream.Write(data, 1, 3), 3);  // offset + length == size is accepted
  EXPECT_EQ(stream.Write(data), 4);

  for (auto [offset, length] :
       {std::pair<std::uint64_t, std::uint64_t>{1, 4}, {5, 0}, {~0ull, 2}, {2, ~0ull}}) {
    NetworkException error = Thrown([&] { stream.Write(data, offset, length); });
    EXPECT_STREQ(error.what(), "Input data is out of range.") << offset << "+" << length;
    EXPECT_EQ(error.GetSystemErrorCode(), 0u);
  }
  NetworkException empty = Thrown([&] { stream.Write(data, 4, 0); });
  EXPECT_STREQ(empty.what(), "Input data is empty.");
  EXPECT_EQ(empty.GetResultCode(), 0xE0000000EFFF000AULL);
  EXPECT_TRUE(stream.IsConnected());

  std::vector<std::uint8_t> received(7);
  ASSERT_TRUE(peer.ReadExactly(received, std::chrono::seconds(10)));
  EXPECT_THAT(received, testing::ElementsAre(11, 12, 13, 10, 11, 12, 13));
}

TEST_F(ConnectedPipeStream, PeerGoneIsConnectionLostReportedToTheSubjectFirst) {
  std::mutex mutex;
  std::vector<std::string> events;
  stream.errorSubject.Subscribe([&](unsigned long code) {
    std::lock_guard lock(mutex);
    events.push_back("subject " + std::to_string(code));
  });
  peer.Close();

  NetworkException lost = Thrown([&] { stream.Read(); });
  {
    std::lock_guard lock(mutex);
    events.push_back("caller " + std::to_string(lost.GetSystemErrorCode()));
  }
  EXPECT_STREQ(lost.what(), "Connection lost.");
  EXPECT_THAT(events, testing::ElementsAre("subject 109", "caller 109"));
  EXPECT_FALSE(stream.IsConnected());

  NetworkException unconnected = Thrown([&] { stream.IsDataAvailable(); });
  EXPECT_STREQ(unconnected.what(), "Connection not established.");
  EXPECT_EQ(unconnected.GetSystemErrorCode(), 0u);
  EXPECT_STREQ(Thrown([&] { stream.Write(std::vector<std::uint8_t>{1}); }).what(),
               "Connection not established.");

  // A stream that lost its connection connects again.
  stream.Connect(service.name);
  EXPECT_TRUE(stream.IsConnected());
}

TEST_F(ConnectedPipeStream, WriteToAGonePeerIsConnectionLost) {
  std::vector<unsigned long> codes;
  stream.errorSubject.Subscribe([&](unsigned long code) { codes.push_back(code); });
  peer.Close();
  const std::vector<std::uint8_t> data(1000, 7);
  NetworkException lost = Thrown([&] {
    for (;;)
      stream.Write(data);  // the first write may still be taken by the socket
  });
  EXPECT_STREQ(lost.what(), "Connection lost.");
  EXPECT_THAT(lost.GetSystemErrorCode(), testing::AnyOf(109u, 232u));
  EXPECT_THAT(codes, testing::ElementsAre(lost.GetSystemErrorCode()));
  stream.Close();  // closing an unconnected stream is harmless
}

TEST(PipeStream, MissingServiceIsFileNotFound) {
  varlo::platform::TemporaryPipeDirectory directory;
  PipeStream stream;
  NetworkException error = Thrown([&] { stream.Connect(ToU16(directory.Path() + "/absent")); });
  EXPECT_STREQ(error.what(), "Establishing connection failed.");
  EXPECT_EQ(error.GetSystemErrorCode(), 2u);
  EXPECT_FALSE(stream.IsConnected());
  EXPECT_STREQ(Thrown([&] { stream.Read(); }).what(), "Connection not established.");
}

// A service that accepts nothing, with its queue of pending connections full.
struct BusyService {
  BusyService() : service(0) {
    for (int i = 0; i < 16; ++i) {
      auto result = varlo::platform::OpenPipe(service.name);
      if (result.error != 0) {
        EXPECT_EQ(result.error, varlo::platform::kErrorPipeBusy);
        return;
      }
      waiting.emplace_back(result.handle);
    }
    ADD_FAILURE() << "the service's queue never filled";
  }
  TestService service;
  std::vector<PipeConnection> waiting;
};

TEST(PipeStream, BusyPipeIsTriedThirtyTimesMoreThenFails) {
  BusyService busy;
  std::vector<std::chrono::milliseconds> sleeps;
  PipeStream stream(PipeStream::Timing{std::chrono::milliseconds(1000),
                                       [&](std::chrono::milliseconds d) { sleeps.push_back(d); }});
  NetworkException error = Thrown([&] { stream.Connect(busy.service.name); });
  EXPECT_STREQ(error.what(), "Establishing connection failed.");
  EXPECT_EQ(error.GetSystemErrorCode(), 231u);
  EXPECT_EQ(sleeps.size(), 30u);
  EXPECT_EQ(sleeps.front(), std::chrono::milliseconds(1000));
}

TEST(PipeStream, BusyPipeThatFreesUpIsConnected) {
  BusyService busy;
  std::vector<PipeConnection> accepted;
  int sleeps = 0;
  PipeStream stream(PipeStream::Timing{
      std::chrono::milliseconds(1), [&](std::chrono::milliseconds) {
        if (++sleeps == 3) {
          accepted.push_back(busy.service.listener.Accept(std::chrono::seconds(10)));
        }
      }});
  stream.Connect(busy.service.name);
  EXPECT_TRUE(stream.IsConnected());
  EXPECT_EQ(sleeps, 3);
}

}  // namespace
}  // namespace ravcore::network
