// The module's one set of tokens.
//
// For now the list holds no tokens: it is created and started by ModuleInitialize and destroyed
// by ModuleUnload, so that the module's life cycle is in place before cards, tokens and the
// local service arrive.
#ifndef VARLO_TOKEN_TOKEN_LIST_H_
#define VARLO_TOKEN_TOKEN_LIST_H_

#include "token/token.h"

namespace varlo {

class TokenList {
 public:
  explicit TokenList(EventRelay eventRelay);
  ~TokenList();
  TokenList(const TokenList&) = delete;
  TokenList& operator=(const TokenList&) = delete;

  void StartMonitoring();

 private:
  EventRelay eventRelay_;
};

}  // namespace varlo

#endif  // VARLO_TOKEN_TOKEN_LIST_H_
