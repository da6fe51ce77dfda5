// Child processes for test rigs and tools: start a program, talk to it over its standard input
// and output, signal it and wait for it with a deadline.
//
// A ChildProcess owns its process: the destructor kills a child that is still running (SIGKILL)
// and reaps it, so nothing outlives its owner by accident. With `dieWithParent` the kernel also
// sends SIGTERM to the child when the thread that started it ends (PR_SET_PDEATHSIG), which
// covers a test process that crashes; start such children from a thread that outlives them
// (a test's main thread).
//
// On Windows, Terminate signals the child's stop event (platform/win/stop_event.h; Ctrl+Break
// to its process group when it has none), which platform/signal takes for SIGTERM; Kill ends it at
// once with exit code 137 (128 + SIGKILL), and `dieWithParent` puts it in a job that ends with the
// parent.
//
// One thread uses a ChildProcess at a time.
#ifndef VARLO_PLATFORM_PROCESS_CHILD_PROCESS_H_
#define VARLO_PLATFORM_PROCESS_CHILD_PROCESS_H_

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace varlo::platform {

struct SpawnOptions {
  // argv[0] is the program's path (no search of PATH unless it has no slash).
  std::vector<std::string> argv;
  // Give the parent a pipe to the child's standard input / from its standard output.
  bool pipeStdin = false;
  bool pipeStdout = false;
  // Where the child's standard error, and its standard output when not piped, go (appended).
  // Empty: inherited from the parent.
  std::filesystem::path outputFile;
  bool dieWithParent = true;
};

class ChildProcess {
 public:
  using Clock = std::chrono::steady_clock;

  // Starts the program. Throws std::runtime_error ("cannot start <program>: <reason>") when it
  // cannot be started, including when exec fails in the child.
  static std::unique_ptr<ChildProcess> Spawn(const SpawnOptions& options);

  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  int Pid() const { return pid_; }

  // Writes `line` and a newline to the child's standard input. False if the child closed it.
  bool WriteLine(std::string_view line);
  // Closes the child's standard input (it reads end of file).
  void CloseStdin();

  // Next line (without the newline) from the child's standard output; nullopt when the deadline
  // passed first or the child closed its output.
  std::optional<std::string> ReadLine(Clock::time_point deadline);

  // Sends SIGTERM / SIGKILL. No effect on a process that has been reaped.
  void Terminate();
  void Kill();

  // Waits until the child has exited and reaps it. Its exit code (128 + signal number when a
  // signal ended it), or nullopt if it was still running at the deadline.
  std::optional<int> WaitExit(Clock::time_point deadline);

  // Terminate, wait up to `grace`, then kill. Returns the exit code.
  int Stop(std::chrono::milliseconds grace);

  bool Running();

 private:
  ChildProcess() = default;
  bool Reap(bool block);

  int pid_ = -1;
  bool reaped_ = false;
  int exitCode_ = 0;
#ifdef _WIN32
  struct Handles;  // the process, its job and the pipe ends
  std::unique_ptr<Handles> handles_;
#else
  int stdinFd_ = -1;
  int stdoutFd_ = -1;
#endif
  std::string outputBuffer_;
  bool outputClosed_ = false;
};

// Processes other than our children, found by their command name (as in /proc/<pid>/comm).
// Zombies are left out: they hold no resources a new process could clash with.
std::vector<int> FindProcessesByName(std::string_view name);

// Sends SIGTERM to a process that is not our child and waits until it is gone, then SIGKILL if
// it outlived `grace`. True when the process is gone.
bool TerminateProcess(int pid, std::chrono::milliseconds grace);

}  // namespace varlo::platform

#endif  // VARLO_PLATFORM_PROCESS_CHILD_PROCESS_H_
