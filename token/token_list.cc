#include "token/token_list.h"

#include "log/logger.h"

namespace varlo {

TokenList::TokenList(EventRelay eventRelay) : eventRelay_(std::move(eventRelay)) {
  TraceScope trace("TokenList::TokenList");
}

TokenList::~TokenList() {
  TraceScope trace("TokenList::~TokenList");
}

void TokenList::StartMonitoring() {
  TraceScope trace("TokenList::StartMonitoring");
}

}  // namespace varlo
