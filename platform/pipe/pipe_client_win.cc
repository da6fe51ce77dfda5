#include <algorithm>
#include <cerrno>
#include <new>

#include "platform/pipe/pipe_client.h"
#include "platform/pipe/pipe_end_win.h"

namespace varlo::platform {
namespace {

constexpr std::u16string_view kPipePrefix = u"\\\\.\\pipe\\";
// How long a client waits for the service to offer its next pipe instance. Named pipes have no
// queue of pending connections: between two clients the service needs a moment to open the
// next instance, and a client in that moment finds the pipe busy.
constexpr DWORD kBusyWaitMilliseconds = 1000;
// The largest slice one write copies and hands to the system.
constexpr std::size_t kMaxWrite = 1 << 20;
// How long closing waits for an outstanding write to reach the peer.
constexpr DWORD kCloseFlushMilliseconds = 2000;

bool StartsWithPipePrefix(std::u16string_view name) {
  if (name.size() < kPipePrefix.size())
    return false;
  for (std::size_t i = 0; i < kPipePrefix.size(); ++i) {
    char16_t c = name[i];
    if (c >= u'A' && c <= u'Z')
      c = static_cast<char16_t>(c - u'A' + u'a');
    if (c != kPipePrefix[i])
      return false;
  }
  return true;
}

// "C:\..." or "C:/...", "\\server\share\..." and "/...".
bool IsAbsolutePath(std::u16string_view name) {
  if (name.size() >= 3 && name[1] == u':' && (name[2] == u'\\' || name[2] == u'/'))
    return true;
  return !name.empty() && (name.front() == u'/' || name.front() == u'\\');
}

std::optional<std::string> ToUtf8(std::u16string_view text) {
  bool ok = false;
  std::string utf8 = win::Narrow(win::Widen(text), &ok);
  if (!ok)
    return std::nullopt;
  return utf8;
}

// Forward slashes only, no doubled or trailing one, ASCII upper case folded (pipe names and
// paths are compared without regard to case).
std::string NormalizedPath(std::string_view path) {
  std::string out;
  for (char c : path) {
    if (c == '\\')
      c = '/';
    if (c >= 'A' && c <= 'Z')
      c = static_cast<char>(c - 'A' + 'a');
    if (c == '/' && out.size() > 1 && out.back() == '/')
      continue;
    out.push_back(c);
  }
  while (out.size() > 1 && out.back() == '/')
    out.pop_back();
  return out;
}

std::string DefaultPipeDirectory() {
  std::wstring base = win::EnvironmentW(L"LOCALAPPDATA");
  if (base.empty()) {
    wchar_t temp[MAX_PATH + 1];
    const DWORD length = ::GetTempPathW(MAX_PATH + 1, temp);
    base.assign(temp, length <= MAX_PATH ? length : 0);
  }
  while (!base.empty() && (base.back() == L'\\' || base.back() == L'/'))
    base.pop_back();
  return win::Narrow(base) + "\\varlo";
}

void WaitDone(HANDLE pipe, OVERLAPPED& overlapped) {
  DWORD ignored = 0;
  ::GetOverlappedResult(pipe, &overlapped, &ignored, TRUE);
}

// Completes the outstanding one-byte read if it has finished. Holds readMutex.
void SettleRead(win::PipeEnd& end) {
  if (!end.readPending)
    return;
  DWORD count = 0;
  if (::GetOverlappedResult(end.pipe, &end.readOverlapped, &count, FALSE)) {
    end.readPending = false;
    end.byteReady = count == 1;
    return;
  }
  const DWORD error = ::GetLastError();
  if (error == ERROR_IO_INCOMPLETE)
    return;
  end.readPending = false;
  end.readError = error;
}

// Starts the one-byte read. Holds readMutex; nothing is pending, ready or failed.
void StartRead(win::PipeEnd& end) {
  ::ResetEvent(end.readEvent.Get());
  end.readOverlapped = OVERLAPPED{};
  end.readOverlapped.hEvent = end.readEvent.Get();
  if (::ReadFile(end.pipe, &end.byte, 1, nullptr, &end.readOverlapped) ||
      ::GetLastError() == ERROR_IO_PENDING) {
    end.readPending = true;
    SettleRead(end);  // a read that finished at once is taken now
    return;
  }
  end.readError = ::GetLastError();
}

}  // namespace

namespace win {

unsigned long PipeError(DWORD error) {
  switch (error) {
    case ERROR_PIPE_NOT_CONNECTED:
    case ERROR_HANDLE_EOF:
      return kErrorBrokenPipe;
    default:
      return error;
  }
}

DWORD WaitMilliseconds(long long milliseconds) {
  if (milliseconds <= 0)
    return 0;
  if (milliseconds >= static_cast<long long>(INFINITE))
    return INFINITE;
  return static_cast<DWORD>(milliseconds);
}

PipeHandle AdoptPipe(HANDLE pipe, unsigned long* error) {
  PipeEnd* end = new (std::nothrow) PipeEnd;
  if (end == nullptr) {
    ::CloseHandle(pipe);
    *error = kErrorNotEnoughMemory;
    return kInvalidPipeHandle;
  }
  end->pipe = pipe;
  // Manual-reset events: a completed operation stays visible until the next one starts.
  end->readEvent.Reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  end->ioEvent.Reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  end->writeEvent.Reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!end->readEvent.Valid() || !end->ioEvent.Valid() || !end->writeEvent.Valid()) {
    *error = ::GetLastError();
    ::CloseHandle(pipe);
    delete end;
    return kInvalidPipeHandle;
  }
  *error = 0;
  return reinterpret_cast<PipeHandle>(end);
}

HANDLE ArmReadWait(PipeEnd& end, bool* ready) {
  std::lock_guard lock(end.readMutex);
  SettleRead(end);
  if (end.byteReady || end.readError != 0) {
    *ready = true;
    return nullptr;
  }
  if (!end.readPending) {
    DWORD available = 0;
    if (!::PeekNamedPipe(end.pipe, nullptr, 0, nullptr, &available, nullptr) || available > 0) {
      *ready = true;  // bytes, or a failure the read will report
      return nullptr;
    }
    StartRead(end);
    if (end.byteReady || end.readError != 0) {
      *ready = true;
      return nullptr;
    }
  }
  *ready = false;
  return end.readEvent.Get();
}

DWORD FinishWrite(PipeEnd& end, DWORD milliseconds) {
  if (!end.writePending)
    return 0;
  if (::WaitForSingleObject(end.writeEvent.Get(), milliseconds) == WAIT_TIMEOUT)
    return WAIT_TIMEOUT;
  end.writePending = false;
  DWORD count = 0;
  return ::GetOverlappedResult(end.pipe, &end.writeOverlapped, &count, FALSE) ? 0
                                                                              : ::GetLastError();
}

std::wstring PipeNameOfPath(std::string_view path) {
  const std::string normalized = NormalizedPath(path);
  const std::size_t slash = normalized.rfind('/');
  std::string name = normalized;
  if (slash != std::string::npos &&
      normalized.substr(0, slash) == NormalizedPath(DefaultPipeDirectory())) {
    name = normalized.substr(slash + 1);
  }
  bool ok = false;
  std::wstring wide = Widen(name, &ok);
  // The system takes pipe names of up to 256 characters, prefix included.
  if (!ok || wide.empty() || wide.size() + kPipePrefix.size() > 256)
    return {};
  return L"\\\\.\\pipe\\" + wide;
}

}  // namespace win

unsigned long WindowsErrorFromErrno(int error) {
  switch (error) {
    case ENOENT:
    case ENOTDIR:
    case ECONNREFUSED:
      return kErrorFileNotFound;
    case EACCES:
    case EPERM:
      return kErrorAccessDenied;
    case EBADF:
    case ENOTSOCK:
      return kErrorInvalidHandle;
    case ENOMEM:
    case ENOBUFS:
      return kErrorNotEnoughMemory;
    case EAGAIN:
      return kErrorPipeBusy;
    case EPIPE:
      return kErrorNoData;
    case ECONNRESET:
    case ENOTCONN:
      return kErrorBrokenPipe;
    case ENAMETOOLONG:
      return ERROR_FILENAME_EXCED_RANGE;
    default:
      return kErrorGenFailure;
  }
}

std::string PipeDirectory() {
  const std::string dir = win::Narrow(win::EnvironmentW(L"VARLO_PIPE_DIR"));
  return dir.empty() ? DefaultPipeDirectory() : dir;
}

std::optional<std::string> PipeSocketPath(std::u16string_view name, std::string_view pipeDir) {
  if (StartsWithPipePrefix(name)) {
    auto leaf = ToUtf8(name.substr(kPipePrefix.size()));
    // The leaf must stay inside the pipe folder.
    if (!leaf || leaf->empty() || *leaf == "." || *leaf == ".." ||
        leaf->find_first_of("/\\") != std::string::npos) {
      return std::nullopt;
    }
    std::string path(pipeDir);
    while (path.size() > 1 && (path.back() == '/' || path.back() == '\\'))
      path.pop_back();
    if (path.empty() || (path.back() != '/' && path.back() != '\\'))
      path.push_back('\\');
    return path + *leaf;
  }
  if (IsAbsolutePath(name))
    return ToUtf8(name);
  return std::nullopt;
}

PipeOpenResult OpenPipe(std::u16string_view name) {
  const auto path = PipeSocketPath(name, PipeDirectory());
  if (!path)
    return {kInvalidPipeHandle, kErrorInvalidName};
  const std::wstring pipeName = win::PipeNameOfPath(*path);
  if (pipeName.empty())
    return {kInvalidPipeHandle, kErrorInvalidName};
  for (int attempt = 0;; ++attempt) {
    // Identification only: the service may learn who we are, never act as us.
    HANDLE pipe = ::CreateFileW(
        pipeName.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
        FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
    if (pipe != INVALID_HANDLE_VALUE) {
      unsigned long error = 0;
      const PipeHandle handle = win::AdoptPipe(pipe, &error);
      return {handle, error};
    }
    const DWORD error = ::GetLastError();
    if (error != ERROR_PIPE_BUSY)
      return {kInvalidPipeHandle, error};
    if (attempt > 0)
      return {kInvalidPipeHandle, kErrorPipeBusy};
    if (!::WaitNamedPipeW(pipeName.c_str(), kBusyWaitMilliseconds)) {
      const DWORD waitError = ::GetLastError();
      return {kInvalidPipeHandle, waitError == ERROR_SEM_TIMEOUT ? kErrorPipeBusy : waitError};
    }
  }
}

PipeIoResult PeekPipe(PipeHandle handle) {
  win::PipeEnd& end = *win::AsPipeEnd(handle);
  std::lock_guard lock(end.readMutex);
  SettleRead(end);
  const std::size_t held = end.byteReady ? 1 : 0;
  if (end.readError != 0)
    return {held, held != 0 ? 0 : win::PipeError(end.readError)};
  DWORD available = 0;
  if (!::PeekNamedPipe(end.pipe, nullptr, 0, nullptr, &available, nullptr)) {
    // The byte already taken still counts; the failure shows once it is read.
    const DWORD error = ::GetLastError();
    return {held, held != 0 ? 0 : win::PipeError(error)};
  }
  return {held + available, 0};
}

PipeIoResult ReadPipe(PipeHandle handle, std::span<std::uint8_t> buffer) {
  win::PipeEnd& end = *win::AsPipeEnd(handle);
  std::lock_guard lock(end.readMutex);
  if (buffer.empty())
    return {0, 0};
  SettleRead(end);
  std::size_t done = 0;
  if (end.byteReady) {
    buffer[0] = end.byte;
    end.byteReady = false;
    done = 1;
  }
  // An outstanding read takes the next byte first: nothing may be read past it.
  if (end.readPending)
    return {done, 0};
  if (end.readError != 0)
    return {done, done != 0 ? 0 : win::PipeError(end.readError)};
  DWORD available = 0;
  if (!::PeekNamedPipe(end.pipe, nullptr, 0, nullptr, &available, nullptr))
    return {done, done != 0 ? 0 : win::PipeError(::GetLastError())};
  const DWORD want = static_cast<DWORD>(std::min<std::size_t>(available, buffer.size() - done));
  if (want == 0)
    return {done, 0};
  // The bytes are there, so the read completes at once; it is overlapped only because the
  // handle is.
  ::ResetEvent(end.ioEvent.Get());
  end.ioOverlapped = OVERLAPPED{};
  end.ioOverlapped.hEvent = end.ioEvent.Get();
  DWORD count = 0;
  if (!::ReadFile(end.pipe, buffer.data() + done, want, nullptr, &end.ioOverlapped) &&
      ::GetLastError() != ERROR_IO_PENDING) {
    return {done, done != 0 ? 0 : win::PipeError(::GetLastError())};
  }
  if (!::GetOverlappedResult(end.pipe, &end.ioOverlapped, &count, TRUE))
    return {done, done != 0 ? 0 : win::PipeError(::GetLastError())};
  return {done + count, 0};
}

PipeIoResult WritePipe(PipeHandle handle, std::span<const std::uint8_t> data,
                       int waitMilliseconds) {
  return win::WriteSome(*win::AsPipeEnd(handle), data, win::WaitMilliseconds(waitMilliseconds));
}

PipeIoResult win::WriteSome(PipeEnd& end, std::span<const std::uint8_t> data, DWORD wait) {
  // The previous write must be through before the next one starts, to keep the bytes in order.
  const DWORD previous = win::FinishWrite(end, wait);
  if (previous == WAIT_TIMEOUT)
    return {0, 0};
  if (previous != 0)
    return {0, win::PipeError(previous)};
  if (data.empty())
    return {0, 0};
  const std::size_t size = std::min(data.size(), kMaxWrite);
  try {
    end.writeBuffer.assign(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(size));
  } catch (const std::bad_alloc&) {
    return {0, kErrorNotEnoughMemory};
  }
  ::ResetEvent(end.writeEvent.Get());
  end.writeOverlapped = OVERLAPPED{};
  end.writeOverlapped.hEvent = end.writeEvent.Get();
  if (!::WriteFile(end.pipe, end.writeBuffer.data(), static_cast<DWORD>(size), nullptr,
                   &end.writeOverlapped) &&
      ::GetLastError() != ERROR_IO_PENDING) {
    return {0, win::PipeError(::GetLastError())};
  }
  end.writePending = true;
  const DWORD result = win::FinishWrite(end, wait);
  if (result != 0 && result != WAIT_TIMEOUT)
    return {0, win::PipeError(result)};
  // Still outstanding: the system holds the copy and hands it over as the peer reads; a
  // failure shows at the next write or at the close.
  return {size, 0};
}

void ClosePipe(PipeHandle handle) {
  if (handle == kInvalidPipeHandle)
    return;
  win::PipeEnd* end = win::AsPipeEnd(handle);
  // Bytes already reported as written get a moment to reach the peer.
  win::FinishWrite(*end, kCloseFlushMilliseconds);
  ::CancelIoEx(end->pipe, nullptr);
  {
    std::lock_guard lock(end->readMutex);
    if (end->readPending)
      WaitDone(end->pipe, end->readOverlapped);
  }
  if (end->writePending)
    WaitDone(end->pipe, end->writeOverlapped);
  ::CloseHandle(end->pipe);
  delete end;
}

}  // namespace varlo::platform
