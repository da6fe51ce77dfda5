#include <iostream>

#include "platform/terminal/terminal.h"
#include "platform/win/windows_api.h"

namespace varlo::platform {
namespace {

// A line typed at the console with echo off, as UTF-8. The console hands out UTF-16; every
// copy of the secret but the result is wiped.
SecureBytes ReadConsoleLine(HANDLE input) {
  SecureBytes line;
  wchar_t buffer[256];
  for (;;) {
    DWORD count = 0;
    if (!::ReadConsoleW(input, buffer, static_cast<DWORD>(std::size(buffer)), &count, nullptr) ||
        count == 0) {
      break;
    }
    std::wstring_view typed(buffer, count);
    const std::size_t end = typed.find_first_of(L"\r\n");
    const std::wstring_view part = typed.substr(0, end);
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, part.data(), static_cast<int>(part.size()),
                                           nullptr, 0, nullptr, nullptr);
    if (size > 0) {
      const std::size_t at = line.size();
      line.resize(at + static_cast<std::size_t>(size));
      ::WideCharToMultiByte(CP_UTF8, 0, part.data(), static_cast<int>(part.size()),
                            reinterpret_cast<char*>(line.data() + at), size, nullptr, nullptr);
    }
    if (end != std::wstring_view::npos)
      break;
  }
  ::SecureZeroMemory(buffer, sizeof buffer);
  return line;
}

// A line from a pipe or file, byte by byte so that nothing past the line is taken.
SecureBytes ReadStreamLine(HANDLE input) {
  SecureBytes line;
  for (;;) {
    char c = 0;
    DWORD count = 0;
    if (!::ReadFile(input, &c, 1, &count, nullptr) || count != 1 || c == '\n')
      break;
    line.push_back(static_cast<std::uint8_t>(c));
  }
  if (!line.empty() && line.back() == '\r')
    line.pop_back();
  return line;
}

}  // namespace

SecureBytes ReadSecretLine(const std::string& prompt) {
  std::cerr << prompt << std::flush;
  const HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
  DWORD saved = 0;
  if (input == nullptr || input == INVALID_HANDLE_VALUE || !::GetConsoleMode(input, &saved))
    return ReadStreamLine(input);
  ::SetConsoleMode(input, (saved | ENABLE_LINE_INPUT) & ~static_cast<DWORD>(ENABLE_ECHO_INPUT));
  SecureBytes line = ReadConsoleLine(input);
  ::SetConsoleMode(input, saved);
  std::cerr << '\n';
  return line;
}

}  // namespace varlo::platform
