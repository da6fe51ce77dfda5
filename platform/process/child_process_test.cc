#include "platform/process/child_process.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "platform/process/scratch.h"

namespace varlo::platform {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

SpawnOptions Options(std::vector<std::string> argv, bool pipes = false,
                     std::filesystem::path output = {}) {
  SpawnOptions o;
  o.argv = std::move(argv);
  o.pipeStdin = o.pipeStdout = pipes;
  o.outputFile = std::move(output);
  return o;
}

TEST(ChildProcessTest, TalksOverStandardInputAndOutput) {
  auto child = ChildProcess::Spawn(Options({"cat"}, true));
  const auto start = Clock::now();
  EXPECT_EQ(child->ReadLine(start + 50ms), std::nullopt);  // nothing yet: gives up in time
  EXPECT_GE(Clock::now() - start, 50ms);
  ASSERT_TRUE(child->WriteLine("hello"));
  EXPECT_EQ(child->ReadLine(Clock::now() + 5s), "hello");
  child->CloseStdin();
  EXPECT_EQ(child->ReadLine(Clock::now() + 5s), std::nullopt);
  EXPECT_EQ(child->WaitExit(Clock::now() + 5s), 0);
  EXPECT_FALSE(child->Running());
}

TEST(ChildProcessTest, MissingProgramThrows) {
  EXPECT_THROW(ChildProcess::Spawn(Options({"/nonexistent/program"})), std::runtime_error);
}

TEST(ChildProcessTest, OutputFileCollectsOutputAndExitCodeIsReported) {
  TempDirectory dir("varlo-process-test-");
  auto log = dir.Path() / "out.log";
  auto child =
      ChildProcess::Spawn(Options({"sh", "-c", "echo out; echo err >&2; exit 3"}, false, log));
  EXPECT_EQ(child->WaitExit(Clock::now() + 5s), 3);
  std::ifstream in(log);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_EQ(text.str(), "out\nerr\n");
}

TEST(ChildProcessTest, StopAndTheDestructorEndARunningChild) {
  EXPECT_EQ(ChildProcess::Spawn(Options({"sleep", "30"}))->Stop(2s), 128 + 15);  // SIGTERM
  int pid;
  {
    auto child = ChildProcess::Spawn(Options({"sleep", "30"}));
    pid = child->Pid();
    EXPECT_FALSE(FindProcessesByName("sleep").empty());
  }
  for (int p : FindProcessesByName("sleep"))
    EXPECT_NE(p, pid);
}

TEST(ChildProcessTest, TerminatesAForeignProcess) {
  // A grandchild is not ours to wait for, like a pcscd started by someone else.
  auto shell = ChildProcess::Spawn(Options({"sh", "-c", "sleep 30 & echo $!; wait"}, true));
  auto line = shell->ReadLine(Clock::now() + 5s);
  ASSERT_TRUE(line);
  const int pid = std::stoi(*line);
  EXPECT_TRUE(TerminateProcess(pid, 2s));
  EXPECT_EQ(shell->WaitExit(Clock::now() + 5s), 0);
}

TEST(ScratchTest, TempDirectoryGoesWithItsContentsAndMachineLockExcludesASecondHolder) {
  std::filesystem::path path;
  {
    TempDirectory dir("varlo-scratch-test-");
    path = dir.Path();
    std::ofstream(path / "file") << "x";
    {
      MachineLock first(path / "lock", 1s);
      // flock locks belong to the open file, so a second open in the same process conflicts too.
      EXPECT_THROW(MachineLock(path / "lock", 50ms), std::runtime_error);
    }
    MachineLock again(path / "lock", 1s);
  }
  EXPECT_FALSE(std::filesystem::exists(path));
}

}  // namespace
}  // namespace varlo::platform
