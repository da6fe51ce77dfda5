#include <filesystem>
#include <system_error>

#include "platform/daemon/files.h"
#include "platform/win/windows_api.h"

namespace varlo::platform {
namespace {

[[noreturn]] void Fail(const std::string& what, const std::string& path,
                       DWORD error = ::GetLastError()) {
  throw std::system_error(static_cast<int>(error), std::system_category(), what + " " + path);
}

std::wstring WidePath(const std::string& path) {
  bool ok = false;
  std::wstring wide = win::Widen(path, &ok);
  if (!ok || wide.empty())
    Fail("not a path:", path, ERROR_INVALID_NAME);
  return wide;
}

// Opens (creating) a regular file of ours; a link or folder at the path is refused.
win::UniqueHandle OpenOwnFile(const std::string& path, DWORD flags = 0) {
  win::UniqueHandle file(
      ::CreateFileW(WidePath(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT | flags, nullptr));
  if (!file.Valid())
    Fail("cannot open", path);
  BY_HANDLE_FILE_INFORMATION information{};
  if (!::GetFileInformationByHandle(file.Get(), &information))
    Fail("cannot make private", path);
  if (information.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY))
    Fail("cannot make private", path, ERROR_INVALID_PARAMETER);
  return file;
}

}  // namespace

void EnsureDirectory(const std::string& path, unsigned /*mode*/) {
  const std::filesystem::path folder(WidePath(path));
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  if (error)
    throw std::system_error(error, "cannot create " + path);
  if (!std::filesystem::is_directory(folder, error))
    Fail("not a folder:", path, ERROR_DIRECTORY);
}

void EnsurePrivateFile(const std::string& path) {
  OpenOwnFile(path);
}

std::unique_ptr<FileLock> FileLock::TryLock(const std::string& path) {
  win::UniqueHandle file = OpenOwnFile(path);
  OVERLAPPED whole{};
  if (::LockFileEx(file.Get(), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD,
                   MAXDWORD, &whole)) {
    return std::unique_ptr<FileLock>(new FileLock(file.Release()));
  }
  const DWORD error = ::GetLastError();
  if (error == ERROR_LOCK_VIOLATION)
    return nullptr;
  Fail("cannot lock", path, error);
}

FileLock::~FileLock() {
  // Closing the handle releases the lock.
  ::CloseHandle(handle_);
}

}  // namespace varlo::platform
