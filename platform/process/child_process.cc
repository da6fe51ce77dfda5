#include "platform/process/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <thread>

#include "platform/posix/socket_io.h"

namespace varlo::platform {

namespace {

using Clock = std::chrono::steady_clock;

int MillisecondsUntil(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  if (left.count() <= 0)
    return 0;
  // Round up so a wait never ends just short of the deadline and spins.
  return static_cast<int>(std::min<long long>(left.count() + 1, 1000 * 60 * 60));
}

void CloseFd(int& fd) {
  if (fd >= 0)
    close(fd);
  fd = -1;
}

// The state letter of /proc/<pid>/stat ('Z' for a zombie), or 0 when the process is gone.
char ProcessState(int pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  if (!std::getline(stat, text))
    return 0;
  // The command name is in parentheses and may itself contain blanks or parentheses.
  auto close = text.rfind(')');
  if (close == std::string::npos || close + 2 >= text.size())
    return 0;
  return text[close + 2];
}

bool Gone(int pid) {
  char state = ProcessState(pid);
  return state == 0 || state == 'Z' || state == 'X';
}

bool WaitGone(int pid, Clock::time_point deadline) {
  // A foreign process cannot be waited for; poll its state until the deadline.
  while (!Gone(pid)) {
    if (Clock::now() >= deadline)
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

}  // namespace

std::unique_ptr<ChildProcess> ChildProcess::Spawn(const SpawnOptions& options) {
  if (options.argv.empty())
    throw std::runtime_error("cannot start a program without a name");
  const std::string& program = options.argv.front();
  auto fail = [&](const std::string& why) {
    return std::runtime_error("cannot start " + program + ": " + why);
  };

  std::vector<char*> argv;
  for (const std::string& a : options.argv)
    argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  // Socket pairs rather than pipes: writes to a child that has gone fail with EPIPE instead of
  // raising SIGPIPE in the parent (MSG_NOSIGNAL).
  int in[2] = {-1, -1};
  int out[2] = {-1, -1};
  int status[2] = {-1, -1};
  int output = -1;
  int devnull = -1;
  auto cleanup = [&] {
    for (int* fd : {&in[0], &in[1], &out[0], &out[1], &status[0], &status[1], &output, &devnull})
      CloseFd(*fd);
  };
  if ((options.pipeStdin && socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, in) != 0) ||
      (options.pipeStdout && socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, out) != 0) ||
      pipe2(status, O_CLOEXEC) != 0) {
    std::string why = std::strerror(errno);
    cleanup();
    throw fail(why);
  }
  devnull = open("/dev/null", O_RDWR | O_CLOEXEC);
  if (!options.outputFile.empty()) {
    output = open(options.outputFile.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (output < 0) {
      std::string why = options.outputFile.string() + ": " + std::strerror(errno);
      cleanup();
      throw fail(why);
    }
  }

  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid < 0) {
    std::string why = std::strerror(errno);
    cleanup();
    throw fail(why);
  }
  if (pid == 0) {
    // Child: only async-signal-safe calls from here to exec.
    if (options.dieWithParent) {
      prctl(PR_SET_PDEATHSIG, SIGTERM);
      if (getppid() != parent)
        _exit(127);
    }
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    signal(SIGPIPE, SIG_DFL);
    int stdinFd = options.pipeStdin ? in[1] : devnull;
    int stdoutFd = options.pipeStdout ? out[1] : (output >= 0 ? output : STDOUT_FILENO);
    int stderrFd = output >= 0 ? output : STDERR_FILENO;
    if (stdinFd >= 0)
      dup2(stdinFd, STDIN_FILENO);
    dup2(stdoutFd, STDOUT_FILENO);
    dup2(stderrFd, STDERR_FILENO);
    execvp(argv[0], argv.data());
    int error = errno;
    ssize_t ignored = write(status[1], &error, sizeof error);
    (void)ignored;
    _exit(127);
  }

  auto child = std::unique_ptr<ChildProcess>(new ChildProcess());
  child->pid_ = pid;
  child->stdinFd_ = in[0];
  child->stdoutFd_ = out[0];
  in[0] = out[0] = -1;
  CloseFd(status[1]);
  // The status pipe closes on a successful exec; otherwise it carries exec's errno.
  int error = 0;
  ssize_t n;
  do {
    n = read(status[0], &error, sizeof error);
  } while (n < 0 && errno == EINTR);
  cleanup();
  if (n == sizeof error) {
    child->Reap(true);
    throw fail(std::strerror(error));
  }
  return child;
}

ChildProcess::~ChildProcess() {
  if (!reaped_) {
    kill(pid_, SIGKILL);
    Reap(true);
  }
  CloseFd(stdinFd_);
  CloseFd(stdoutFd_);
}

bool ChildProcess::WriteLine(std::string_view line) {
  if (stdinFd_ < 0)
    return false;
  std::string text(line);
  text.push_back('\n');
  return SendAll(stdinFd_, text.data(), text.size());
}

void ChildProcess::CloseStdin() {
  CloseFd(stdinFd_);
}

std::optional<std::string> ChildProcess::ReadLine(Clock::time_point deadline) {
  if (stdoutFd_ < 0)
    return std::nullopt;
  for (;;) {
    if (auto end = outputBuffer_.find('\n'); end != std::string::npos) {
      std::string line = outputBuffer_.substr(0, end);
      outputBuffer_.erase(0, end + 1);
      return line;
    }
    if (outputClosed_)
      return std::nullopt;
    pollfd p{stdoutFd_, POLLIN, 0};
    int ready = poll(&p, 1, MillisecondsUntil(deadline));
    if (ready < 0 && errno == EINTR)
      continue;
    if (ready <= 0)
      return std::nullopt;
    char chunk[512];
    ssize_t n = read(stdoutFd_, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0) {
      outputClosed_ = true;
      continue;
    }
    outputBuffer_.append(chunk, static_cast<std::size_t>(n));
  }
}

void ChildProcess::Terminate() {
  if (!reaped_)
    kill(pid_, SIGTERM);
}

void ChildProcess::Kill() {
  if (!reaped_)
    kill(pid_, SIGKILL);
}

bool ChildProcess::Reap(bool block) {
  if (reaped_)
    return true;
  int status = 0;
  pid_t r;
  do {
    r = waitpid(pid_, &status, block ? 0 : WNOHANG);
  } while (r < 0 && errno == EINTR);
  if (r == 0)
    return false;
  reaped_ = true;
  if (r < 0) {
    exitCode_ = -1;
  } else if (WIFEXITED(status)) {
    exitCode_ = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    exitCode_ = 128 + WTERMSIG(status);
  }
  return true;
}

std::optional<int> ChildProcess::WaitExit(Clock::time_point deadline) {
  if (Reap(false))
    return exitCode_;
  // A pidfd becomes readable when the child exits: wait on it rather than polling.
  int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
  while (!Reap(false)) {
    if (Clock::now() >= deadline) {
      CloseFd(pidfd);
      return std::nullopt;
    }
    if (pidfd >= 0) {
      pollfd p{pidfd, POLLIN, 0};
      poll(&p, 1, MillisecondsUntil(deadline));
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  CloseFd(pidfd);
  return exitCode_;
}

int ChildProcess::Stop(std::chrono::milliseconds grace) {
  Terminate();
  if (auto code = WaitExit(Clock::now() + grace))
    return *code;
  Kill();
  Reap(true);
  return exitCode_;
}

bool ChildProcess::Running() {
  return !Reap(false);
}

std::vector<int> FindProcessesByName(std::string_view name) {
  std::vector<int> found;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/proc", ec)) {
    const std::string dir = entry.path().filename().string();
    if (dir.empty() || dir.find_first_not_of("0123456789") != std::string::npos)
      continue;
    std::ifstream comm(entry.path() / "comm");
    std::string command;
    if (!std::getline(comm, command) || command != name)
      continue;
    int pid = std::stoi(dir);
    if (!Gone(pid))
      found.push_back(pid);
  }
  return found;
}

bool TerminateProcess(int pid, std::chrono::milliseconds grace) {
  if (kill(pid, SIGTERM) != 0 && errno == ESRCH)
    return true;
  if (WaitGone(pid, Clock::now() + grace))
    return true;
  kill(pid, SIGKILL);
  return WaitGone(pid, Clock::now() + std::chrono::seconds(5));
}

}  // namespace varlo::platform
