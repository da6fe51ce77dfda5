// The event relay: the callable each token calls when it is created and when it is released.
#ifndef VARLO_MODULE_EVENT_RELAY_H_
#define VARLO_MODULE_EVENT_RELAY_H_

#include "include/varlo_module.h"
#include "token/token_list.h"

namespace varlo {

// A relay that calls the host's callback in `moduleData` with a zero argument, then logs
// "CALLBACK - Token add or remove event.". The host's structure must outlive the relay.
EventRelay MakeEventRelay(const ModuleData* moduleData);

}  // namespace varlo

#endif  // VARLO_MODULE_EVENT_RELAY_H_
