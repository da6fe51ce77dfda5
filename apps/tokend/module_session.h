// One module's connection to the service: the service's end of the encrypted message stack
// (pipe stream, records, Noise as initiator, length guard, splitting frames, polling) and the
// requests that arrive on it, for the user the kernel says is at the other end.
//
// Threads: the session's own thread builds the stack (the handshake runs there, bounded by the
// handshake time-out), then sends the clear command whenever asked and otherwise waits for the
// end; the polling thread of the stack reads the requests and answers them; the pipe stream
// has its own thread for the socket. Whatever ends the connection (the module going away, a
// failed handshake, a message that breaks the protocol, any exception of any type, or Stop)
// is logged once and ends this session only.
//
// The owner calls Start once, may call SendClear and Stop from any thread, and calls Join
// (from a thread that is none of the session's) before destroying it.
#ifndef VARLO_APPS_TOKEND_MODULE_SESSION_H_
#define VARLO_APPS_TOKEND_MODULE_SESSION_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "apps/tokend/service_log.h"
#include "apps/tokend/token_store.h"
#include "platform/pipe/peer_credentials.h"
#include "platform/pipe/pipe_listener.h"

namespace ravcore::network {
class PipeStream;
}
namespace ravcore::network::mbc {
class IStack;
}

namespace varlo::tokend {

// How a session ended, for the log.
struct SessionEnding {
  bool clean = false;  // the module went away, or the service closed the connection
  std::string text;
};

class ModuleSession {
 public:
  ModuleSession(std::uint64_t id, platform::PeerCredentials peer,
                platform::PipeConnection connection, TokenStore& store, ServiceLog& log,
                std::chrono::milliseconds handshakeTimeout);
  ~ModuleSession();
  ModuleSession(const ModuleSession&) = delete;
  ModuleSession& operator=(const ModuleSession&) = delete;

  void Start();
  // Has the clear command sent to the module (after the handshake, if it is still running).
  void SendClear();
  // Ends the connection; returns at once.
  void Stop();
  // Waits for the session's thread to end.
  void Join();
  // True once the connection has ended and every thread but the session's own is gone.
  bool Finished() const { return finished_.load(); }

 private:
  void Run();
  // Builds the stack into `stack` (the handshake runs here) and sends clear commands until the
  // connection ends; what ended it.
  SessionEnding Serve(const std::shared_ptr<ravcore::network::PipeStream>& stream,
                      std::unique_ptr<ravcore::network::mbc::IStack>& stack, bool& handshakeDone);
  std::string Describe() const;

  const std::uint64_t id_;
  const platform::PeerCredentials peer_;
  platform::PipeConnection connection_;  // until the session's thread adopts it
  TokenStore& store_;
  ServiceLog& log_;
  const std::chrono::milliseconds handshakeTimeout_;

  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  bool clearPending_ = false;
  bool failed_ = false;    // the polling thread has ended ...
  SessionEnding failure_;  // ... for this reason
  std::shared_ptr<ravcore::network::PipeStream> stream_;

  std::atomic<bool> finished_{false};
  std::thread thread_;
};

}  // namespace varlo::tokend

#endif  // VARLO_APPS_TOKEND_MODULE_SESSION_H_
