#include "platform/pipe/pipe_listener.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "platform/pipe/peer_credentials.h"

namespace varlo::platform {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

std::u16string ToU16(const std::string& text) {
  return {text.begin(), text.end()};
}

// The socket replaces a stale file in one step, with its mode and group already set, and
// leaves nothing else behind in the folder; an accepted client's credentials are the kernel's.
TEST(PipeListener, ReplacesAStaleFileWithASocketOfTheGivenModeAndKnowsItsPeer) {
  TemporaryPipeDirectory directory;
  const std::string path = directory.Path() + "/service";
  std::ofstream(path) << "stale";
  for (unsigned mode : {0600u, 0666u}) {
    PipeListener listener(path, 4, mode, getgid());
    struct stat file {};
    ASSERT_EQ(lstat(path.c_str(), &file), 0);
    EXPECT_TRUE(S_ISSOCK(file.st_mode));
    EXPECT_EQ(file.st_mode & 07777, mode);
    EXPECT_EQ(std::distance(fs::directory_iterator(directory.Path()), fs::directory_iterator()), 1);

    PipeOpenResult client = OpenPipe(ToU16(path));
    ASSERT_EQ(client.error, 0u);
    PipeConnection accepted = listener.Accept(5s);
    ASSERT_TRUE(accepted.IsOpen());
    auto peer = ReadPeerCredentials(accepted.Handle());
    ASSERT_TRUE(peer.has_value());
    EXPECT_EQ(peer->pid, getpid());
    EXPECT_EQ(peer->uid, geteuid());
    EXPECT_TRUE(peer->InGroup(getegid()));
    ClosePipe(client.handle);
  }
  EXPECT_FALSE(fs::exists(path));
}

// A listener that goes after a newer one took over its path leaves the newer socket alone.
TEST(PipeListener, DestructorKeepsASocketThatReplacedItsOwn) {
  TemporaryPipeDirectory directory;
  const std::string path = directory.Path() + "/service";
  auto older = std::make_unique<PipeListener>(path, 4);
  PipeListener newer(path, 4);
  older.reset();
  PipeOpenResult client = OpenPipe(ToU16(path));
  EXPECT_EQ(client.error, 0u);
  ClosePipe(client.handle);
}

}  // namespace
}  // namespace varlo::platform
