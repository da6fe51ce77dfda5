// What the token list needs of the local token service: the link that keeps tokens after their
// card has left the reader and across restarts of the host.
//
// `LocalServiceConnection` is the real link over the encrypted pipe; tests of the token list
// put a fake in its place. All methods may be called from any thread.
#ifndef VARLO_LOCALSERVICE_LOCAL_SERVICE_H_
#define VARLO_LOCALSERVICE_LOCAL_SERVICE_H_

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "tokendata/desfire_data.h"

namespace varlo {

class ILocalService {
 public:
  virtual ~ILocalService() = default;

  // True while a connection to the service is up.
  virtual bool IsConnected() const = 0;
  // Waits until the connection is up or `timeout` has passed (or shutdown began); returns
  // IsConnected(). Ends as soon as the connection is made.
  virtual bool WaitUntilConnected(std::chrono::milliseconds timeout) = 0;

  // Sends a token to be kept; does not wait for the service; logs its failures, never throws.
  virtual void StoreToken(const DesfireData& data) = 0;
  // Asks the service to forget the token of `uid`; as StoreToken.
  virtual void RemoveToken(std::uint64_t uid) = 0;
  // Begins shutdown: waits and writes in progress end at once and later requests fail, so a
  // thread that is using the link can be joined without waiting for the service. Idempotent;
  // the destructor does it too.
  virtual void Shutdown() {}
  // The tokens the service keeps, in the order it sent them. Throws std::exception on every
  // failure ("No pipe connection." when not connected).
  virtual std::vector<DesfireData> RequestStoredTokens() = 0;
};

// Called (on a thread of the link's own) when the service orders every token dropped.
using ClearCallback = std::function<void()>;

}  // namespace varlo

#endif  // VARLO_LOCALSERVICE_LOCAL_SERVICE_H_
