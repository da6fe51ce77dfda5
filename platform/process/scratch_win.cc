#include <stdexcept>

#include "platform/process/scratch.h"
#include "platform/win/windows_api.h"

namespace varlo::platform {

TempDirectory::TempDirectory(const std::string& prefix) {
  DWORD error = 0;
  path_ = win::MakeTemporaryDirectory(win::Widen(prefix), &error);
  if (path_.empty()) {
    throw std::runtime_error("cannot make a temporary directory " + prefix + ": error " +
                             std::to_string(error));
  }
}

TempDirectory::~TempDirectory() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

MachineLock::MachineLock(const std::filesystem::path& path, std::chrono::milliseconds timeout) {
  win::UniqueHandle file(::CreateFileW(path.wstring().c_str(), GENERIC_READ | GENERIC_WRITE,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                       nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.Valid()) {
    throw std::runtime_error("cannot open lock file " + path.string() + ": error " +
                             std::to_string(::GetLastError()));
  }
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    OVERLAPPED whole{};
    if (::LockFileEx(file.Get(), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD,
                     MAXDWORD, &whole)) {
      break;
    }
    const DWORD error = ::GetLastError();
    if (error != ERROR_LOCK_VIOLATION || std::chrono::steady_clock::now() >= deadline) {
      const std::string why = error == ERROR_LOCK_VIOLATION ? "held by another process"
                                                            : "error " + std::to_string(error);
      throw std::runtime_error("cannot lock " + path.string() + ": " + why);
    }
    ::Sleep(20);
  }
  handle_ = file.Release();
}

MachineLock::~MachineLock() {
  ::CloseHandle(handle_);
}

}  // namespace varlo::platform
