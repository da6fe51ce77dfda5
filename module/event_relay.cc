#include "module/event_relay.h"

#include "log/logger.h"

namespace varlo {

EventRelay MakeEventRelay(const ModuleData* moduleData) {
  return [moduleData] {
    const ModuleEventCallback& callback = moduleData->pfnEventCallback;
    if (callback.targetHandle != 0 && callback.invoke != nullptr) {
      callback.invoke(callback.context, 0);
    }
    LogInfo("Callback") << "CALLBACK - Token add or remove event.";
  };
}

}  // namespace varlo
