// Reports to the service manager (systemd's notification protocol): a service started with
// Type=notify finds the socket named by $NOTIFY_SOCKET in its environment and sends lines such
// as "READY=1" there. Without that variable (started by hand) the reports go nowhere.
#ifndef VARLO_PLATFORM_DAEMON_SERVICE_MANAGER_H_
#define VARLO_PLATFORM_DAEMON_SERVICE_MANAGER_H_

#include <string_view>

namespace varlo::platform {

// Sends `state` (e.g. "READY=1", "STOPPING=1"); false when there is no service manager to tell
// or the report could not be sent.
bool NotifyServiceManager(std::string_view state);

}  // namespace varlo::platform

#endif  // VARLO_PLATFORM_DAEMON_SERVICE_MANAGER_H_
