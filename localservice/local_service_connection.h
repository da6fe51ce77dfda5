// The module's client of the local token service.
//
// The connection opens the service's pipe, builds the message stack over it (records, Noise as
// responder, splitting frames, polling) and offers the token list three requests: store a
// token, remove a token, and fetch every stored token. The service may also send its clear
// command, which goes to the clear callback. Requests carry a random task id; the service's
// reply echoes it. Replies are handled on the connection's own pool of three threads, which
// also runs the connection attempts, and a caller waiting for its reply is woken as soon as the
// reply has been handled.
//
// Attempts: the constructor starts the first one at once. An attempt waits for the pipe (every
// 100 ms), runs the handshake (at most 30 s) and installs the new stack; only an attempt that
// ended without a pipe error counts as connected. A failed attempt is logged and followed by
// another after a pause; a pipe error of the connected stack starts a new attempt. At most one
// attempt runs or waits at any time.
//
// Shutdown (the destructor) sets a stop flag first: every wait of an attempt ends within one
// step, no new attempt starts, late pipe errors return at once; then the pool is joined and the
// stack released. Nothing a peer sends, and no exception of any type, leaves a thread of the
// connection. Log context "LSConnection".
#ifndef VARLO_LOCALSERVICE_LOCAL_SERVICE_CONNECTION_H_
#define VARLO_LOCALSERVICE_LOCAL_SERVICE_CONNECTION_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <cryptopp/osrng.h>

#include "common/secure_bytes.h"
#include "localservice/local_service.h"
#include "localservice/service_protocol.h"

namespace ravcore {
class ThreadPool;
}
namespace ravcore::network {
class PipeStream;
}
namespace ravcore::network::mbc {
class IStack;
class Message;
class NoiseWrapper;
class PollingWrapper;
}  // namespace ravcore::network::mbc

namespace varlo {

class LocalServiceConnection : public ILocalService {
 public:
  // The designed waits; tests shorten them.
  struct Timing {
    std::chrono::milliseconds replyTimeout{5000};  // a request's wait for its reply
    std::chrono::milliseconds retryInterval{100};  // between tries to open the pipe
    std::chrono::milliseconds handshakeTimeout{30000};
    std::chrono::milliseconds failedAttemptPause{100};  // before a failed attempt is repeated
  };

  explicit LocalServiceConnection(ClearCallback onClear);
  // `pipeName`: the pipe to use (a `\\.\pipe\` name or an absolute socket path).
  LocalServiceConnection(ClearCallback onClear, Timing timing,
                         std::u16string pipeName = std::u16string(service_protocol::kPipeName));
  // Over `stack` (the layers below the service protocol, e.g. a stub) instead of the pipe:
  // connected from the start and never reconnecting; the service's messages are handed in
  // through HandleMessage. Drives the requests and replies without a pipe.
  LocalServiceConnection(ClearCallback onClear, Timing timing,
                         std::shared_ptr<ravcore::network::mbc::IStack> stack);
  ~LocalServiceConnection() override;
  LocalServiceConnection(const LocalServiceConnection&) = delete;
  LocalServiceConnection& operator=(const LocalServiceConnection&) = delete;

  bool IsConnected() const override { return connected_.load(); }
  bool WaitUntilConnected(std::chrono::milliseconds timeout) override;
  void StoreToken(const DesfireData& data) override;
  void RemoveToken(std::uint64_t uid) override;
  std::vector<DesfireData> RequestStoredTokens() override;
  void Shutdown() override;

  // Handles one decrypted message of the service on the calling thread, as each message the
  // stack delivers is handled on the pool: a reply completes the task of its id, the clear
  // command calls the clear callback, anything else is logged and dropped.
  void HandleMessage(SecureBytes message);

 private:
  struct Task {
    bool done = false;
    SecureBytes result;
  };
  using Stack = ravcore::network::mbc::IStack;

  void Connect();
  void ConnectAsync();
  // One attempt; true when it ended connected.
  bool Attempt(std::uint64_t generation);
  bool OpenPipe(const std::shared_ptr<ravcore::network::PipeStream>& stream);
  void ConfigureNoiseWrapper(std::uint64_t generation,
                             const std::shared_ptr<ravcore::network::mbc::NoiseWrapper>& wrapper);
  void ConfigurePollingWrapper(
      std::uint64_t generation,
      const std::shared_ptr<ravcore::network::mbc::PollingWrapper>& wrapper);
  // Waits `duration` or until shutdown; false when shutdown ended the wait.
  bool Pause(std::chrono::milliseconds duration);

  std::uint32_t GenerateId();
  std::uint32_t SendRequest(service_protocol::Command command,
                            std::span<const std::uint8_t> payload);
  SecureBytes WaitForResult(std::uint32_t taskId);
  void FreeTask(std::uint32_t taskId);
  void OnMessageAvailable(const ravcore::network::mbc::Message& message);
  void OnPipeError(std::uint64_t generation, unsigned long code);
  // Wakes every wait of the connection's own (connected, pauses).
  void SignalWaiters();
  // Runs `work` on the pool; a failure to queue it, or anything it throws, is logged.
  template <typename Work>
  void RunOnPool(const char* what, Work work);

  const ClearCallback clearCallback_;
  const Timing timing_;
  const std::u16string pipeName_;

  std::atomic<bool> stop_{false};
  std::atomic<bool> connected_{false};
  std::atomic<bool> attemptPending_{false};

  // The stack and its generation (one per attempt); a writer copies the pointer and writes
  // without the lock, so the stack lives until its last write has ended.
  mutable std::mutex stackMutex_;
  std::shared_ptr<Stack> stack_;
  std::shared_ptr<ravcore::network::PipeStream> attemptStream_;  // both closed on shutdown
  std::shared_ptr<ravcore::network::PipeStream> currentStream_;
  std::uint64_t generation_ = 0;        // of the attempt running or last run
  std::uint64_t failedGeneration_ = 0;  // the latest generation that saw a pipe error

  // Wakes waits for the connection and pauses; guards nothing else.
  std::mutex waitMutex_;
  std::condition_variable wake_;

  std::mutex taskMutex_;                 // the task table and the random generator
  std::condition_variable taskChanged_;  // a reply was handled, or the connection went
  std::map<std::uint32_t, Task> tasks_;
  CryptoPP::AutoSeededRandomPool random_;

  std::unique_ptr<ravcore::ThreadPool> pool_;
};

}  // namespace varlo

#endif  // VARLO_LOCALSERVICE_LOCAL_SERVICE_CONNECTION_H_
