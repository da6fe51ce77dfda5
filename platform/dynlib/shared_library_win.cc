#include "platform/dynlib/shared_library.h"

#include "platform/win/windows_api.h"

namespace varlo::platform {
namespace {

// The system's text for `error`, without the trailing line break.
std::string ErrorText(DWORD error) {
  wchar_t* text = nullptr;
  const DWORD length = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::wstring message(text != nullptr ? text : L"", length);
  if (text != nullptr)
    ::LocalFree(text);
  while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r'))
    message.pop_back();
  return message.empty() ? "error " + std::to_string(error) : win::Narrow(message);
}

// The path of the module `module` (null: the program), empty when it cannot be told.
std::string ModulePath(HMODULE module) {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = ::GetModuleFileNameW(module, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0)
      return {};
    if (length < path.size()) {
      path.resize(length);
      return win::Narrow(path);
    }
    if (path.size() >= 32768)  // the longest path the system has
      return {};
    path.resize(path.size() * 2);
  }
}

}  // namespace

SharedLibrary::SharedLibrary(const std::string& path) : handle_(nullptr) {
  bool ok = false;
  const std::wstring widePath = win::Widen(path, &ok);
  if (!ok)
    throw std::runtime_error("cannot load " + path + ": the path is not UTF-8");
  // The library's own folder is searched for the libraries it depends on, as on Linux a
  // library's RUNPATH is.
  HMODULE module =
      ::LoadLibraryExW(widePath.c_str(), nullptr,
                       LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
  if (module == nullptr && ::GetLastError() == ERROR_INVALID_PARAMETER) {
    // A bare name, or a system without the search flags: the classic search.
    module = ::LoadLibraryW(widePath.c_str());
  }
  if (module == nullptr)
    throw std::runtime_error("cannot load " + path + ": " + ErrorText(::GetLastError()));
  handle_ = module;
}

SharedLibrary::~SharedLibrary() {
  ::FreeLibrary(static_cast<HMODULE>(handle_));
}

void* SharedLibrary::Symbol(const char* name) const {
  return reinterpret_cast<void*>(::GetProcAddress(static_cast<HMODULE>(handle_), name));
}

std::string ProgramPath() {
  return ModulePath(nullptr);
}

std::string PathOfLoadedFile(const void* address) {
  HMODULE module = nullptr;
  if (!::GetModuleHandleExW(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          static_cast<const wchar_t*>(address), &module)) {
    return {};
  }
  return ModulePath(module);
}

}  // namespace varlo::platform
