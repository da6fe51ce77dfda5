#include "platform/pipe/pipe_client.h"

#include <gtest/gtest.h>

#include <string>

namespace varlo::platform {
namespace {

// Pipe names map into the pipe directory and never out of it.
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

}  // namespace
}  // namespace varlo::platform
