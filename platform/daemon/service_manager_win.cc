#include "platform/daemon/service_manager.h"

namespace varlo::platform {

// Windows has no readiness protocol for console programs: the reports go nowhere.
bool NotifyServiceManager(std::string_view /*state*/) {
  return false;
}

}  // namespace varlo::platform
