// Shared pieces of the tests that run over real Unix domain sockets: a private socket
// directory with a listening "service", and waiting for a condition with a deadline.
#ifndef RAVCORE_NETWORK_PIPE_TEST_UTIL_H_
#define RAVCORE_NETWORK_PIPE_TEST_UTIL_H_

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "platform/pipe/pipe_listener.h"

namespace ravcore::network::testing_util {

inline std::u16string ToU16(const std::string& text) {
  return {text.begin(), text.end()};
}

// Polls `condition` until it holds or `timeout` passes; returns its last value.
template <typename Condition>
bool WaitUntil(Condition condition, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline)
      return false;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return true;
}

// A listening socket in a private directory, named by its absolute path.
struct TestService {
  explicit TestService(int backlog = 4)
      : path(directory.Path() + "/service"), name(ToU16(path)), listener(path, backlog) {}

  varlo::platform::TemporaryPipeDirectory directory;
  std::string path;
  std::u16string name;
  varlo::platform::PipeListener listener;
};

inline std::vector<std::uint8_t> Record(const std::vector<std::uint8_t>& body) {
  const auto n = static_cast<std::uint32_t>(body.size());
  std::vector<std::uint8_t> record = {
      static_cast<std::uint8_t>(n), static_cast<std::uint8_t>(n >> 8),
      static_cast<std::uint8_t>(n >> 16), static_cast<std::uint8_t>(n >> 24)};
  record.insert(record.end(), body.begin(), body.end());
  return record;
}

// Reads one record from the service's side of a connection; false on time-out.
inline bool ReadRecord(varlo::platform::PipeConnection& connection, std::vector<std::uint8_t>& body,
                       std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
  std::uint8_t header[4];
  if (!connection.ReadExactly(header, timeout))
    return false;
  const std::uint32_t n =
      header[0] | header[1] << 8 | header[2] << 16 | static_cast<std::uint32_t>(header[3]) << 24;
  body.assign(n, 0);
  return connection.ReadExactly(body, timeout);
}

}  // namespace ravcore::network::testing_util

#endif  // RAVCORE_NETWORK_PIPE_TEST_UTIL_H_
