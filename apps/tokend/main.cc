// varlo-tokend: the local token service, and the commands that control it.
//
//   varlo-tokend [--foreground] [--store FILE] [--allow-group NAME] [--max-clients N]
//                [--handshake-timeout-ms MS]
//       runs the service until SIGTERM or SIGINT;
//   varlo-tokend list | clear | remove UID | status
//       asks the running service through its control socket.
// $VARLO_PIPE_DIR (default /run/varlo) names the folder of the service's sockets for both.
#include <CLI/CLI.hpp>

#include <iostream>
#include <string>

#include "apps/tokend/control_channel.h"
#include "apps/tokend/service_log.h"
#include "apps/tokend/token_service.h"
#include "platform/daemon/service_manager.h"
#include "platform/pipe/pipe_client.h"
#include "platform/signal/stop_signal.h"

namespace {

using namespace varlo;

int RunService(const tokend::ServiceSettings& settings, bool foreground) {
  // Before any thread starts, so that every thread leaves the two signals to Wait.
  StopSignal stopSignal;
  tokend::ServiceLog log(std::cerr, foreground ? tokend::ServiceLog::Style::Terminal
                                               : tokend::ServiceLog::Style::Journal);
  try {
    tokend::TokenService service(settings, log);
    platform::NotifyServiceManager("READY=1");
    const int signal = stopSignal.Wait();
    log.Info("stopping on signal " + std::to_string(signal));
    platform::NotifyServiceManager("STOPPING=1");
    service.Stop();
    return 0;
  } catch (const std::exception& error) {
    log.Error(std::string("cannot run: ") + error.what());
    return 1;
  }
}

int RunControl(const std::string& request) {
  const std::string socket =
      platform::PipeDirectory() + "/" + std::string(tokend::kControlSocketName);
  const tokend::ControlReply reply = tokend::SendControlRequest(socket, request);
  std::cout << reply.output << std::flush;
  if (!reply.ok) {
    std::cerr << "varlo-tokend: " << reply.error << std::endl;
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "The local token service: keeps the tokens of the module's hosts, apart per user, and "
      "serves them over the module's encrypted pipe in $VARLO_PIPE_DIR (default /run/varlo). "
      "Without a command it runs the service until SIGTERM or SIGINT; the commands ask the "
      "running service (as root or as the service's user)."};
  // Options start with "-" on every platform: CLI11 on Windows would also take "/name" for one,
  // and with it an absolute path such as "/tmp/image.json".
  app.allow_windows_style_options(false);
  tokend::ServiceSettings settings;
  settings.pipeDirectory = platform::PipeDirectory();
  settings.storePath = "/var/lib/varlo/tokens.db";
  bool foreground = false;
  long long handshakeTimeoutMs = settings.handshakeTimeout.count();
  app.add_flag("--foreground", foreground,
               "log for a terminal (time-stamped lines) instead of for the journal");
  app.add_option("--store", settings.storePath, "the token database")->capture_default_str();
  app.add_option("--allow-group", settings.allowGroup,
                 "serve only this group's members (and root); default: every user");
  app.add_option("--max-clients", settings.maxClients, "most module connections at once")
      ->capture_default_str()
      ->check(CLI::Range(1, 100000));
  app.add_option("--handshake-timeout-ms", handshakeTimeoutMs,
                 "how long a new connection may take to complete its handshake")
      ->capture_default_str()
      ->check(CLI::Range(1LL, 3600000LL));

  std::string uid;
  auto* list = app.add_subcommand("list", "print every stored token: user, UID, label");
  auto* clear = app.add_subcommand(
      "clear", "remove every stored token and tell every connected module to drop its tokens");
  auto* remove = app.add_subcommand("remove", "remove the stored token of a UID, of every user");
  remove->add_option("UID", uid, "the token's UID in hex")->required();
  auto* status = app.add_subcommand("status", "print the number of connected modules and tokens");
  app.require_subcommand(0, 1);
  CLI11_PARSE(app, argc, argv);

  if (*list)
    return RunControl("list");
  if (*clear)
    return RunControl("clear");
  if (*remove)
    return RunControl("remove " + uid);
  if (*status)
    return RunControl("status");
  settings.handshakeTimeout = std::chrono::milliseconds(handshakeTimeoutMs);
  return RunService(settings, foreground);
}
