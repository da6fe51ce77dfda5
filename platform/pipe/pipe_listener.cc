#include "platform/pipe/pipe_listener.h"

#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <utility>

#include "platform/posix/socket_io.h"

namespace varlo::platform {
namespace {

// Waits for `events` on fd until `deadline`; false on time-out.
bool WaitFor(int fd, short events, std::chrono::steady_clock::time_point deadline) {
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() < 0)
      left = std::chrono::milliseconds(0);
    pollfd entry{fd, events, 0};
    int ready = ::poll(&entry, 1, static_cast<int>(left.count()));
    if (ready > 0)
      return true;
    if (ready == 0)
      return false;
    if (errno != EINTR)
      return true;  // let the following call report the error
  }
}

}  // namespace

PipeConnection::~PipeConnection() {
  Close();
}

PipeConnection::PipeConnection(PipeConnection&& other) noexcept
    : handle_(std::exchange(other.handle_, kInvalidPipeHandle)) {}

PipeConnection& PipeConnection::operator=(PipeConnection&& other) noexcept {
  if (this != &other) {
    Close();
    handle_ = std::exchange(other.handle_, kInvalidPipeHandle);
  }
  return *this;
}

bool PipeConnection::WriteAll(std::span<const std::uint8_t> data) {
  return SendAll(static_cast<int>(handle_), data.data(), data.size());
}

std::optional<std::size_t> PipeConnection::ReadSome(std::span<std::uint8_t> buffer,
                                                    std::chrono::milliseconds timeout) {
  if (!WaitFor(static_cast<int>(handle_), POLLIN, std::chrono::steady_clock::now() + timeout)) {
    return std::nullopt;
  }
  ssize_t n;
  do {
    n = ::recv(static_cast<int>(handle_), buffer.data(), buffer.size(), 0);
  } while (n < 0 && errno == EINTR);
  return n < 0 ? 0 : static_cast<std::size_t>(n);
}

bool PipeConnection::ReadExactly(std::span<std::uint8_t> buffer,
                                 std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  std::size_t done = 0;
  while (done < buffer.size()) {
    if (!WaitFor(static_cast<int>(handle_), POLLIN, deadline))
      return false;
    ssize_t n = ::recv(static_cast<int>(handle_), buffer.data() + done, buffer.size() - done, 0);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

void PipeConnection::Close() {
  if (handle_ != kInvalidPipeHandle) {
    ::close(static_cast<int>(handle_));
    handle_ = kInvalidPipeHandle;
  }
}

PipeListener::PipeListener(const std::string& socketPath, int backlog, unsigned mode)
    : path_(socketPath) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path_.size() >= sizeof(address.sun_path)) {
    throw std::system_error(ENAMETOOLONG, std::generic_category(), "pipe path too long");
  }
  std::memcpy(address.sun_path, path_.c_str(), path_.size() + 1);
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0)
    throw std::system_error(errno, std::generic_category(), "socket");
  ::unlink(path_.c_str());
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) < 0 ||
      ::chmod(path_.c_str(), mode) < 0 || ::listen(fd, backlog) < 0) {
    int error = errno;
    ::close(fd);
    throw std::system_error(error, std::generic_category(), "listen on " + path_);
  }
  handle_ = fd;
}

PipeListener::~PipeListener() {
  ::close(static_cast<int>(handle_));
  ::unlink(path_.c_str());
}

PipeConnection PipeListener::Accept(std::chrono::milliseconds timeout) {
  if (!WaitFor(static_cast<int>(handle_), POLLIN, std::chrono::steady_clock::now() + timeout)) {
    return PipeConnection();
  }
  int fd;
  do {
    fd = ::accept4(static_cast<int>(handle_), nullptr, nullptr, SOCK_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  return fd < 0 ? PipeConnection() : PipeConnection(fd);
}

TemporaryPipeDirectory::TemporaryPipeDirectory() {
  std::string base = std::filesystem::temp_directory_path().string() + "/varlo-pipe-XXXXXX";
  if (::mkdtemp(base.data()) == nullptr) {
    throw std::system_error(errno, std::generic_category(), "mkdtemp");
  }
  path_ = base;
}

TemporaryPipeDirectory::~TemporaryPipeDirectory() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

}  // namespace varlo::platform
