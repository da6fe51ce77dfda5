// Placeholder while the connection is being built: never connected.
#include "localservice/local_service_connection.h"

#include <stdexcept>

#include "ravcore/thread_pool.h"

namespace varlo {

LocalServiceConnection::LocalServiceConnection(ClearCallback onClear)
    : LocalServiceConnection(std::move(onClear), Timing{}) {}

LocalServiceConnection::LocalServiceConnection(ClearCallback onClear, Timing timing,
                                               std::u16string pipeName)
    : clearCallback_(std::move(onClear)), timing_(timing), pipeName_(std::move(pipeName)) {}

LocalServiceConnection::~LocalServiceConnection() = default;

bool LocalServiceConnection::WaitUntilConnected(std::chrono::milliseconds) {
  return false;
}

void LocalServiceConnection::StoreToken(const DesfireData&) {}

void LocalServiceConnection::RemoveToken(std::uint64_t) {}

std::vector<DesfireData> LocalServiceConnection::RequestStoredTokens() {
  throw std::runtime_error("No pipe connection.");
}

}  // namespace varlo
