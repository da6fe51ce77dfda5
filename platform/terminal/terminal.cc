#include "platform/terminal/terminal.h"

#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <iostream>

namespace varlo::platform {
namespace {

// Written by the signal handler: the self-pipe wakes a waiting WaitForInterrupt.
volatile std::sig_atomic_t interrupted = 0;
int wakeFds[2] = {-1, -1};

extern "C" void OnInterrupt(int) {
  interrupted = 1;
  if (wakeFds[1] >= 0) {
    char byte = 1;
    [[maybe_unused]] ssize_t n = ::write(wakeFds[1], &byte, 1);
  }
}

}  // namespace

SecureBytes ReadSecretLine(const std::string& prompt) {
  std::cerr << prompt << std::flush;
  termios saved{};
  const bool terminal = ::isatty(STDIN_FILENO) && ::tcgetattr(STDIN_FILENO, &saved) == 0;
  if (terminal) {
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
  }
  SecureBytes line;
  for (char c; ::read(STDIN_FILENO, &c, 1) == 1 && c != '\n';) {
    line.push_back(static_cast<std::uint8_t>(c));
  }
  if (!line.empty() && line.back() == '\r')
    line.pop_back();
  if (terminal) {
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    std::cerr << '\n';
  }
  return line;
}

void CatchInterrupts() {
  if (wakeFds[0] < 0 && ::pipe(wakeFds) != 0)
    wakeFds[0] = wakeFds[1] = -1;
  struct sigaction action {};
  action.sa_handler = &OnInterrupt;
  ::sigemptyset(&action.sa_mask);
  ::sigaction(SIGINT, &action, nullptr);
  ::sigaction(SIGTERM, &action, nullptr);
}

bool Interrupted() {
  return interrupted != 0;
}

bool WaitForInterrupt(std::chrono::milliseconds timeout) {
  if (interrupted)
    return true;
  if (wakeFds[0] < 0)
    return false;
  pollfd fd{wakeFds[0], POLLIN, 0};
  ::poll(&fd, 1, static_cast<int>(timeout.count()));
  return interrupted != 0;
}

}  // namespace varlo::platform
