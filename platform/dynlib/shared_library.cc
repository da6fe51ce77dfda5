#include "platform/dynlib/shared_library.h"

#include <dlfcn.h>

#include <filesystem>

namespace varlo::platform {

SharedLibrary::SharedLibrary(const std::string& path)
    : handle_(::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL)) {
  if (handle_ == nullptr) {
    const char* error = ::dlerror();
    throw std::runtime_error(error != nullptr ? error : "cannot load " + path);
  }
}

SharedLibrary::~SharedLibrary() {
  ::dlclose(handle_);
}

void* SharedLibrary::Symbol(const char* name) const {
  return ::dlsym(handle_, name);
}

std::string ProgramPath() {
  std::error_code error;
  std::filesystem::path path = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::string() : path.string();
}

std::string PathOfLoadedFile(const void* address) {
  Dl_info info{};
  if (::dladdr(address, &info) == 0 || info.dli_fname == nullptr)
    return {};
  std::error_code error;
  std::filesystem::path path = std::filesystem::canonical(info.dli_fname, error);
  return error ? std::string() : path.string();
}

}  // namespace varlo::platform
