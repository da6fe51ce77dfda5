// <windows.h> as the platform's Windows files include it, and the text conversions they share.
//
// The rest of the system keeps text in UTF-8 (std::string) or UTF-16 (std::u16string); the
// wide Windows functions take wchar_t text, which is UTF-16 on this platform. Conversions stop
// at invalid input rather than guess: an empty result with `ok` false.
#ifndef VARLO_PLATFORM_WIN_WINDOWS_API_H_
#define VARLO_PLATFORM_WIN_WINDOWS_API_H_

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cwchar>
#include <filesystem>
#include <random>
#include <string>
#include <string_view>

namespace varlo::platform::win {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "wide text is UTF-16 on Windows");

// UTF-16 text of UTF-8 `text`; false in `*ok` (when given) for invalid UTF-8.
inline std::wstring Widen(std::string_view text, bool* ok = nullptr) {
  if (ok != nullptr)
    *ok = true;
  if (text.empty())
    return {};
  const int size = static_cast<int>(text.size());
  const int needed =
      ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), size, nullptr, 0);
  if (needed <= 0) {
    if (ok != nullptr)
      *ok = false;
    return {};
  }
  std::wstring wide(static_cast<std::size_t>(needed), L'\0');
  ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), size, wide.data(), needed);
  return wide;
}

inline std::wstring Widen(std::u16string_view text) {
  return std::wstring(text.begin(), text.end());
}

// UTF-8 text of UTF-16 `text`; false in `*ok` (when given) for an unpaired surrogate.
inline std::string Narrow(std::wstring_view text, bool* ok = nullptr) {
  if (ok != nullptr)
    *ok = true;
  if (text.empty())
    return {};
  const int size = static_cast<int>(text.size());
  const int needed = ::WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text.data(), size,
                                           nullptr, 0, nullptr, nullptr);
  if (needed <= 0) {
    if (ok != nullptr)
      *ok = false;
    return {};
  }
  std::string narrow(static_cast<std::size_t>(needed), '\0');
  ::WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text.data(), size, narrow.data(), needed,
                        nullptr, nullptr);
  return narrow;
}

// The environment variable `name`; empty when it is unset.
inline std::wstring EnvironmentW(const wchar_t* name) {
  std::wstring value(256, L'\0');
  for (;;) {
    const DWORD length =
        ::GetEnvironmentVariableW(name, value.data(), static_cast<DWORD>(value.size()));
    if (length == 0)
      return {};
    if (length < value.size()) {
      value.resize(length);
      return value;
    }
    value.resize(length);  // the size asked for, terminating NUL included
  }
}

// A kernel object handle closed when it goes out of scope.
class UniqueHandle {
 public:
  UniqueHandle() = default;
  explicit UniqueHandle(HANDLE handle) : handle_(handle) {}
  ~UniqueHandle() { Reset(); }
  UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.Release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) {
      Reset();
      handle_ = other.Release();
    }
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;

  // Both null and INVALID_HANDLE_VALUE stand for "none": the API uses either for a failure.
  bool Valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
  HANDLE Get() const { return handle_; }
  HANDLE Release() {
    HANDLE handle = handle_;
    handle_ = nullptr;
    return handle;
  }
  void Reset(HANDLE handle = nullptr) {
    if (Valid())
      ::CloseHandle(handle_);
    handle_ = handle;
  }

 private:
  HANDLE handle_ = nullptr;
};

// Makes a new folder in the temporary folder, named `prefix` and a random part; its path, or an
// empty path with the reason in `*error`. The folder has the default security of its parent,
// which on Windows is private to the user.
inline std::filesystem::path MakeTemporaryDirectory(std::wstring_view prefix, DWORD* error) {
  wchar_t temp[MAX_PATH + 1];
  const DWORD length = ::GetTempPathW(MAX_PATH + 1, temp);
  if (length == 0 || length > MAX_PATH) {
    *error = length == 0 ? ::GetLastError() : ERROR_FILENAME_EXCED_RANGE;
    return {};
  }
  std::random_device random;
  for (int attempt = 0; attempt < 100; ++attempt) {
    wchar_t suffix[16];
    ::swprintf(suffix, 16, L"%08x", static_cast<unsigned>(random()));
    std::wstring path = std::wstring(temp, length) + std::wstring(prefix) + suffix;
    if (::CreateDirectoryW(path.c_str(), nullptr)) {
      *error = 0;
      return std::filesystem::path(path);
    }
    if (::GetLastError() != ERROR_ALREADY_EXISTS) {
      *error = ::GetLastError();
      return {};
    }
  }
  *error = ERROR_ALREADY_EXISTS;
  return {};
}

}  // namespace varlo::platform::win

#endif  // VARLO_PLATFORM_WIN_WINDOWS_API_H_
