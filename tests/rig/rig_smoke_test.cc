// What the end-to-end tests do not reach of the rig: taking over a pcscd already running and
// reporting a card image the card cannot read. Presenting, removing, holding a card and
// restarting pcscd are exercised by every card end-to-end test.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <thread>

#include "platform/process/child_process.h"
#include "platform/process/scratch.h"
#include "tests/rig/pcsc_rig.h"

namespace varlo::testrig {
namespace {

TEST(RigTakeOverTest, StopsAPcscdThatWasAlreadyRunning) {
  // A pcscd that is not the rig's child, as one started by the system. It is started under the
  // machine-wide lock, as another test run's pcscd may be running until then.
  auto lock =
      std::make_unique<platform::MachineLock>("/tmp/varlo-pcscd.lock", std::chrono::minutes(5));
  platform::TempDirectory scratch("varlo-rig-test-");
  std::filesystem::create_directories(scratch.Path() / "conf");
  platform::SpawnOptions options;
  options.argv = {
      "sh", "-c",
      "pcscd -f -c " + (scratch.Path() / "conf").string() + " >/dev/null 2>&1 & echo $!; wait"};
  options.pipeStdout = true;
  auto shell = platform::ChildProcess::Spawn(options);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  auto line = shell->ReadLine(deadline);
  ASSERT_TRUE(line);
  const int pid = std::stoi(*line);
  auto running = [pid] {
    auto found = platform::FindProcessesByName("pcscd");
    return std::find(found.begin(), found.end(), pid) != found.end();
  };
  // Until the background shell has become pcscd, it is not one to find.
  while (!running() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_TRUE(running());
  lock.reset();
  {
    PcscRig rig;
    EXPECT_FALSE(running());
    EXPECT_TRUE(rig.PcscdRunning());
    EXPECT_EQ(rig.ReaderCount(), 2u);
    try {
      rig.Card(0).Present(rig.Directory() / "missing.json");
      ADD_FAILURE() << "no error";
    } catch (const std::runtime_error& e) {
      EXPECT_NE(std::string(e.what()).find("cannot read card image"), std::string::npos);
    }
  }
  EXPECT_TRUE(shell->WaitExit(deadline));
  if (running())
    platform::TerminateProcess(pid, std::chrono::seconds(5));
}

}  // namespace
}  // namespace varlo::testrig
