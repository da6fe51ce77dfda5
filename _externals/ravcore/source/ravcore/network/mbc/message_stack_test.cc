// The record and frame layers over a real pipe, with the test playing the service's end, and
// the record reader over a scripted stream.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ravcore/network/mbc/message_based_stream_reader.h"
#include "ravcore/network/mbc/message_splitting_wrapper.h"
#include "ravcore/network/mbc/pipe_stream_wrapper.h"
#include "ravcore/network/mbc/polling_wrapper.h"
#include "ravcore/network/pipe_test_util.h"

namespace ravcore::network::mbc {
namespace {

using namespace testing_util;

// Reads `reader` until a message arrives or the deadline passes.
Message Next(IMessageReader& reader) {
  Message message;
  EXPECT_TRUE(WaitUntil([&] {
    message = reader.Read();
    return !message.IsEmpty();
  }));
  return message;
}

// A pipe stream connected to a test service, the service's end, and the layers over the stream.
class PipeLayers : public ::testing::Test {
 protected:
  void SetUp() override {
    stream->Connect(service.name);
    peer = service.listener.Accept(std::chrono::seconds(10));
    ASSERT_TRUE(peer.IsOpen());
    records->Attach(nullptr, nullptr);  // already connected: nothing happens
    frames->Attach(records, records);
  }

  void Send(const std::vector<Bytes>& bodies) {
    for (const Bytes& body : bodies)
      ASSERT_TRUE(peer.WriteAll(Record(body)));
  }

  TestService service;
  std::shared_ptr<PipeStream> stream = std::make_shared<PipeStream>();
  varlo::platform::PipeConnection peer;
  std::shared_ptr<PipeStreamWrapper> records = std::make_shared<PipeStreamWrapper>(stream);
  std::shared_ptr<MessageSplittingWrapper> frames = std::make_shared<MessageSplittingWrapper>();
};

// A record comes out only once its body has arrived; a second one that came with it comes out
// from the buffer, without new input.
TEST_F(PipeLayers, RecordsComeOutWholeAndOneByOne) {
  const Bytes body = Pattern(300), empty = Record({});
  Bytes bytes = Record(body);
  bytes.insert(bytes.end(), empty.begin(), empty.end());
  ASSERT_TRUE(peer.WriteAll(std::span(bytes).first(6)));  // the length and two bytes
  ASSERT_TRUE(WaitUntil([&] { return stream->IsDataAvailable(); }));
  EXPECT_TRUE(records->Read().IsEmpty());
  ASSERT_TRUE(peer.WriteAll(std::span(bytes).subspan(6)));
  EXPECT_EQ(ToBytes(Next(*records)), body);
  Message second = records->Read();
  EXPECT_FALSE(second.IsEmpty());
  EXPECT_EQ(second.Size(), 0u);
  EXPECT_TRUE(records->Read().IsEmpty());
  EXPECT_EQ(Failure([&] { records->Write(Message::Empty()); }), "Message is empty.");
}

// No Noise message exceeds 65535 bytes: a longer record is a broken connection, not a reason
// to buffer whatever the peer sends.
TEST_F(PipeLayers, OversizedRecordIsABrokenConnection) {
  std::vector<unsigned long> codes;
  stream->errorSubject.Subscribe([&](unsigned long code) { codes.push_back(code); });
  Send({Pattern(65535)});
  EXPECT_EQ(Next(*records).Size(), 65535u);
  ASSERT_TRUE(peer.WriteAll(Bytes{0x00, 0x00, 0x01, 0x00}));  // 65536
  ASSERT_TRUE(WaitUntil([&] { return stream->IsDataAvailable(); }));
  EXPECT_EQ(Failure([&] { records->Read(); }), "Connection lost. (109)");
  EXPECT_THAT(codes, testing::ElementsAre(109u));
  EXPECT_FALSE(stream->IsConnected());
}

TEST_F(PipeLayers, LongMessageTravelsAsStartFrameAndTwoDataFrames) {
  const Bytes message = Pattern(100000, 9);
  frames->Write(Message(message));
  std::vector<Bytes> wire = ReadRecords(peer, 3);
  ASSERT_EQ(wire.size(), 3u);
  EXPECT_THAT(wire[0],
              testing::ElementsAre(1, 0, 0, 0, 0xBD, 0x2D, 0x7C, 0x03, 0, 0xA0, 0x86, 0x01, 0));
  EXPECT_EQ(wire[1].size(), 64512u);
  EXPECT_EQ(wire[2].size(), 35506u);
  Bytes joined;
  for (int i = 1; i < 3; ++i) {
    EXPECT_THAT(Bytes(wire[i].begin(), wire[i].begin() + 9),
                testing::ElementsAre(1, 0, 0, 0, 0xBD, 0x2D, 0x7C, 0x03, 1));
    joined.insert(joined.end(), wire[i].begin() + 9, wire[i].end());
  }
  EXPECT_EQ(joined, message);

  Send(wire);  // the same frames coming back are joined into the message
  EXPECT_EQ(ToBytes(Next(*frames)), message);
}

// A 0-byte message is a start frame alone; the reader delivers it at once instead of waiting
// for a data frame that never comes.
TEST_F(PipeLayers, EmptyMessageIsAStartFrameAloneAndArrivesAtOnce) {
  frames->Write(Message(varlo::SecureBytes{}));
  frames->Write(Message(Pattern(5)));
  std::vector<Bytes> wire = ReadRecords(peer, 3);
  ASSERT_EQ(wire.size(), 3u);
  EXPECT_THAT(wire[0], testing::ElementsAre(1, 0, 0, 0, 0xBD, 0x2D, 0x7C, 0x03, 0, 0, 0, 0, 0));
  EXPECT_EQ(wire[1].size(), 13u);
  EXPECT_EQ(wire[2].size(), 14u);

  Send(wire);
  EXPECT_EQ(Next(*frames).Size(), 0u);
  EXPECT_EQ(ToBytes(Next(*frames)), Pattern(5));
}

TEST_F(PipeLayers, ForeignMessagesAreHandedUpUnchangedAndDropAPartialMessage) {
  const Bytes shortOne = {'h', 'i'};
  const Bytes otherVersion = {2, 0, 0, 0, 0xBD, 0x2D, 0x7C, 0x03, 0, 5, 0, 0, 0};
  const Bytes dataWithoutStart = {1, 0, 0, 0, 0, 0, 0, 0, 1, 42};
  frames->Write(Message(Pattern(130000)));  // three data frames; two will be lost
  std::vector<Bytes> wire = ReadRecords(peer, 4);
  ASSERT_EQ(wire.size(), 4u);
  // A start frame while receiving is foreign too; after it the whole message still arrives.
  Send({shortOne, otherVersion, dataWithoutStart, wire[0], wire[1], shortOne, wire[0], wire[0]});
  Send(wire);
  for (const Bytes& foreign : {shortOne, otherVersion, dataWithoutStart, shortOne, wire[0]})
    EXPECT_EQ(ToBytes(Next(*frames)), foreign);
  EXPECT_EQ(ToBytes(Next(*frames)), Pattern(130000));
}

// The service caps what a start frame may announce: more fails the read instead of being
// buffered.
TEST_F(PipeLayers, StartFrameAnnouncingMoreThanTheLimitFailsTheRead) {
  auto limited = std::make_shared<MessageSplittingWrapper>(100);
  limited->Attach(records, records);
  frames->Write(Message(Pattern(100)));
  frames->Write(Message(Pattern(101)));
  Send(ReadRecords(peer, 4));
  EXPECT_EQ(ToBytes(Next(*limited)), Pattern(100));
  std::string failure;
  ASSERT_TRUE(WaitUntil([&] {
    failure = Failure([&] { EXPECT_TRUE(limited->Read().IsEmpty()); });
    return !failure.empty();
  }));
  EXPECT_EQ(failure, "Announced message length exceeds the limit. (0)");
}

// Hands out a prepared byte string `chunk` bytes per read and counts the reads.
class ScriptedStream : public IStream {
 public:
  ScriptedStream(Bytes bytes, std::size_t chunk) : bytes_(std::move(bytes)), chunk_(chunk) {}
  void Close() override {}
  varlo::SecureBytes Read() override {
    ++reads;
    const std::size_t n = std::min(chunk_, bytes_.size() - offset_);
    varlo::SecureBytes out(bytes_.begin() + offset_, bytes_.begin() + offset_ + n);
    offset_ += n;
    return out;
  }
  int Write(std::span<const std::uint8_t>, std::uint64_t, std::uint64_t) override { return 0; }
  int Write(std::span<const std::uint8_t>) override { return 0; }

  std::size_t reads = 0;

 private:
  Bytes bytes_;
  std::size_t chunk_;
  std::size_t offset_ = 0;
};

// However the bytes are cut into reads, a burst of records comes out intact, and the reader
// asks the stream for more only when it holds no whole record: by the end of record k it has
// read exactly the chunks that reach that far.
TEST(MessageBasedStreamReader, ReadsTheStreamOnlyWhenItHoldsNoWholeRecord) {
  Bytes burst;
  std::vector<std::size_t> ends;
  for (std::uint32_t i = 0; i < 500; ++i) {
    const Bytes record = Record(Pattern(i % 300, i));
    burst.insert(burst.end(), record.begin(), record.end());
    ends.push_back(burst.size());
  }
  for (const std::size_t chunk : {burst.size(), std::size_t{777}, std::size_t{1}}) {
    auto stream = std::make_shared<ScriptedStream>(burst, chunk);
    MessageBasedStreamReader reader(stream, [](IStream&) { return true; });
    for (std::uint32_t i = 0; i < ends.size(); ++i) {
      Message message;
      while (message.IsEmpty() && stream->reads <= burst.size())
        message = reader.Read();
      ASSERT_EQ(ToBytes(message), Pattern(i % 300, i)) << chunk << " " << i;
      ASSERT_EQ(stream->reads, (ends[i] + chunk - 1) / chunk) << chunk << " " << i;
    }
    EXPECT_TRUE(reader.Read().IsEmpty());
  }
}

// A read that throws ends the polling: by the time the error observers hear of it the wrapper no
// longer counts as running, so an owner that checks IsRunning knows to rebuild the stack.
TEST(PollingWrapper, ReaderThatThrowsLeavesItNotRunning) {
  struct BrokenReader : IMessageReader {
    Message Read() override { throw NetworkException("Pipe is broken.", 109); }
  };
  PollingWrapper polling;
  polling.Attach(std::make_shared<BrokenReader>(), nullptr);
  std::mutex mutex;
  std::string error;
  bool runningWhenTold = true;
  polling.errors.Subscribe([&](const std::exception_ptr& e) {
    std::lock_guard lock(mutex);
    error = Describe(e);
    runningWhenTold = polling.IsRunning();
  });
  polling.Start();
  ASSERT_TRUE(WaitUntil([&] {
    std::lock_guard lock(mutex);
    return !error.empty();
  }));
  std::lock_guard lock(mutex);
  EXPECT_EQ(error, "Pipe is broken. (109)");
  EXPECT_FALSE(runningWhenTold);
  EXPECT_FALSE(polling.IsRunning());
}

}  // namespace
}  // namespace ravcore::network::mbc
