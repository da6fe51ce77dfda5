#include "platform/terminal/terminal.h"

#include <termios.h>
#include <unistd.h>

#include <iostream>

namespace varlo::platform {

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

}  // namespace varlo::platform
