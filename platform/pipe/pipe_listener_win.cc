#include <filesystem>
#include <system_error>
#include <utility>

#include "platform/pipe/pipe_end_win.h"
#include "platform/pipe/pipe_listener.h"
#include "platform/pipe/pipe_wait.h"
#include "platform/win/user_sid.h"

// After <windows.h>, which it needs.
#include <sddl.h>

namespace varlo::platform {
namespace {

constexpr DWORD kPipeBufferSize = 256 * 1024;

[[noreturn]] void Fail(DWORD error, const std::string& what) {
  throw std::system_error(static_cast<int>(error), std::system_category(), what);
}

// Security for the pipe that lets in the service's own user and the system alone (the
// default would also let every user open it for reading). Null when it cannot be made.
PSECURITY_DESCRIPTOR OwnUserOnly() {
  std::vector<BYTE> sid = win::ProcessUserSid(::GetCurrentProcess());
  wchar_t* sidText = nullptr;
  if (sid.empty() || !::ConvertSidToStringSidW(sid.data(), &sidText))
    return nullptr;
  const std::wstring sddl = L"D:P(A;;GA;;;SY)(A;;GA;;;" + std::wstring(sidText) + L")";
  ::LocalFree(sidText);
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                              &descriptor, nullptr)) {
    return nullptr;
  }
  return descriptor;
}

}  // namespace

struct PipeListener::Waiting {
  ~Waiting() {
    if (security != nullptr)
      ::LocalFree(security);
  }

  std::wstring name;
  PSECURITY_DESCRIPTOR security = nullptr;
  win::UniqueHandle instance;   // created, not yet handed to a client
  win::UniqueHandle connected;  // the event of the outstanding ConnectNamedPipe
  win::UniqueHandle interrupt;  // signalled by Interrupt
  OVERLAPPED overlapped{};
  bool connecting = false;

  // A new instance; the first also claims the name, so that no other process can have served it
  // before us. 0 or the error.
  DWORD CreateInstance(bool first) {
    SECURITY_ATTRIBUTES attributes{};
    attributes.nLength = sizeof attributes;
    attributes.lpSecurityDescriptor = security;
    HANDLE pipe = ::CreateNamedPipeW(
        name.c_str(),
        PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0),
        PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
        PIPE_UNLIMITED_INSTANCES, kPipeBufferSize, kPipeBufferSize, 0, &attributes);
    if (pipe == INVALID_HANDLE_VALUE)
      return ::GetLastError();
    instance.Reset(pipe);
    return 0;
  }

  void CancelConnect() {
    if (!connecting)
      return;
    ::CancelIoEx(instance.Get(), &overlapped);
    DWORD ignored = 0;
    ::GetOverlappedResult(instance.Get(), &overlapped, &ignored, TRUE);
    connecting = false;
  }
};

PipeConnection::~PipeConnection() {
  Close();
}

PipeConnection::PipeConnection(PipeConnection&& other) noexcept
    : handle_(std::exchange(other.handle_, kInvalidPipeHandle)) {}

PipeConnection& PipeConnection::operator=(PipeConnection&& other) noexcept {
  if (this != &other) {
    Close();
    handle_ = std::exchange(other.handle_, kInvalidPipeHandle);
  }
  return *this;
}

namespace {

// Writes all of `data`, each step waiting up to `wait` for the peer to take something.
bool WriteAllWaiting(PipeHandle handle, std::span<const std::uint8_t> data, DWORD wait) {
  win::PipeEnd& end = *win::AsPipeEnd(handle);
  while (!data.empty()) {
    const PipeIoResult written = win::WriteSome(end, data, wait);
    if (written.error != 0 || written.count == 0)
      return false;
    data = data.subspan(written.count);
  }
  return win::FinishWrite(end, wait) == 0;
}

}  // namespace

bool PipeConnection::WriteAll(std::span<const std::uint8_t> data) {
  return WriteAllWaiting(handle_, data, INFINITE);
}

bool PipeConnection::WriteAll(std::span<const std::uint8_t> data,
                              std::chrono::milliseconds timeout) {
  return WriteAllWaiting(handle_, data, win::WaitMilliseconds(timeout.count()));
}

std::optional<std::size_t> PipeConnection::ReadSome(std::span<std::uint8_t> buffer,
                                                    std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (WaitPipeReadable(handle_, {}, left) == PipeWaitResult::kTimedOut)
      return std::nullopt;
    const PipeIoResult peek = PeekPipe(handle_);
    if (peek.error != 0)
      return 0;
    if (peek.count > 0 || buffer.empty()) {
      const PipeIoResult read =
          ReadPipe(handle_, buffer.first(std::min(peek.count, buffer.size())));
      return read.error != 0 ? 0 : read.count;
    }
    if (std::chrono::steady_clock::now() >= deadline)
      return std::nullopt;
  }
}

bool PipeConnection::ReadExactly(std::span<std::uint8_t> buffer,
                                 std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::size_t done = 0;
  while (done < buffer.size()) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    const auto read = ReadSome(buffer.subspan(done), std::max(left, std::chrono::milliseconds(0)));
    if (!read || *read == 0)
      return false;
    done += *read;
  }
  return true;
}

void PipeConnection::Close() {
  if (handle_ != kInvalidPipeHandle) {
    ClosePipe(handle_);
    handle_ = kInvalidPipeHandle;
  }
}

PipeListener::PipeListener(const std::string& socketPath, int /*backlog*/, unsigned /*mode*/,
                           std::optional<std::uint32_t> /*group*/)
    : path_(socketPath), waiting_(std::make_unique<Waiting>()) {
  waiting_->name = win::PipeNameOfPath(path_);
  if (waiting_->name.empty())
    Fail(ERROR_INVALID_NAME, "no pipe name for " + path_);
  waiting_->security = OwnUserOnly();
  if (waiting_->security == nullptr)
    Fail(::GetLastError(), "pipe security for " + path_);
  waiting_->connected.Reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  waiting_->interrupt.Reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!waiting_->connected.Valid() || !waiting_->interrupt.Valid())
    Fail(::GetLastError(), "events for " + path_);
  // The first instance exists from now on: clients may connect before the first Accept.
  if (const DWORD error = waiting_->CreateInstance(true); error != 0)
    Fail(error, "pipe for " + path_);
}

PipeListener::~PipeListener() {
  waiting_->CancelConnect();
}

PipeConnection PipeListener::Accept(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  Waiting& w = *waiting_;
  for (;;) {
    if (interrupted_.load())
      return PipeConnection();
    if (!w.instance.Valid()) {
      if (const DWORD error = w.CreateInstance(false); error != 0)
        Fail(error, "pipe for " + path_);
    }
    bool clientThere = false;
    if (!w.connecting) {
      ::ResetEvent(w.connected.Get());
      w.overlapped = OVERLAPPED{};
      w.overlapped.hEvent = w.connected.Get();
      if (::ConnectNamedPipe(w.instance.Get(), &w.overlapped)) {
        clientThere = true;
      } else {
        const DWORD error = ::GetLastError();
        if (error == ERROR_IO_PENDING) {
          w.connecting = true;
        } else if (error == ERROR_PIPE_CONNECTED) {
          clientThere = true;  // connected between the instance's creation and now
        } else if (error == ERROR_NO_DATA) {
          w.instance.Reset();  // a client that came and went: offer a fresh instance
          continue;
        } else {
          Fail(error, "ConnectNamedPipe on " + path_);
        }
      }
    }
    if (w.connecting) {
      const HANDLE events[2] = {w.interrupt.Get(), w.connected.Get()};
      const DWORD wait =
          timeout.count() < 0
              ? INFINITE
              : win::WaitMilliseconds(std::chrono::ceil<std::chrono::milliseconds>(
                                          deadline - std::chrono::steady_clock::now())
                                          .count());
      const DWORD result = ::WaitForMultipleObjects(2, events, FALSE, wait);
      if (result == WAIT_TIMEOUT)
        return PipeConnection();
      if (result == WAIT_OBJECT_0)
        continue;  // interrupted, returns above
      if (result != WAIT_OBJECT_0 + 1)
        Fail(::GetLastError(), "wait on " + path_);
      w.connecting = false;
      DWORD ignored = 0;
      if (!::GetOverlappedResult(w.instance.Get(), &w.overlapped, &ignored, FALSE)) {
        w.instance.Reset();  // the client gave up before we took it
        continue;
      }
      clientThere = true;
    }
    if (clientThere) {
      unsigned long error = 0;
      const PipeHandle handle = win::AdoptPipe(w.instance.Release(), &error);
      if (handle == kInvalidPipeHandle)
        Fail(error, "connection on " + path_);
      // The next client's instance at once, so that it finds the pipe busy only briefly; a
      // failure here is reported by the next Accept, which tries again.
      w.CreateInstance(false);
      return PipeConnection(handle);
    }
  }
}

void PipeListener::Interrupt() {
  if (interrupted_.exchange(true))
    return;
  ::SetEvent(waiting_->interrupt.Get());
}

bool PipeListener::Interrupted() const {
  return interrupted_.load();
}

TemporaryPipeDirectory::TemporaryPipeDirectory() {
  DWORD error = 0;
  const std::filesystem::path path = win::MakeTemporaryDirectory(L"varlo-pipe-", &error);
  if (path.empty())
    Fail(error, "temporary folder");
  path_ = win::Narrow(path.native());
}

TemporaryPipeDirectory::~TemporaryPipeDirectory() {
  std::error_code ignored;
  std::filesystem::remove_all(std::filesystem::path(win::Widen(path_)), ignored);
}

}  // namespace varlo::platform
