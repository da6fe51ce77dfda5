// Loads a shared library and looks up its symbols: how hosts and tests load the module.
#ifndef VARLO_PLATFORM_DYNLIB_SHARED_LIBRARY_H_
#define VARLO_PLATFORM_DYNLIB_SHARED_LIBRARY_H_

#include <stdexcept>
#include <string>

namespace varlo::platform {

class SharedLibrary {
 public:
  // Throws std::runtime_error with the loader's message when the library cannot be loaded.
  explicit SharedLibrary(const std::string& path);
  ~SharedLibrary();
  SharedLibrary(const SharedLibrary&) = delete;
  SharedLibrary& operator=(const SharedLibrary&) = delete;

  // The address of `name`, or nullptr when the library does not export it.
  void* Symbol(const char* name) const;

  template <typename Function>
  Function Get(const char* name) const {
    return reinterpret_cast<Function>(Symbol(name));
  }

 private:
  void* handle_;
};

// The absolute path of the running program, to find files installed next to it; empty when the
// system cannot tell.
std::string ProgramPath();

// The absolute path of the loaded file (program or shared library) that holds `address`, to
// find files installed next to a library; empty when the loader cannot tell.
std::string PathOfLoadedFile(const void* address);

}  // namespace varlo::platform

#endif  // VARLO_PLATFORM_DYNLIB_SHARED_LIBRARY_H_
