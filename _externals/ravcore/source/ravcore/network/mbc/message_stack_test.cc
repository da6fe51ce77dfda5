// The message layers over a real pipe: records, frames and the assembled stack.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <numeric>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/pipe/pipe_listener.h"
#include "ravcore/network/mbc/message_splitting_wrapper.h"
#include "ravcore/network/mbc/pipe_stream_wrapper.h"
#include "ravcore/network/mbc/polling_wrapper.h"
#include "ravcore/network/mbc/stack_builder.h"
#include "ravcore/network/network_exception.h"
#include "ravcore/network/pipe_test_util.h"

namespace ravcore::network::mbc {
namespace {

using testing_util::ReadRecord;
using testing_util::Record;
using testing_util::TestService;
using testing_util::WaitUntil;
using Bytes = std::vector<std::uint8_t>;

Bytes Pattern(std::size_t n, std::uint8_t seed = 0) {
  Bytes bytes(n);
  for (std::size_t i = 0; i < n; ++i)
    bytes[i] = static_cast<std::uint8_t>(i * 31 + seed);
  return bytes;
}

// "text (code)" of a NetworkException, "text" of another exception.
std::string Describe(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const NetworkException& e) {
    return std::string(e.what()) + " (" + std::to_string(e.GetSystemErrorCode()) + ")";
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "unknown";
  }
}

Bytes ToBytes(const Message& m) {
  return Bytes(m.Bytes().begin(), m.Bytes().end());
}

// Reads `reader` until a message arrives or the deadline passes.
Message Next(IMessageReader& reader) {
  Message message;
  EXPECT_TRUE(WaitUntil([&] {
    message = reader.Read();
    return !message.IsEmpty();
  }));
  return message;
}

// A pipe stream connected to a test service, and the service's end of the connection.
class PipeLayers : public ::testing::Test {
 protected:
  void SetUp() override {
    stream = std::make_shared<PipeStream>();
    stream->Connect(service.name);
    peer = service.listener.Accept(std::chrono::seconds(10));
    ASSERT_TRUE(peer.IsOpen());
    records = std::make_shared<PipeStreamWrapper>(stream);
    records->Attach(nullptr, nullptr);  // already connected: nothing happens
  }

  TestService service;
  std::shared_ptr<PipeStream> stream;
  varlo::platform::PipeConnection peer;
  std::shared_ptr<PipeStreamWrapper> records;
};

TEST_F(PipeLayers, RecordIsDeliveredOnlyOnceItsBodyHasArrived) {
  const Bytes body = Pattern(300);
  const Bytes record = Record(body);
  ASSERT_TRUE(peer.WriteAll(std::span(record).first(6)));  // the length and two bytes
  ASSERT_TRUE(WaitUntil([&] { return stream->IsDataAvailable(); }));
  EXPECT_TRUE(records->Read().IsEmpty());
  ASSERT_TRUE(peer.WriteAll(std::span(record).subspan(6)));
  EXPECT_EQ(ToBytes(Next(*records)), body);
  EXPECT_TRUE(records->Read().IsEmpty());
}

TEST_F(PipeLayers, TwoRecordsInOneReadComeOutOneByOne) {
  Bytes both = Record(Pattern(10, 1));
  const Bytes second = Record({});
  both.insert(both.end(), second.begin(), second.end());
  ASSERT_TRUE(peer.WriteAll(both));
  EXPECT_EQ(ToBytes(Next(*records)), Pattern(10, 1));
  Message empty = records->Read();  // from the buffer, without new input
  EXPECT_FALSE(empty.IsEmpty());
  EXPECT_EQ(empty.Size(), 0u);
  EXPECT_TRUE(records->Read().IsEmpty());
}

TEST_F(PipeLayers, WriterSendsLengthPrefixedRecordsAndRefusesTheEmptyMarker) {
  records->Write(Message(Pattern(70000, 3)));
  records->Write(Message(varlo::SecureBytes{}));
  Bytes body;
  ASSERT_TRUE(ReadRecord(peer, body));
  EXPECT_EQ(body, Pattern(70000, 3));
  ASSERT_TRUE(ReadRecord(peer, body));
  EXPECT_TRUE(body.empty());
  try {
    records->Write(Message::Empty());
    FAIL() << "the empty marker was written";
  } catch (const std::invalid_argument& error) {
    EXPECT_STREQ(error.what(), "Message is empty.");
  }
}

TEST_F(PipeLayers, OversizedRecordIsABrokenConnectionNotAnEndlessBuffer) {
  std::vector<unsigned long> codes;
  stream->errorSubject.Subscribe([&](unsigned long code) { codes.push_back(code); });
  ASSERT_TRUE(peer.WriteAll(Bytes{0x00, 0x00, 0x01, 0x00}));  // 65536: no Noise message
  ASSERT_TRUE(WaitUntil([&] { return stream->IsDataAvailable(); }));
  try {
    records->Read();
    FAIL() << "an oversized record was accepted";
  } catch (const NetworkException& error) {
    EXPECT_STREQ(error.what(), "Connection lost.");
    EXPECT_EQ(error.GetSystemErrorCode(), 109u);
  }
  EXPECT_THAT(codes, testing::ElementsAre(109u));
  EXPECT_FALSE(stream->IsConnected());
}

TEST_F(PipeLayers, LargestNoiseMessageIsAccepted) {
  ASSERT_TRUE(peer.WriteAll(Record(Pattern(65535))));
  EXPECT_EQ(Next(*records).Size(), 65535u);
}

TEST(PipeStreamWrapper, AttachTriesToConnectAnUnconnectedStreamAndFails) {
  auto stream = std::make_shared<PipeStream>();
  PipeStreamWrapper records(stream);
  try {
    records.Attach(nullptr, nullptr);  // the wrapper has no pipe name of its own
    FAIL() << "an unnamed pipe was connected";
  } catch (const NetworkException& error) {
    EXPECT_STREQ(error.what(), "Establishing connection failed.");
    EXPECT_EQ(error.GetSystemErrorCode(), 123u);
  }
}

class FramesOnThePipe : public PipeLayers {
 protected:
  void SetUp() override {
    PipeLayers::SetUp();
    frames = std::make_shared<MessageSplittingWrapper>();
    frames->Attach(records, records);
  }

  // The records the service receives, until `count` have come.
  std::vector<Bytes> Received(std::size_t count) {
    std::vector<Bytes> all(count);
    for (auto& body : all)
      EXPECT_TRUE(ReadRecord(peer, body));
    return all;
  }

  std::shared_ptr<MessageSplittingWrapper> frames;
};

TEST_F(FramesOnThePipe, LongMessageTravelsAsStartFrameAndTwoDataFrames) {
  const Bytes message = Pattern(100000, 9);
  frames->Write(Message(message));
  std::vector<Bytes> wire = Received(3);
  ASSERT_EQ(wire[0].size(), 13u);
  ASSERT_EQ(wire[1].size(), 64512u);
  ASSERT_EQ(wire[2].size(), 35506u);
  EXPECT_THAT(Bytes(wire[0].begin(), wire[0].begin() + 13),
              testing::ElementsAre(1, 0, 0, 0, 0xBD, 0x2D, 0x7C, 0x03, 0, 0xA0, 0x86, 0x01, 0));
  Bytes joined;
  for (int i = 1; i < 3; ++i) {
    EXPECT_THAT(Bytes(wire[i].begin(), wire[i].begin() + 9),
                testing::ElementsAre(1, 0, 0, 0, 0xBD, 0x2D, 0x7C, 0x03, 1));
    joined.insert(joined.end(), wire[i].begin() + 9, wire[i].end());
  }
  EXPECT_EQ(joined, message);

  // The same frames coming back are joined into the message.
  for (const Bytes& frame : wire)
    ASSERT_TRUE(peer.WriteAll(Record(frame)));
  EXPECT_EQ(ToBytes(Next(*frames)), message);
}

TEST_F(FramesOnThePipe, EmptyMessageIsAStartFrameAloneAndArrivesAtOnce) {
  frames->Write(Message(varlo::SecureBytes{}));
  frames->Write(Message(Pattern(5)));
  std::vector<Bytes> wire = Received(3);
  EXPECT_EQ(wire[0].size(), 13u);
  EXPECT_EQ(wire[1].size(), 13u);
  EXPECT_EQ(wire[2].size(), 14u);

  for (const Bytes& frame : wire)
    ASSERT_TRUE(peer.WriteAll(Record(frame)));
  Message empty = Next(*frames);
  EXPECT_EQ(empty.Size(), 0u);
  EXPECT_EQ(ToBytes(Next(*frames)), Pattern(5));
}

TEST_F(FramesOnThePipe, ForeignMessagesAreHandedUpUnchangedAndDropAPartialMessage) {
  const Bytes shortOne = {'h', 'i'};
  const Bytes otherVersion = {2, 0, 0, 0, 0xBD, 0x2D, 0x7C, 0x03, 0, 5, 0, 0, 0};
  const Bytes dataWithoutStart = {1, 0, 0, 0, 0, 0, 0, 0, 1, 42};
  frames->Write(Message(Pattern(130000)));  // four frames; we resend only the first two
  std::vector<Bytes> wire = Received(4);

  for (const Bytes& m : {shortOne, otherVersion, dataWithoutStart, wire[0], wire[1], shortOne}) {
    ASSERT_TRUE(peer.WriteAll(Record(m)));
  }
  EXPECT_EQ(ToBytes(Next(*frames)), shortOne);
  EXPECT_EQ(ToBytes(Next(*frames)), otherVersion);
  EXPECT_EQ(ToBytes(Next(*frames)), dataWithoutStart);
  EXPECT_EQ(ToBytes(Next(*frames)), shortOne);  // the partial message is dropped

  // A start frame while receiving is foreign too; the next whole message still arrives.
  for (const Bytes& m : {wire[0], wire[0]})
    ASSERT_TRUE(peer.WriteAll(Record(m)));
  EXPECT_EQ(ToBytes(Next(*frames)), wire[0]);
  for (const Bytes& m : wire)
    ASSERT_TRUE(peer.WriteAll(Record(m)));
  EXPECT_EQ(ToBytes(Next(*frames)), Pattern(130000));
}

// A layer that is only a reader, to check the stack's top.
class ReaderOnly : public IMessageReader, public IWrapper {
 public:
  explicit ReaderOnly(std::string name) : name_(std::move(name)) {}
  Message Read() override { return Message(std::span<const std::uint8_t>()); }
  std::shared_ptr<IMessageReader> GetReader() override { return below_; }
  std::shared_ptr<IMessageWriter> GetWriter() override { return nullptr; }
  void Attach(std::shared_ptr<IMessageReader> reader, std::shared_ptr<IMessageWriter>) override {
    below_ = std::move(reader);
  }
  const std::string& Name() const { return name_; }

 private:
  std::string name_;
  std::shared_ptr<IMessageReader> below_;
};

TEST(StackBuilder, BuildsBottomUpRunningEachCallbackBeforeTheNextLayer) {
  StackBuilder builder;
  std::vector<std::string> calls;
  std::shared_ptr<ReaderOnly> bottom;
  builder.Add<ReaderOnly>(std::string("bottom")).Configure([&](const auto& w) {
    calls.push_back(w->Name() + (w->GetReader() ? " over something" : " over nothing"));
    bottom = w;
  });
  builder.Add<ReaderOnly>(std::string("top")).Configure([&](const auto& w) {
    calls.push_back(w->Name() + (w->GetReader() == bottom ? " over bottom" : " elsewhere"));
  });
  std::unique_ptr<IStack> stack = builder.Build();
  EXPECT_THAT(calls, testing::ElementsAre("bottom over nothing", "top over bottom"));
  EXPECT_FALSE(stack->Read().IsEmpty());
  try {
    stack->Write(Message::Empty());
    FAIL();
  } catch (const NetworkException& error) {
    EXPECT_STREQ(error.what(), "Top of stack is not a message writer.");
  }
}

TEST(StackBuilder, EmptyStackAndFailingCallback) {
  std::unique_ptr<IStack> empty = StackBuilder().Build();
  for (auto call : {+[](IStack& s) { s.Read(); }, +[](IStack& s) { s.Write(Message()); }}) {
    try {
      call(*empty);
      FAIL();
    } catch (const NetworkException& error) {
      EXPECT_STREQ(error.what(), "Stack is empty.");
      EXPECT_EQ(error.GetSystemErrorCode(), 0u);
    }
  }
  StackBuilder failing;
  failing.Add<ReaderOnly>(std::string("x")).Configure([](const auto&) {
    throw std::runtime_error("configure failed");
  });
  EXPECT_THROW(failing.Build(), std::runtime_error);
}

TEST_F(PipeLayers, PollingLooksAgainSoonWhileAMessageIsHalfThere) {
  // The first half of a record is there before polling starts; the idle interval is far
  // longer than the deadline, so only the mid-message interval can deliver in time.
  const Bytes body = Pattern(5000, 6);
  const Bytes record = Record(body);
  ASSERT_TRUE(peer.WriteAll(std::span(record).first(2000)));
  ASSERT_TRUE(WaitUntil([&] { return stream->IsDataAvailable(); }));

  std::mutex mutex;
  std::vector<Bytes> received;
  auto polling = std::make_shared<PollingWrapper>(std::chrono::minutes(10));
  polling->Attach(records, records);
  polling->messages.Subscribe([&](const Message& m) {
    std::lock_guard lock(mutex);
    received.push_back(ToBytes(m));
  });
  polling->Start();
  ASSERT_TRUE(WaitUntil([&] { return !stream->IsDataAvailable(); }));  // the half was read
  ASSERT_TRUE(peer.WriteAll(std::span(record).subspan(2000)));
  ASSERT_TRUE(WaitUntil(
      [&] {
        std::lock_guard lock(mutex);
        return received.size() == 1;
      },
      std::chrono::seconds(5)));
  EXPECT_EQ(received[0], body);
  polling.reset();  // wakes the idle wait and joins at once
}

TEST_F(PipeLayers, PollingStackPublishesMessagesAndItsEndingError) {
  StackBuilder builder;
  std::mutex mutex;
  std::vector<Bytes> received;
  std::string failure;
  std::shared_ptr<PollingWrapper> polling;
  builder.Add<PipeStreamWrapper>(stream);
  builder.Add<MessageSplittingWrapper>();
  builder.Add<PollingWrapper>(std::chrono::milliseconds(1)).Configure([&](const auto& w) {
    w->messages.Subscribe([&](const Message& m) {
      std::lock_guard lock(mutex);
      received.push_back(ToBytes(m));
    });
    w->errors.Subscribe([&](const std::exception_ptr& e) {
      std::string text = Describe(e);  // on the polling thread, which holds the exception
      std::lock_guard lock(mutex);
      failure = text;
    });
    w->Start();
    polling = w;
  });
  std::unique_ptr<IStack> stack = builder.Build();
  try {
    stack->Read();
    FAIL();
  } catch (const NetworkException& error) {
    EXPECT_STREQ(error.what(), "Top of stack is not a message reader.");
  }

  // Writes pass down to the pipe; what the service sends comes up through the subject.
  stack->Write(Message(Pattern(70000, 4)));
  std::vector<Bytes> wire(3);
  for (auto& body : wire)
    ASSERT_TRUE(ReadRecord(peer, body));
  for (const Bytes& frame : wire)
    ASSERT_TRUE(peer.WriteAll(Record(frame)));
  ASSERT_TRUE(WaitUntil([&] {
    std::lock_guard lock(mutex);
    return received.size() == 1;
  }));
  EXPECT_EQ(received[0], Pattern(70000, 4));

  peer.Close();
  ASSERT_TRUE(WaitUntil([&] {
    std::lock_guard lock(mutex);
    return !failure.empty();
  }));
  EXPECT_TRUE(WaitUntil([&] { return !polling->IsRunning(); }));
  {
    std::lock_guard lock(mutex);
    EXPECT_EQ(failure, "Connection lost. (109)");
  }
  polling.reset();
  stack.reset();  // joins the ended thread
}

}  // namespace
}  // namespace ravcore::network::mbc
