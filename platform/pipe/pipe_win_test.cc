#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "platform/pipe/peer_credentials.h"
#include "platform/pipe/pipe_end_win.h"
#include "platform/pipe/pipe_listener.h"
#include "platform/pipe/pipe_wait.h"

namespace varlo::platform {
namespace {

using namespace std::chrono_literals;

std::u16string ToU16(const std::string& text) {
  return {text.begin(), text.end()};
}

// Reads until `size` bytes have come, each wait on another thread's writes ending in time.
std::vector<std::uint8_t> ReadAll(PipeHandle pipe, std::size_t size) {
  std::vector<std::uint8_t> got;
  while (got.size() < size) {
    if (WaitPipeReadable(pipe, {}, 5s) != PipeWaitResult::kReadable)
      break;
    const PipeIoResult peek = PeekPipe(pipe);
    if (peek.error != 0)
      break;
    std::vector<std::uint8_t> buffer(peek.count);
    const PipeIoResult read = ReadPipe(pipe, buffer);
    if (read.error != 0)
      break;
    got.insert(got.end(), buffer.begin(), buffer.begin() + read.count);
  }
  return got;
}

// The service's pipe in the default folder is `\\.\pipe\LEAF` itself; a folder of one's own
// gives a pipe of its own; names that would leave the folder are refused.
TEST(WindowsPipeNames, FollowThePipeFolder) {
  ASSERT_EQ(_putenv("VARLO_PIPE_DIR="), 0);
  const std::string leaf = "varlo-test-" + std::to_string(::GetCurrentProcessId());
  PipeListener listener(PipeDirectory() + "\\" + leaf, 4);
  const PipeOpenResult client = OpenPipe(u"\\\\.\\pipe\\" + ToU16(leaf));
  ASSERT_EQ(client.error, 0u);
  EXPECT_TRUE(listener.Accept(5s).IsOpen());
  ClosePipe(client.handle);

  EXPECT_EQ(win::PipeNameOfPath("C:\\Temp\\Dir\\svc"), L"\\\\.\\pipe\\c:/temp/dir/svc");
  EXPECT_EQ(win::PipeNameOfPath("c:/temp//dir/svc"), L"\\\\.\\pipe\\c:/temp/dir/svc");
  for (std::u16string bad : {u"", u"relative", u"\\\\.\\pipe\\", u"\\\\.\\pipe\\..",
                             u"\\\\.\\pipe\\a\\b", u"\\\\.\\pipe\\a/b", u"\\\\.\\pipe\\\xd800"}) {
    EXPECT_EQ(OpenPipe(bad).error, kErrorInvalidName);
  }
}

// Bytes beyond the pipe's buffer cross both ways while the reader waits for them, the peer is
// known, and a peer that goes is seen only after its last bytes.
TEST(WindowsPipe, CarriesBytesBothWaysAndReportsAGonePeerAfterItsLastBytes) {
  TemporaryPipeDirectory directory;
  const std::string path = directory.Path() + "\\service";
  PipeListener listener(path, 4);
  const PipeOpenResult client = OpenPipe(ToU16(path));
  ASSERT_EQ(client.error, 0u);
  PipeConnection server = listener.Accept(5s);
  ASSERT_TRUE(server.IsOpen());
  const auto peer = ReadPeerCredentials(server.Handle());
  ASSERT_TRUE(peer.has_value());
  EXPECT_EQ(peer->pid, static_cast<std::int32_t>(::GetCurrentProcessId()));

  std::vector<std::uint8_t> data(300000);
  for (std::size_t i = 0; i < data.size(); ++i)
    data[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
  std::thread serverWrites([&] { EXPECT_TRUE(server.WriteAll(data)); });
  EXPECT_EQ(ReadAll(client.handle, data.size()), data);
  serverWrites.join();

  std::thread serverReads([&] {
    std::vector<std::uint8_t> in(data.size());
    EXPECT_TRUE(server.ReadExactly(in, 10s));
    EXPECT_EQ(in, data);
  });
  for (std::size_t done = 0; done < data.size();) {
    const PipeIoResult written = WritePipe(client.handle, std::span(data).subspan(done), 20);
    ASSERT_EQ(written.error, 0u);
    done += written.count;
  }
  serverReads.join();

  const std::uint8_t last[3] = {1, 2, 3};
  ASSERT_EQ(WritePipe(client.handle, last, 20).count, 3u);
  ClosePipe(client.handle);
  EXPECT_EQ(ReadAll(server.Handle(), 3), std::vector<std::uint8_t>(last, last + 3));
  EXPECT_EQ(WaitPipeReadable(server.Handle(), {}, 5s), PipeWaitResult::kReadable);
  EXPECT_EQ(PeekPipe(server.Handle()).error, kErrorBrokenPipe);
  EXPECT_EQ(WritePipe(server.Handle(), last, 20).error, kErrorNoData);
}

// A wait ends at its time-out, or at once when a wake event is signalled, while the one-byte
// read it keeps outstanding loses nothing that comes later.
TEST(WindowsPipe, WaitEndsOnTimeOutOrWakeAndLosesNoByte) {
  TemporaryPipeDirectory directory;
  const std::string path = directory.Path() + "\\service";
  PipeListener listener(path, 4);
  const PipeOpenResult client = OpenPipe(ToU16(path));
  ASSERT_EQ(client.error, 0u);
  PipeConnection server = listener.Accept(5s);
  EXPECT_EQ(WaitPipeReadable(client.handle, {}, 30ms), PipeWaitResult::kTimedOut);
  WakeEvent wake;
  std::thread waker([&] { wake.Signal(); });
  EXPECT_EQ(WaitPipeReadable(client.handle, {nullptr, &wake}, 5s), PipeWaitResult::kWoken);
  waker.join();
  EXPECT_EQ(PeekPipe(client.handle).count, 0u);
  const std::uint8_t bytes[2] = {0xA5, 0x5A};
  ASSERT_TRUE(server.WriteAll(bytes));
  EXPECT_EQ(ReadAll(client.handle, 2), std::vector<std::uint8_t>(bytes, bytes + 2));
  ClosePipe(client.handle);
  std::thread interrupter([&] { listener.Interrupt(); });
  EXPECT_FALSE(listener.Accept(-1ms).IsOpen());
  interrupter.join();
}

}  // namespace
}  // namespace varlo::platform
