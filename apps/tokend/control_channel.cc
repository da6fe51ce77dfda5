#include "apps/tokend/control_channel.h"

#include <span>

#include "common/utf.h"

namespace varlo::tokend {
namespace {

// Far above any list the service can send; only a runaway peer reaches it.
constexpr std::size_t kMaxReply = std::size_t{256} << 20;

std::span<const std::uint8_t> Bytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

std::string ConnectFailure(const std::string& socketPath, unsigned long error) {
  switch (error) {
    case platform::kErrorFileNotFound:
      return "the service is not running (nothing listens at " + socketPath + ")";
    case platform::kErrorAccessDenied:
      return "no access to " + socketPath + " (only root and the service's user may control it)";
    default:
      return "cannot connect to " + socketPath + " (error " + std::to_string(error) + ")";
  }
}

}  // namespace

ControlReply SendControlRequest(const std::string& socketPath, std::string_view request) {
  ControlReply reply;
  const platform::PipeOpenResult opened = platform::OpenPipe(Utf8ToUtf16(socketPath));
  if (opened.error != 0) {
    reply.error = ConnectFailure(socketPath, opened.error);
    return reply;
  }
  platform::PipeConnection connection(opened.handle);
  const std::string line = std::string(request) + "\n";
  if (!connection.WriteAll(Bytes(line), kControlTimeout)) {
    reply.error = "the service did not take the request";
    return reply;
  }
  std::string text;
  std::uint8_t buffer[4096];
  for (;;) {
    const auto n = connection.ReadSome(buffer, kControlTimeout);
    if (!n) {
      reply.error = "the service did not answer in time";
      return reply;
    }
    if (*n == 0)
      break;  // the service closes the connection after its reply
    text.append(reinterpret_cast<const char*>(buffer), *n);
    if (text.size() > kMaxReply) {
      reply.error = "the service's reply is too long";
      return reply;
    }
  }
  // The last line is the status; the lines before it are the output.
  if (text.empty() || text.back() != '\n') {
    reply.error = "the service's reply was cut short";
    return reply;
  }
  const std::size_t lastStart = text.rfind('\n', text.size() - 2);
  const std::size_t statusStart = lastStart == std::string::npos ? 0 : lastStart + 1;
  const std::string status = text.substr(statusStart, text.size() - 1 - statusStart);
  reply.output = text.substr(0, statusStart);
  if (status == "ok") {
    reply.ok = true;
  } else if (status.rfind("error ", 0) == 0) {
    reply.error = status.substr(6);
  } else {
    reply.error = "unexpected reply: " + status;
  }
  return reply;
}

std::optional<std::string> ReadControlRequest(platform::PipeConnection& connection) {
  std::string line;
  const auto deadline = std::chrono::steady_clock::now() + kControlTimeout;
  char byte = 0;
  while (line.size() < kMaxControlRequest) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 ||
        !connection.ReadExactly({reinterpret_cast<std::uint8_t*>(&byte), 1}, left)) {
      return std::nullopt;
    }
    if (byte == '\n')
      return line;
    line.push_back(byte);
  }
  return std::nullopt;
}

bool WriteControlReply(platform::PipeConnection& connection, const ControlReply& reply) {
  const std::string text =
      reply.output + (reply.ok ? std::string("ok\n") : "error " + reply.error + "\n");
  return connection.WriteAll(Bytes(text), kControlTimeout);
}

}  // namespace varlo::tokend
