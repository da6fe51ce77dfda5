// The module-wide state: the one token list and the lock that serialises the host's calls.
//
// The module counts as initialized exactly while the token list exists. The token list is read
// and replaced only under the module lock; the Free operations, which take no lock, look only at
// the atomic flag.
#ifndef VARLO_MODULE_MODULE_STATE_H_
#define VARLO_MODULE_MODULE_STATE_H_

#include <atomic>
#include <memory>
#include <mutex>

#include "token/token_list.h"

namespace varlo {

struct ModuleState {
  std::mutex lock;
  std::unique_ptr<TokenList> tokenList;
  std::atomic<bool> initialized{false};

  // Destroys the token list (its tokens are released, each raising an event) and marks the
  // module uninitialized. Call with the lock held.
  void DestroyTokenList() {
    tokenList.reset();
    initialized = false;
  }
};

ModuleState& TheModule();

}  // namespace varlo

#endif  // VARLO_MODULE_MODULE_STATE_H_
