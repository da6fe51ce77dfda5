// The module's end of the service pipe, for tests: the module's message stack (pipe stream,
// records, Noise as responder, splitting frames, polling) and the requests of the local service
// protocol, without the module around it.
//
// The constructor connects and runs the handshake; requests may be sent from any thread.
// Replies and clear commands arrive on the polling thread and wait in the client until asked
// for. Besides the protocol's requests a test can send any message, or a message right above
// the Noise layer (past the splitting frames), to see how the service takes it.
#ifndef VARLO_TESTS_SERVICE_MODULE_CLIENT_H_
#define VARLO_TESTS_SERVICE_MODULE_CLIENT_H_

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/secure_bytes.h"
#include "localservice/service_protocol.h"

namespace ravcore::network {
class PipeStream;
}
namespace ravcore::network::mbc {
class IStack;
class NoiseWrapper;
}  // namespace ravcore::network::mbc

namespace varlo::testservice {

struct StoredRecord {
  std::uint64_t uid = 0;
  std::string json;
  bool operator==(const StoredRecord&) const = default;
};

class ModuleClient {
 public:
  // Connects to `pipeName` (a `\\.\pipe\` name or a socket path) with the module's pre-shared
  // key, or with `key` in its place. Throws what the connection or the handshake threw.
  explicit ModuleClient(const std::u16string& pipeName,
                        std::optional<SecureBytes> key = std::nullopt);
  ~ModuleClient();
  ModuleClient(const ModuleClient&) = delete;
  ModuleClient& operator=(const ModuleClient&) = delete;

  void Store(std::uint64_t uid, std::string_view json);
  void Remove(std::uint64_t uid);
  // Sends a get-all request and returns its whole reply (header included). Throws
  // std::runtime_error when none comes within `timeout` or the connection ends first.
  SecureBytes RequestAll(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // The same, as records in the order of the reply.
  std::vector<StoredRecord> GetAll(std::chrono::milliseconds timeout = std::chrono::seconds(10));

  // Sends `message` as it is through the whole stack.
  void Send(std::span<const std::uint8_t> message);
  // Sends `message` right above the Noise layer, as if it were a splitting frame.
  void SendBelowFrames(std::span<const std::uint8_t> message);

  // Waits for the next clear command; false when none came in time.
  bool WaitForClear(std::chrono::milliseconds timeout);
  // Waits until the connection has ended (the service closed it); false if it still stands.
  bool WaitForDisconnect(std::chrono::milliseconds timeout);

 private:
  std::shared_ptr<ravcore::network::PipeStream> stream_;
  std::shared_ptr<ravcore::network::mbc::NoiseWrapper> noise_;

  std::mutex mutex_;
  std::condition_variable arrived_;
  std::deque<SecureBytes> replies_;
  std::size_t clears_ = 0;
  bool disconnected_ = false;
  std::uint32_t nextTaskId_ = 1;

  std::unique_ptr<ravcore::network::mbc::IStack> stack_;  // last: its thread goes first
};

}  // namespace varlo::testservice

#endif  // VARLO_TESTS_SERVICE_MODULE_CLIENT_H_
