#include "platform/terminal/terminal.h"

#include <errno.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <iostream>

namespace varlo::platform {
namespace {

volatile sig_atomic_t interruptSeen = 0;

void NoteInterrupt(int) {
  interruptSeen = 1;
}

}  // namespace

SecureBytes ReadSecretLine(const std::string& prompt) {
  std::cerr << prompt << std::flush;
  termios saved{};
  const bool terminal = ::isatty(STDIN_FILENO) && ::tcgetattr(STDIN_FILENO, &saved) == 0;
  struct sigaction previous {};
  if (terminal) {
    // Ctrl-C while echo is off only interrupts the read: the echo is restored first and the
    // interrupt raised again afterwards, so the terminal is never left silent.
    interruptSeen = 0;
    struct sigaction note {};
    note.sa_handler = NoteInterrupt;
    sigemptyset(&note.sa_mask);
    ::sigaction(SIGINT, &note, &previous);
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
  }
  SecureBytes line;
  for (;;) {
    char c = 0;
    const ssize_t n = ::read(STDIN_FILENO, &c, 1);
    if (n < 0 && errno == EINTR && !interruptSeen)
      continue;
    if (n != 1 || c == '\n')
      break;
    line.push_back(static_cast<std::uint8_t>(c));
  }
  if (!line.empty() && line.back() == '\r')
    line.pop_back();
  if (terminal) {
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    ::sigaction(SIGINT, &previous, nullptr);
    std::cerr << '\n';
    if (interruptSeen) {
      line.clear();  // nothing typed before the interrupt counts, should a handler return here
      ::raise(SIGINT);
    }
  }
  return line;
}

}  // namespace varlo::platform
