#include "tests/rig/pcsc_rig.h"

#include <PCSC/winscard.h>
#include <PCSC/wintypes.h>

#include <cstdlib>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "common/hex.h"
#include "platform/process/child_process.h"
#include "platform/process/scratch.h"

#ifndef VARLO_VCARD_PROGRAM
#define VARLO_VCARD_PROGRAM "varlo-vcard"
#endif

namespace varlo::testrig {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Shared by every build tree on the machine, so it does not follow TMPDIR.
constexpr char kLockFile[] = "/tmp/varlo-pcscd.lock";
constexpr char kPcscdPidFile[] = "/run/pcscd/pcscd.pid";
constexpr char kVpcdDriver[] = "/usr/lib/pcsc/drivers/serial/libifdvpcd.so";
// pcscd names the slots "<name> 00 00" and "<name> 00 01".
constexpr char kReaderName[] = "Varlo Virtual Reader";
// How often to look again while pcscd is not answering yet.
constexpr auto kPollInterval = 10ms;

std::string PcscdProgram() {
  // /usr/sbin is not on every user's PATH.
  return std::filesystem::exists("/usr/sbin/pcscd") ? "/usr/sbin/pcscd" : "pcscd";
}

std::string Hex32(LONG rv) {
  std::ostringstream text;
  text << "0x" << std::hex << static_cast<std::uint32_t>(rv);
  return text.str();
}

// A PC/SC context for one wait; released when the wait ends.
class Context {
 public:
  Context() {
    ok_ = SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context_) == SCARD_S_SUCCESS;
  }
  ~Context() {
    if (ok_)
      SCardReleaseContext(context_);
  }
  Context(const Context&) = delete;
  Context& operator=(const Context&) = delete;
  bool Ok() const { return ok_; }
  SCARDCONTEXT Get() const { return context_; }

 private:
  SCARDCONTEXT context_ = 0;
  bool ok_ = false;
};

DWORD MillisecondsUntil(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? static_cast<DWORD>(left.count()) : 0;
}

}  // namespace

ReaderHold::ReaderHold(const std::string& reader) {
  SCARDCONTEXT context = 0;
  SCARDHANDLE card = 0;
  DWORD protocol = 0;
  LONG rv = SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context);
  if (rv != SCARD_S_SUCCESS) {
    throw std::runtime_error("SCardEstablishContext returned " + Hex32(rv));
  }
  rv = SCardConnect(context, reader.c_str(), SCARD_SHARE_EXCLUSIVE,
                    SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &card, &protocol);
  if (rv != SCARD_S_SUCCESS) {
    SCardReleaseContext(context);
    throw std::runtime_error("cannot hold the card on " + reader + ": SCardConnect returned " +
                             Hex32(rv));
  }
  context_ = static_cast<std::uintptr_t>(context);
  card_ = static_cast<std::uintptr_t>(card);
}

void ReaderHold::Release() {
  if (card_)
    SCardDisconnect(static_cast<SCARDHANDLE>(card_), SCARD_LEAVE_CARD);
  if (context_)
    SCardReleaseContext(static_cast<SCARDCONTEXT>(context_));
  card_ = context_ = 0;
}

PcscRig::PcscRig(RigOptions options) : options_(std::move(options)) {
  if (const char* debug = std::getenv("VARLO_RIG_PCSCD_DEBUG"); debug && *debug == '1') {
    options_.pcscdDebug = true;
  }
  lock_ = std::make_unique<platform::MachineLock>(kLockFile, options_.lockTimeout);
  scratch_ = std::make_unique<platform::TempDirectory>("varlo-rig-");
  configDir_ = scratch_->Path() / "reader.conf.d";
  pcscdLog_ = scratch_->Path() / "pcscd.log";

  vcardProgram_ = options_.vcardProgram;
  if (vcardProgram_.empty()) {
    const char* fromEnvironment = std::getenv("VARLO_VCARD");
    vcardProgram_ = fromEnvironment && *fromEnvironment ? fromEnvironment : VARLO_VCARD_PROGRAM;
  }
  if (!std::filesystem::exists(kVpcdDriver)) {
    throw std::runtime_error(std::string("the vpcd reader driver is missing: ") + kVpcdDriver +
                             " (Debian package vsmartcard-vpcd)");
  }

  WriteReaderConfiguration();
  TakeOverPcscd();
  StartPcscd();
}

PcscRig::~PcscRig() {
  for (Reader& r : readers_)
    r.card.reset();
  try {
    StopPcscd();
  } catch (const std::exception& e) {
    std::cerr << "varlo test rig: " << e.what() << std::endl;
  }
}

const std::string& PcscRig::ReaderName(std::size_t reader) const {
  return readers_.at(reader).name;
}

const std::filesystem::path& PcscRig::Directory() const {
  return scratch_->Path();
}

void PcscRig::WriteReaderConfiguration(bool withReaders) {
  if (readers_.empty()) {
    for (std::uint16_t slot = 0; slot < 2; ++slot) {
      readers_.push_back({std::string(kReaderName) + " 00 0" + std::to_string(slot),
                          static_cast<std::uint16_t>(options_.basePort + slot), nullptr});
    }
  }
  std::filesystem::remove_all(configDir_);
  std::filesystem::create_directories(configDir_);
  if (!withReaders)
    return;
  // vpcd takes the port of slot 0 from the device name after the colon; slot 1 listens on the
  // next port.
  std::ofstream conf(configDir_ / "vpcd");
  conf << "FRIENDLYNAME \"" << kReaderName << "\"\n"
       << "DEVICENAME   /dev/null:" << options_.basePort << "\n"
       << "LIBPATH      " << kVpcdDriver << "\n"
       << "CHANNELID    " << options_.basePort << "\n";
  if (!conf) {
    throw std::runtime_error("cannot write the reader configuration in " + configDir_.string());
  }
}

void PcscRig::TakeOverPcscd() {
  for (int pid : platform::FindProcessesByName("pcscd")) {
    std::cerr << "varlo test rig: stopping the pcscd already running (pid " << pid
              << "); the rig runs its own pcscd during the tests and does not restart this one"
              << std::endl;
    if (!platform::TerminateProcess(pid, options_.timeout)) {
      throw std::runtime_error("cannot stop the running pcscd (pid " + std::to_string(pid) + ")");
    }
  }
  // A pcscd that was killed leaves its pid file behind; a new pcscd refuses to start while the
  // pid in it names a live process, which after a while may be any process.
  std::error_code ignored;
  std::filesystem::remove(kPcscdPidFile, ignored);
}

std::optional<std::vector<std::string>> PcscRig::ListReaders() {
  Context context;
  if (!context.Ok())
    return std::nullopt;
  DWORD size = 0;
  LONG rv = SCardListReaders(context.Get(), nullptr, nullptr, &size);
  if (rv == SCARD_E_NO_READERS_AVAILABLE)
    return std::vector<std::string>{};
  if (rv != SCARD_S_SUCCESS)
    return std::nullopt;
  std::string buffer(size, '\0');
  rv = SCardListReaders(context.Get(), nullptr, buffer.data(), &size);
  if (rv == SCARD_E_NO_READERS_AVAILABLE)
    return std::vector<std::string>{};
  if (rv != SCARD_S_SUCCESS)
    return std::nullopt;
  std::vector<std::string> names;
  for (std::size_t at = 0; at < buffer.size() && buffer[at] != '\0';) {
    std::string name(buffer.c_str() + at);
    at += name.size() + 1;
    names.push_back(std::move(name));
  }
  return names;
}

void PcscRig::SpawnPcscd() {
  platform::SpawnOptions spawn;
  spawn.argv = {PcscdProgram(), "--foreground", "--config", configDir_.string()};
  if (options_.pcscdDebug) {
    spawn.argv.push_back("--debug");
    spawn.argv.push_back("--apdu");
  }
  spawn.outputFile = pcscdLog_;
  pcscd_ = platform::ChildProcess::Spawn(spawn);
}

void PcscRig::StartPcscd() {
  if (PcscdRunning())
    return;
  SpawnPcscd();
  const auto deadline = Clock::now() + options_.timeout;
  for (;;) {
    if (auto names = ListReaders()) {
      std::size_t found = 0;
      for (const Reader& r : readers_) {
        for (const std::string& n : *names)
          found += n == r.name;
      }
      if (found == readers_.size())
        return;
    }
    if (!pcscd_->Running()) {
      throw std::runtime_error("pcscd ended at start-up; its log:\n" + PcscdLog());
    }
    if (Clock::now() >= deadline) {
      throw std::runtime_error("pcscd did not list the rig's readers in time; its log:\n" +
                               PcscdLog());
    }
    std::this_thread::sleep_for(kPollInterval);
  }
}

void PcscRig::StopPcscd() {
  if (!pcscd_)
    return;
  const int code = pcscd_->Stop(options_.timeout);
  pcscd_.reset();
  // SIGTERM is pcscd's normal way to end.
  if (code != 0 && code != 128 + 15) {
    throw std::runtime_error("pcscd ended with code " + std::to_string(code));
  }
}

void PcscRig::RestartPcscd() {
  StopPcscd();
  StartPcscd();
}

void PcscRig::RestartPcscdWithoutReaders() {
  StopPcscd();
  WriteReaderConfiguration(false);
  SpawnPcscd();
  const auto deadline = Clock::now() + options_.timeout;
  for (;;) {
    if (auto names = ListReaders(); names && names->empty()) {
      WriteReaderConfiguration(true);  // read by the next start only
      return;
    }
    if (!pcscd_->Running())
      throw std::runtime_error("pcscd ended at start-up; its log:\n" + PcscdLog());
    if (Clock::now() >= deadline)
      throw std::runtime_error("pcscd without readers did not answer in time");
    std::this_thread::sleep_for(kPollInterval);
  }
}

bool PcscRig::PcscdRunning() {
  return pcscd_ && pcscd_->Running();
}

std::string PcscRig::PcscdLog() const {
  std::ifstream in(pcscdLog_);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

VirtualCard& PcscRig::Card(std::size_t reader) {
  Reader& r = readers_.at(reader);
  if (!r.card) {
    r.card = std::make_unique<VirtualCard>(
        vcardProgram_, r.port, scratch_->Path() / ("vcard-" + std::to_string(reader) + ".log"),
        options_.timeout, options_.vcardArguments);
  }
  return *r.card;
}

void PcscRig::Present(std::size_t reader, const std::filesystem::path& image) {
  Card(reader).Present(image);
  if (!WaitForCard(reader, true)) {
    throw std::runtime_error("pcscd did not see the card on " + ReaderName(reader) + " in time");
  }
}

void PcscRig::Remove(std::size_t reader) {
  Card(reader).Remove();
  if (!WaitForCard(reader, false)) {
    throw std::runtime_error("pcscd did not see the card leave " + ReaderName(reader) + " in time");
  }
}

bool PcscRig::WaitForCard(std::size_t reader, bool present) {
  const std::string& name = ReaderName(reader);
  const auto deadline = Clock::now() + options_.timeout;
  auto reached = [present](DWORD state) {
    if (state & (SCARD_STATE_UNKNOWN | SCARD_STATE_UNAVAILABLE))
      return false;
    return present ? (state & SCARD_STATE_PRESENT) != 0 : (state & SCARD_STATE_EMPTY) != 0;
  };
  for (;;) {
    // A fresh context for every round: pcscd may have been restarted under an old one.
    Context context;
    if (context.Ok()) {
      SCARD_READERSTATE state{};
      state.szReader = name.c_str();
      state.dwCurrentState = SCARD_STATE_UNAWARE;
      LONG rv = SCardGetStatusChange(context.Get(), 0, &state, 1);
      while (rv == SCARD_S_SUCCESS) {
        if (reached(state.dwEventState))
          return true;
        if (state.dwEventState & SCARD_STATE_UNKNOWN)
          break;  // pcscd has not added it yet
        state.dwCurrentState = state.dwEventState & ~SCARD_STATE_CHANGED;
        rv = SCardGetStatusChange(context.Get(), MillisecondsUntil(deadline), &state, 1);
      }
      if (rv != SCARD_S_SUCCESS && rv != SCARD_E_TIMEOUT && rv != SCARD_E_NO_SERVICE &&
          rv != SCARD_E_UNKNOWN_READER && rv != SCARD_E_SERVICE_STOPPED) {
        throw std::runtime_error("SCardGetStatusChange on " + name + " returned " + Hex32(rv));
      }
    }
    if (Clock::now() >= deadline)
      return false;
    std::this_thread::sleep_for(kPollInterval);
  }
}

std::filesystem::path PcscRig::WriteImage(const std::string& name,
                                          const CardImageContent& image) const {
  nlohmann::json doc;
  doc["uid"] = image.uid;
  if (image.appKey)
    doc["appKey"] = *image.appKey;
  doc["files"] = nlohmann::json::object();
  for (const auto& [number, bytes] : image.files)
    doc["files"][std::to_string(number)] = ToHex(bytes);
  const auto path = scratch_->Path() / (name + ".json");
  std::ofstream out(path);
  out << doc.dump(2) << "\n";
  if (!out)
    throw std::runtime_error("cannot write card image " + path.string());
  return path;
}

}  // namespace varlo::testrig
