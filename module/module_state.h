// The module-wide state: the one token list and the locks around it.
//
// The module counts as initialized exactly while the token list exists. The module lock
// serialises the host's calls; the token list is read and replaced only under it, and is never
// destroyed under it (teardown joins threads whose host callbacks may call in). The life-cycle
// lock, taken before the module lock, is held by ModuleInitialize and ModuleUnload for their
// whole run, so that an initialize waits until an unload's teardown has finished.
#ifndef VARLO_MODULE_MODULE_STATE_H_
#define VARLO_MODULE_MODULE_STATE_H_

#include <functional>
#include <memory>
#include <mutex>

#include "token/token_list.h"

namespace varlo {

struct ModuleState {
  std::mutex lifecycle;
  std::mutex lock;
  std::unique_ptr<TokenList> tokenList;
  // How ModuleInitialize makes the list: with its default parts. Tests put in lists built on
  // fake parts; set it only while the module is not initialized.
  std::function<std::unique_ptr<TokenList>(EventRelay)> makeTokenList = [](EventRelay relay) {
    return std::make_unique<TokenList>(std::move(relay));
  };
};

ModuleState& TheModule();

}  // namespace varlo

#endif  // VARLO_MODULE_MODULE_STATE_H_
