#include "platform/pipe/pipe_client.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <array>
#include <cstdint>
#include <string>

#include "platform/pipe/pipe_listener.h"

namespace varlo::platform {
namespace {

std::u16string ToU16(const std::string& text) {
  return {text.begin(), text.end()};
}

TEST(PipeSocketPath, MapsPipeNamesIntoThePipeDirectory) {
  const std::u16string service = u"\\\\.\\pipe\\{969D51FF-A05A-4534-932D-014340F25540}";
  EXPECT_EQ(PipeSocketPath(service, "/run/varlo"),
            "/run/varlo/{969D51FF-A05A-4534-932D-014340F25540}");
  EXPECT_EQ(PipeSocketPath(u"\\\\.\\PIPE\\x", "/tmp/dir/"), "/tmp/dir/x");
  EXPECT_EQ(PipeSocketPath(u"/tmp/explicit/socket", "/run/varlo"), "/tmp/explicit/socket");
  EXPECT_EQ(PipeSocketPath(u"\\\\.\\pipe\\caf\u00e9", "/d"), "/d/caf\xc3\xa9");
  for (std::u16string bad : {u"", u"relative", u"\\\\.\\pipe\\", u"\\\\.\\pipe\\..",
                             u"\\\\.\\pipe\\a/../../etc", u"\\\\.\\pipe\\\xd800"}) {
    EXPECT_FALSE(PipeSocketPath(bad, "/run/varlo").has_value());
  }
}

TEST(PipeSocketPath, DirectoryComesFromTheEnvironment) {
  ::setenv("VARLO_PIPE_DIR", "/tmp/pipes", 1);
  EXPECT_EQ(PipeDirectory(), "/tmp/pipes");
  ::unsetenv("VARLO_PIPE_DIR");
  EXPECT_EQ(PipeDirectory(), "/run/varlo");
}

TEST(PipeClient, ReportsTheWindowsNumbersTheCallersDependOn) {
  TemporaryPipeDirectory directory;
  const std::string path = directory.Path() + "/svc";
  EXPECT_EQ(OpenPipe(ToU16(path)).error, kErrorFileNotFound);
  EXPECT_EQ(OpenPipe(u"not a pipe name").error, kErrorInvalidName);

  PipeListener listener(path, 4);
  PipeOpenResult opened = OpenPipe(ToU16(path));
  ASSERT_EQ(opened.error, 0u);
  PipeConnection client(opened.handle);
  PipeConnection server = listener.Accept(std::chrono::seconds(10));
  ASSERT_TRUE(server.IsOpen());

  EXPECT_EQ(PeekPipe(client.Handle()).count, 0u);
  const std::array<std::uint8_t, 3> sent = {7, 8, 9};
  ASSERT_TRUE(server.WriteAll(sent));
  // Wait for the bytes by reading the first of them with a deadline.
  std::array<std::uint8_t, 1> one;
  ASSERT_TRUE(client.ReadExactly(one, std::chrono::seconds(10)));
  PipeIoResult peek = PeekPipe(client.Handle());
  EXPECT_EQ(peek.error, 0u);
  EXPECT_EQ(peek.count, 2u);
  std::array<std::uint8_t, 8> buffer;
  EXPECT_EQ(ReadPipe(client.Handle(), buffer).count, 2u);
  EXPECT_EQ(buffer[1], 9);

  server.Close();
  EXPECT_EQ(PeekPipe(client.Handle()).error, kErrorBrokenPipe);
  EXPECT_EQ(WritePipe(client.Handle(), sent, 0).error, kErrorNoData);
}

TEST(PipeClient, MapsErrnoToTheNearestWindowsNumber) {
  EXPECT_EQ(WindowsErrorFromErrno(ENOENT), kErrorFileNotFound);
  EXPECT_EQ(WindowsErrorFromErrno(ECONNREFUSED), kErrorFileNotFound);
  EXPECT_EQ(WindowsErrorFromErrno(EAGAIN), kErrorPipeBusy);
  EXPECT_EQ(WindowsErrorFromErrno(EPIPE), kErrorNoData);
  EXPECT_EQ(WindowsErrorFromErrno(ECONNRESET), kErrorBrokenPipe);
  EXPECT_EQ(WindowsErrorFromErrno(EACCES), kErrorAccessDenied);
  EXPECT_EQ(WindowsErrorFromErrno(EIO), kErrorGenFailure);
}

}  // namespace
}  // namespace varlo::platform
