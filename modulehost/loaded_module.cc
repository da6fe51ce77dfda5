#include "modulehost/loaded_module.h"

#include "modulehost/results.h"

namespace varlo::host {
namespace {

platform::SharedLibrary Load(const std::string& path) {
  try {
    return platform::SharedLibrary(path);
  } catch (const std::exception& e) {
    throw CommandError(ExitCode::kModuleUnavailable,
                       "cannot load the module: " + std::string(e.what()));
  }
}

}  // namespace

Module::Module() {
  data_.apiVersion = MODULE_API_VERSION;
  data_.structVersion = 2;
  data_.pfnEventCallback.invoke = &Module::OnEvent;
  data_.pfnEventCallback.context = this;
  data_.pfnEventCallback.targetHandle = reinterpret_cast<std::uint64_t>(&Module::OnEvent);
}

void Module::OnEvent(void* context, std::uint64_t) {
  auto* self = static_cast<Module*>(context);
  {
    std::lock_guard lock(self->mutex_);
    ++self->events_;
  }
  self->changed_.notify_all();
}

int Module::Events() {
  std::lock_guard lock(mutex_);
  return events_;
}

int Module::WaitForEvent(int seen) {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [&] { return events_ > seen || interrupted_; });
  return events_;
}

void Module::Interrupt() {
  {
    std::lock_guard lock(mutex_);
    interrupted_ = true;
  }
  changed_.notify_all();
}

bool Module::Interrupted() {
  std::lock_guard lock(mutex_);
  return interrupted_;
}

LoadedModule::LoadedModule(const std::string& path, const std::u16string& registryKey)
    : library_(Load(path)) {
  auto initialize = library_.Get<ModuleInitializeFn>(MODULE_INITIALIZE_SYMBOL);
  if (initialize == nullptr) {
    throw CommandError(ExitCode::kModuleUnavailable,
                       "cannot load the module: " + path + " exports no ModuleInitialize");
  }
  const ModuleResult code = initialize(
      registryKey.empty() ? nullptr : reinterpret_cast<const std::uint16_t*>(registryKey.data()),
      static_cast<std::uint32_t>(registryKey.size()), &Data());
  if (code != RESULT_SUCCESS) {
    throw CommandError(ExitCode::kModuleUnavailable,
                       "cannot initialize the module: ModuleInitialize: " + ResultText(code));
  }
}

LoadedModule::~LoadedModule() {
  Data().ModuleUnload();
}

}  // namespace varlo::host
