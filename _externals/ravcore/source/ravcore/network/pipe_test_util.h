// Shared pieces of the tests that run over real Unix domain sockets: a private socket
// directory with a listening "service", records as the service sees them, failures as text,
// and waiting for a condition with a deadline.
#ifndef RAVCORE_NETWORK_PIPE_TEST_UTIL_H_
#define RAVCORE_NETWORK_PIPE_TEST_UTIL_H_

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <exception>
#include <string>
#include <thread>
#include <vector>

#include "platform/pipe/pipe_listener.h"
#include "ravcore/network/mbc/message.h"
#include "ravcore/network/network_exception.h"

namespace ravcore::network::testing_util {

using Bytes = std::vector<std::uint8_t>;

inline std::u16string ToU16(const std::string& text) {
  return {text.begin(), text.end()};
}

// n bytes that differ from message to message (by variant) and along the message.
inline Bytes Pattern(std::size_t n, std::uint32_t variant = 0) {
  Bytes bytes(n);
  std::uint32_t x = variant * 2654435761u + 1;
  for (auto& b : bytes) {
    x = x * 1664525u + 1013904223u;
    b = static_cast<std::uint8_t>(x >> 24);
  }
  return bytes;
}

inline Bytes ToBytes(const mbc::Message& message) {
  return Bytes(message.Bytes().begin(), message.Bytes().end());
}

// "text (code)" for a NetworkException, "text" for another std::exception, "noise: text" for
// the Noise framework's C strings. Call it where the exception is current or held.
inline std::string Describe(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const NetworkException& e) {
    return std::string(e.what()) + " (" + std::to_string(e.GetSystemErrorCode()) + ")";
  } catch (const std::exception& e) {
    return e.what();
  } catch (const char* text) {
    return std::string("noise: ") + text;
  } catch (...) {
    return "unknown";
  }
}

// What `call` threw, described as above; "" when it returned.
template <typename Call>
std::string Failure(Call call) {
  try {
    call();
  } catch (...) {
    return Describe(std::current_exception());
  }
  return "";
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

inline Bytes Record(const Bytes& body) {
  const auto n = static_cast<std::uint32_t>(body.size());
  Bytes record(4 + body.size());
  for (int i = 0; i < 4; ++i)
    record[i] = static_cast<std::uint8_t>(n >> (8 * i));
  std::copy(body.begin(), body.end(), record.begin() + 4);
  return record;
}

// Reads `count` records from the service's side of a connection (fewer on time-out).
inline std::vector<Bytes> ReadRecords(varlo::platform::PipeConnection& connection,
                                      std::size_t count) {
  std::vector<Bytes> records;
  std::uint8_t header[4];
  while (records.size() < count && connection.ReadExactly(header, std::chrono::seconds(10))) {
    Bytes& body = records.emplace_back(header[0] | header[1] << 8 | header[2] << 16 |
                                       static_cast<std::uint32_t>(header[3]) << 24);
    if (!connection.ReadExactly(body, std::chrono::seconds(10)))
      break;
  }
  return records;
}

}  // namespace ravcore::network::testing_util

#endif  // RAVCORE_NETWORK_PIPE_TEST_UTIL_H_
