// The control socket of varlo-tokend, through which `varlo-tokend list|clear|remove|status`
// talk to the running service.
//
// The socket is `<pipe folder>/varlo-tokend.control`, mode 0600; the service serves only root
// and its own user, whom it identifies by the kernel's peer credentials. One request per
// connection:
//   request: one line of text, at most kMaxControlRequest bytes with its newline:
//            "list", "clear", "remove <UID in hex>" or "status" (the service's pid, connected
//            modules and stored tokens, a line each);
//   reply:   any number of lines of output, then a last line "ok" or "error <reason>"; then the
//            service closes the connection.
#ifndef VARLO_APPS_TOKEND_CONTROL_CHANNEL_H_
#define VARLO_APPS_TOKEND_CONTROL_CHANNEL_H_

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "platform/pipe/pipe_listener.h"

namespace varlo::tokend {

inline constexpr std::string_view kControlSocketName = "varlo-tokend.control";
inline constexpr std::size_t kMaxControlRequest = 256;
// How long either end waits for the other to send or take a part of a request or reply.
inline constexpr std::chrono::milliseconds kControlTimeout{5000};

struct ControlReply {
  bool ok = false;
  std::string output;  // the lines before the last, each with its newline
  std::string error;   // the reason of an "error" reply, or why there was no reply
};

// The client's side: sends `request` (one line, no newline) to the control socket at
// `socketPath` and returns the reply.
ControlReply SendControlRequest(const std::string& socketPath, std::string_view request);

// The service's side: the request line without its newline; nullopt when the client sent none
// in time, sent more than kMaxControlRequest bytes, or went away.
std::optional<std::string> ReadControlRequest(platform::PipeConnection& connection);
// Sends `reply` and its last line. False when the client did not take it in time.
bool WriteControlReply(platform::PipeConnection& connection, const ControlReply& reply);

}  // namespace varlo::tokend

#endif  // VARLO_APPS_TOKEND_CONTROL_CHANNEL_H_
