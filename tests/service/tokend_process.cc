#include "tests/service/tokend_process.h"

#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "apps/tokend/control_channel.h"
#include "common/utf.h"
#include "localservice/service_protocol.h"
#include "platform/process/child_process.h"
#include "platform/process/scratch.h"

namespace varlo::testservice {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// How often a start looks whether the service answers yet.
constexpr std::chrono::milliseconds kStartPollInterval{10};

std::string ReadFile(const fs::path& path) {
  std::ifstream file(path);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

}  // namespace

fs::path TokendProcess::Program() {
  return VARLO_TOKEND_PROGRAM;
}

TokendProcess::TokendProcess(TokendOptions options) : options_(std::move(options)) {
  scratch_ = std::make_unique<platform::TempDirectory>("varlo-tokend-");
  // Other users' test clients must reach the pipe folder inside.
  fs::permissions(scratch_->Path(), fs::perms(0755));
  // A folder name beyond ASCII, so that every path through to the socket is taken as UTF-8.
  if (options_.pipeDirectory.empty())
    options_.pipeDirectory = scratch_->Path() / std::string("pipe-\xC3\xA9");
  if (options_.store.empty())
    options_.store = scratch_->Path() / "state" / "tokens.db";
  logFile_ = scratch_->Path() / "tokend.log";
  Start();
}

TokendProcess::~TokendProcess() {
  if (endSeen_)
    return;  // killed, or its stop already told the caller how it ended
  const int code = process_->Running() ? process_->Stop(options_.timeout)
                                       : process_->WaitExit(Clock::now()).value_or(-1);
  if (code != 0) {
    std::cerr << "varlo-tokend exited with code " << code << "; its log:\n" << Log() << std::endl;
    std::abort();
  }
}

fs::path TokendProcess::SocketPath() const {
  return options_.pipeDirectory / std::string(service_protocol::kPipeLeafName);
}

std::u16string TokendProcess::PipeName() const {
  const std::string path = SocketPath().string();
  return Utf8ToUtf16(path);
}

std::string TokendProcess::Log() const {
  return ReadFile(logFile_);
}

bool TokendProcess::WaitForLog(std::string_view text, std::chrono::milliseconds timeout) const {
  const auto deadline = Clock::now() + timeout;
  while (Log().find(text) == std::string::npos) {
    if (Clock::now() >= deadline)
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

std::vector<std::string> TokendProcess::Environment() const {
  // env sets the variable and runs the program in its own place (exec), under the same pid.
  return {"/usr/bin/env", "VARLO_PIPE_DIR=" + options_.pipeDirectory.string(), Program().string()};
}

void TokendProcess::Start() {
  platform::SpawnOptions spawn;
  spawn.argv = Environment();
  spawn.argv.insert(spawn.argv.end(), {"--foreground", "--store", options_.store.string()});
  spawn.argv.insert(spawn.argv.end(), options_.arguments.begin(), options_.arguments.end());
  spawn.outputFile = logFile_;
  process_ = platform::ChildProcess::Spawn(spawn);
  endSeen_ = false;

  const std::string control =
      (options_.pipeDirectory / std::string(tokend::kControlSocketName)).string();
  // Answered by this process, not by another service that serves the same folder.
  const std::string ours = "pid " + std::to_string(process_->Pid()) + "\n";
  const auto deadline = Clock::now() + options_.timeout;
  while (!tokend::SendControlRequest(control, "status").output.starts_with(ours)) {
    if (!process_->Running() || Clock::now() >= deadline) {
      process_->Stop(options_.timeout);
      endSeen_ = true;  // told by the exception
      throw std::runtime_error("varlo-tokend did not start; its log:\n" + Log());
    }
    std::this_thread::sleep_for(kStartPollInterval);
  }
}

int TokendProcess::Stop() {
  endSeen_ = true;
  process_->Terminate();
  const auto code = process_->WaitExit(Clock::now() + options_.timeout);
  if (!code) {
    process_->Kill();
    process_->WaitExit(Clock::now() + options_.timeout);
    throw std::runtime_error("varlo-tokend did not stop on SIGTERM; its log:\n" + Log());
  }
  return *code;
}

void TokendProcess::Kill() {
  endSeen_ = true;
  process_->Kill();
  process_->WaitExit(Clock::now() + options_.timeout);
}

void TokendProcess::Restart() {
  if (!endSeen_) {
    const int code = process_->Running() ? Stop() : process_->WaitExit(Clock::now()).value_or(-1);
    if (code != 0) {
      throw std::runtime_error("varlo-tokend exited with code " + std::to_string(code) +
                               "; its log:\n" + Log());
    }
  }
  Start();
}

bool TokendProcess::Running() {
  return process_->Running();
}

TokendProcess::CommandResult TokendProcess::Command(
    const std::vector<std::string>& arguments) const {
  const fs::path errors = scratch_->Path() / "command.err";
  fs::remove(errors);
  platform::SpawnOptions spawn;
  spawn.argv = Environment();
  spawn.argv.insert(spawn.argv.end(), arguments.begin(), arguments.end());
  spawn.pipeStdout = true;
  spawn.outputFile = errors;
  auto command = platform::ChildProcess::Spawn(spawn);
  const auto deadline = Clock::now() + options_.timeout;
  CommandResult result;
  while (auto line = command->ReadLine(deadline))
    result.output += *line + "\n";
  const auto code = command->WaitExit(deadline);
  result.exitCode = code ? *code : command->Stop(options_.timeout);
  result.error = ReadFile(errors);
  return result;
}

}  // namespace varlo::testservice
