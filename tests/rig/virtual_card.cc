#include "tests/rig/virtual_card.h"

#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>

#include "platform/process/child_process.h"

namespace varlo::testrig {

VirtualCard::VirtualCard(const std::filesystem::path& program, std::uint16_t port,
                         const std::filesystem::path& logFile, std::chrono::milliseconds timeout,
                         const std::vector<std::string>& arguments)
    : port_(port), timeout_(timeout), logFile_(logFile) {
  platform::SpawnOptions options;
  options.argv = {program.string(), "--port", std::to_string(port), "--trace"};
  options.argv.insert(options.argv.end(), arguments.begin(), arguments.end());
  options.pipeStdin = true;
  options.pipeStdout = true;
  options.outputFile = logFile;
  process_ = platform::ChildProcess::Spawn(options);
}

VirtualCard::~VirtualCard() {
  // End of input is "quit": the card leaves the reader and the program ends.
  process_->CloseStdin();
  auto code = process_->WaitExit(platform::ChildProcess::Clock::now() + timeout_);
  if (!code)
    code = process_->Stop(timeout_);
  // A card that failed (a sanitizer's report, a crash) should not go unnoticed; its log is in
  // the rig's scratch directory, which goes away with the rig.
  if (*code != 0) {
    std::ifstream log(logFile_);
    std::ostringstream text;
    text << log.rdbuf();
    std::cerr << "varlo test rig: varlo-vcard on port " << port_ << " ended with code " << *code
              << "; its output:\n"
              << text.str() << std::endl;
  }
}

std::string VirtualCard::Command(std::string_view line) {
  const std::string command(line);
  if (!process_->WriteLine(command)) {
    throw std::runtime_error("varlo-vcard on port " + std::to_string(port_) +
                             " has gone; cannot send \"" + command + "\"");
  }
  auto answer = process_->ReadLine(platform::ChildProcess::Clock::now() + timeout_);
  if (!answer) {
    throw std::runtime_error("varlo-vcard on port " + std::to_string(port_) + " did not answer \"" +
                             command + "\"");
  }
  if (*answer == "ok")
    return "";
  if (answer->rfind("ok ", 0) == 0)
    return answer->substr(3);
  throw std::runtime_error("varlo-vcard \"" + command + "\": " + *answer);
}

void VirtualCard::Set(std::string_view name, std::string_view value) {
  Command("set " + std::string(name) + " " + std::string(value));
}

std::vector<std::string> VirtualCard::History() {
  std::vector<std::string> entries;
  const std::string text = Command("history");
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = text.find(' ', at);
    if (end == std::string::npos)
      end = text.size();
    if (end > at)
      entries.push_back(text.substr(at, end - at));
    at = end + 1;
  }
  return entries;
}

}  // namespace varlo::testrig
