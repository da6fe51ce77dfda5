// The built varlo-tokend as a child process, for end-to-end tests of the service and of the
// module against it.
//
// A TokendProcess starts `varlo-tokend --foreground` on a pipe folder and a store (fresh ones
// in a scratch folder of its own unless given), with $VARLO_PIPE_DIR set for it, and returns
// once the service answers on its control socket. The scratch folder is open to every user
// (0755), so that tests may connect as other users. The service's log (standard error) goes to
// a file that Log reads. The destructor stops a service that still runs (SIGTERM, then SIGKILL
// after the time-out) and removes the scratch folder.
//
// A service must end well: when a run that the test neither killed nor stopped itself ends
// with another code than 0 (a crash, a sanitizer's report, a stop that hung), Restart throws
// std::runtime_error and the destructor prints the log and aborts the test program, so that no
// such failure goes unseen. Stop returns the code for the test to check.
// Failures to start or to stop in time throw std::runtime_error with the service's log. One
// thread uses an object at a time.
#ifndef VARLO_TESTS_SERVICE_TOKEND_PROCESS_H_
#define VARLO_TESTS_SERVICE_TOKEND_PROCESS_H_

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace varlo::platform {
class ChildProcess;
class TempDirectory;
}  // namespace varlo::platform

namespace varlo::testservice {

// Polls `condition` until it holds or `timeout` has passed; whether it held. For states of
// another process, which offers nothing to wait on.
template <typename Condition>
bool WaitUntil(Condition condition, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline)
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

struct TokendOptions {
  std::filesystem::path pipeDirectory{};     // empty: <scratch>/pipe-é
  std::filesystem::path store{};             // empty: <scratch>/state/tokens.db
  std::vector<std::string> arguments{};      // more options, e.g. {"--max-clients", "2"}
  std::chrono::milliseconds timeout{10000};  // for starting, stopping and each command
};

class TokendProcess {
 public:
  struct CommandResult {
    int exitCode = -1;
    std::string output;  // standard output
    std::string error;   // standard error
  };

  explicit TokendProcess(TokendOptions options = {});
  ~TokendProcess();
  TokendProcess(const TokendProcess&) = delete;
  TokendProcess& operator=(const TokendProcess&) = delete;

  const std::filesystem::path& PipeDirectory() const { return options_.pipeDirectory; }
  // The module pipe's socket, and the same as a pipe name for the module's pipe stream.
  std::filesystem::path SocketPath() const;
  std::u16string PipeName() const;
  const std::filesystem::path& StorePath() const { return options_.store; }
  // The service's log so far (all its runs).
  std::string Log() const;
  // Waits until the log holds `text`; false when the time-out passed first.
  bool WaitForLog(std::string_view text, std::chrono::milliseconds timeout) const;

  // SIGTERM, then waits for the exit; its exit code.
  int Stop();
  // SIGKILL, then waits for the exit.
  void Kill();
  // Stops a running service, then starts it again on the same folder and store.
  void Restart();
  bool Running();

  // Runs `varlo-tokend ARGUMENTS...` (e.g. {"list"}) against this service.
  CommandResult Command(const std::vector<std::string>& arguments) const;
  CommandResult List() const { return Command({"list"}); }
  CommandResult Clear() const { return Command({"clear"}); }
  CommandResult Remove(std::string_view uid) const { return Command({"remove", std::string(uid)}); }
  CommandResult Status() const { return Command({"status"}); }

  // The program's path, for tests that start it themselves.
  static std::filesystem::path Program();

 private:
  void Start();
  std::vector<std::string> Environment() const;

  TokendOptions options_;
  std::unique_ptr<platform::TempDirectory> scratch_;
  std::filesystem::path logFile_;
  std::unique_ptr<platform::ChildProcess> process_;
  bool endSeen_ = false;  // Kill or Stop ended the current run
};

}  // namespace varlo::testservice

#endif  // VARLO_TESTS_SERVICE_TOKEND_PROCESS_H_
