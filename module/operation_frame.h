// The frame every implemented table operation runs in.
//
// RunLocked: entry trace under the operation's name, the module lock, the "Module not
// initialized." check; then the operation's body (its own argument checks first) inside a
// handler that turns a ModuleException into its code and anything else into RESULT_FAILURE,
// each logged in context "ModuleAPI". The token a body looks up is held by the frame and
// dropped only after the module lock is released: when the body held its last reference, its
// remove event reaches the host without the lock held. RunUnlocked, for the Free operations:
// trace and handler only, whatever the module's state. Nothing leaves a frame as an exception.
#ifndef VARLO_MODULE_OPERATION_FRAME_H_
#define VARLO_MODULE_OPERATION_FRAME_H_

#include <memory>
#include <mutex>

#include "common/module_exception.h"
#include "log/logger.h"
#include "module/module_state.h"

namespace varlo {

// What an operation's body works with.
class OperationScope {
 public:
  OperationScope(TokenList& list, std::shared_ptr<Token>& holder) : list_(list), holder_(holder) {}

  TokenList& List() { return list_; }
  // The token of the host's session id record (TokenList::GetToken), held by the frame.
  Token& FindToken(const ModuleSessionId* sessionId) {
    holder_ = list_.GetToken(sessionId);
    return *holder_;
  }

 private:
  TokenList& list_;
  std::shared_ptr<Token>& holder_;
};

template <typename Body>
ResultCode Guarded(const char* operation, Body&& body) {
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

template <typename Body>
ResultCode RunLocked(const char* operation, Body&& body) noexcept {
  try {
    TraceScope trace(operation);
    std::shared_ptr<Token> token;  // outlives the lock guard below
    ModuleState& module = TheModule();
    std::lock_guard lock(module.lock);
    if (!module.tokenList) {
      LogFatal("ModuleAPI") << operation << " "
                            << "Module not initialized.";
      return RESULT_WRONG_STATE;
    }
    OperationScope scope(*module.tokenList, token);
    return Guarded(operation, [&] { return body(scope); });
  } catch (...) {
    return RESULT_FAILURE;  // the frame itself failed (trace, lock or log)
  }
}

// The Free operations release memory the module handed out, in any state, without the lock.
template <typename Body>
ResultCode RunUnlocked(const char* operation, Body&& body) noexcept {
  try {
    TraceScope trace(operation);
    return Guarded(operation, body);
  } catch (...) {
    return RESULT_FAILURE;
  }
}

}  // namespace varlo

#endif  // VARLO_MODULE_OPERATION_FRAME_H_
