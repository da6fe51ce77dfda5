// varlo-tokend's service: keeps tokens for the modules of every user of the machine.
//
// It listens on the module pipe `<pipe folder>/{969D51FF-A05A-4534-932D-014340F25540}` and
// serves each module connection in a ModuleSession of its own, up to a number of connections;
// one more is closed at once. A connection is admitted on the kernel's word about its peer:
// with an allowed group only members of it (and root and the service's own user) are served,
// and the socket file is open to that group alone (0660); without one every local user is
// (0666), since hosts run as ordinary users. Each user's tokens are kept apart in the store.
//
// Beside it the control socket (control_channel.h) serves root and the service's own user,
// whose `list`, `clear` and `remove` act on the tokens of every user; `clear` also sends the
// clear command to every connected module.
//
// Two threads accept connections, one per socket; the owner constructs, then calls Stop (or
// destroys), from one thread. A second service on the same pipe folder is refused.
#ifndef VARLO_APPS_TOKEND_TOKEN_SERVICE_H_
#define VARLO_APPS_TOKEND_TOKEN_SERVICE_H_

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "apps/tokend/control_channel.h"
#include "apps/tokend/module_session.h"
#include "apps/tokend/service_log.h"
#include "apps/tokend/token_store.h"
#include "platform/daemon/files.h"
#include "platform/pipe/pipe_listener.h"

namespace varlo::tokend {

struct ServiceSettings {
  std::string pipeDirectory;
  std::string storePath;
  std::optional<std::string> allowGroup;  // none: every user
  std::size_t maxClients = 64;
  std::chrono::milliseconds handshakeTimeout{30000};
};

class TokenService {
 public:
  // Prepares the folders and the store and starts listening. Throws std::exception, with a
  // reason for the administrator, when any of it fails.
  TokenService(const ServiceSettings& settings, ServiceLog& log);
  ~TokenService();
  TokenService(const TokenService&) = delete;
  TokenService& operator=(const TokenService&) = delete;

  // Stops accepting, closes every module connection and joins every thread. Idempotent.
  void Stop();

 private:
  void AcceptModules();
  void AcceptControl();
  void Admit(platform::PipeConnection connection);
  // Joins and forgets the sessions that have ended; call with sessionsMutex_ held.
  void ReapFinished();
  // Waits `pause` or until Stop; after a failure to accept, which would otherwise repeat at once.
  void BackOff(std::chrono::milliseconds pause);
  ControlReply Control(const std::string& request);
  ControlReply List();
  ControlReply Clear();

  const ServiceSettings settings_;
  ServiceLog& log_;
  const std::uint32_t owner_;
  std::optional<std::uint32_t> allowedGroup_;
  std::unique_ptr<platform::FileLock> instanceLock_;
  std::unique_ptr<TokenStore> store_;
  std::unique_ptr<platform::PipeListener> moduleListener_;
  std::unique_ptr<platform::PipeListener> controlListener_;

  std::mutex sessionsMutex_;
  std::list<std::unique_ptr<ModuleSession>> sessions_;
  std::uint64_t nextSessionId_ = 1;

  std::mutex stopMutex_;
  std::condition_variable stopWake_;
  bool stopping_ = false;

  std::thread moduleAcceptor_;
  std::thread controlAcceptor_;
};

}  // namespace varlo::tokend

#endif  // VARLO_APPS_TOKEND_TOKEN_SERVICE_H_
