// The frame every implemented table operation runs in.
//
// RunLocked: entry trace under the operation's name, the module lock, the "Module not
// initialized." check; then the operation's own argument checks and body. Guarded: the body's
// exception handler, turning a ModuleException into its code and anything else into
// RESULT_FAILURE, each logged in context "ModuleAPI". Nothing leaves the frame as an exception.
#ifndef VARLO_MODULE_OPERATION_FRAME_H_
#define VARLO_MODULE_OPERATION_FRAME_H_

#include <exception>
#include <mutex>

#include "common/module_exception.h"
#include "log/logger.h"
#include "module/module_state.h"

namespace varlo {

template <typename Body>
ResultCode Guarded(const char* operation, Body&& body) noexcept {
  try {
    return body();
  } catch (const ModuleException& e) {
    LogError("ModuleAPI") << operation << " " << e.what();
    return e.Code();
  } catch (...) {
    LogError("ModuleAPI") << operation << " "
                          << "Unhandled exception!";
    return RESULT_FAILURE;
  }
}

inline ResultCode NotInitialized(const char* operation) {
  LogFatal("ModuleAPI") << operation << " "
                        << "Module not initialized.";
  return RESULT_WRONG_STATE;
}

// `body` receives the token list and returns the result; it does its argument checks first and
// wraps its work in Guarded.
template <typename Body>
ResultCode RunLocked(const char* operation, Body&& body) noexcept {
  return Guarded(operation, [&]() -> ResultCode {
    TraceScope trace(operation);
    ModuleState& module = TheModule();
    std::lock_guard lock(module.lock);
    if (!module.tokenList)
      return NotInitialized(operation);
    return body(*module.tokenList);
  });
}

// The Free operations release memory the module handed out; they take no lock.
template <typename Body>
ResultCode RunUnlocked(const char* operation, Body&& body) noexcept {
  return Guarded(operation, [&]() -> ResultCode {
    TraceScope trace(operation);
    if (!TheModule().initialized)
      return NotInitialized(operation);
    return body();
  });
}

}  // namespace varlo

#endif  // VARLO_MODULE_OPERATION_FRAME_H_
