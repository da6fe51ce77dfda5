// A module the host has initialized: its ModuleData (the operation table) and the events it
// reports through the callback set in that ModuleData.
//
// `Module` holds the table and counts events; `LoadedModule` loads the library, calls
// ModuleInitialize and calls ModuleUnload when it goes. The module calls the callback from its
// own threads and from inside ModuleInitialize and ModuleUnload, sometimes with its token lock
// held: the callback only counts and wakes waiters, and never calls back into the module.
#ifndef VARLO_MODULEHOST_LOADED_MODULE_H_
#define VARLO_MODULEHOST_LOADED_MODULE_H_

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

#include "include/varlo_module.h"
#include "platform/dynlib/shared_library.h"

namespace varlo::host {

class Module {
 public:
  // A ModuleData asking for interface version 2 and both table generations, with the callback
  // pointing at this object.
  Module();
  virtual ~Module() = default;
  Module(const Module&) = delete;
  Module& operator=(const Module&) = delete;

  ModuleData& Data() { return data_; }

  // The number of events so far.
  int Events();
  // Waits until more than `seen` events have arrived or Interrupt is called; returns the number
  // of events so far.
  int WaitForEvent(int seen);
  // Ends every wait, now and later.
  void Interrupt();
  bool Interrupted();

 private:
  static void OnEvent(void* context, std::uint64_t argument);

  ModuleData data_{};
  std::mutex mutex_;
  std::condition_variable changed_;
  int events_ = 0;
  bool interrupted_ = false;
};

class LoadedModule : public Module {
 public:
  // Loads the library at `path` (a bare file name: the loader's search) and initializes it with
  // `registryKey` (empty: none). Throws CommandError with ExitCode::kModuleUnavailable.
  LoadedModule(const std::string& path, const std::u16string& registryKey);
  // Unloads the module: its threads are joined before the library goes.
  ~LoadedModule() override;

 private:
  platform::SharedLibrary library_;
};

}  // namespace varlo::host

#endif  // VARLO_MODULEHOST_LOADED_MODULE_H_
