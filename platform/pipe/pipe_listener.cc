#include "platform/pipe/pipe_listener.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
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

bool PipeConnection::WriteAll(std::span<const std::uint8_t> data,
                              std::chrono::milliseconds timeout) {
  const int fd = static_cast<int>(handle_);
  while (!data.empty()) {
    if (!WaitFor(fd, POLLOUT, std::chrono::steady_clock::now() + timeout))
      return false;
    const ssize_t n = ::send(fd, data.data(), data.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
      continue;
    if (n <= 0)
      return false;
    data = data.subspan(static_cast<std::size_t>(n));
  }
  return true;
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

PipeListener::PipeListener(const std::string& socketPath, int backlog, unsigned mode,
                           std::optional<std::uint32_t> group)
    : path_(socketPath) {
  const std::filesystem::path target(path_);
  // The staging folder sits beside the target, on the same file system, so that the final
  // rename is atomic; mkdtemp makes it 0700, so nobody reaches the socket before it is ready.
  std::string staging = (target.parent_path() / ".staging-XXXXXX").string();
  if (path_.size() >= sizeof(sockaddr_un::sun_path) ||
      staging.size() + 2 >= sizeof(sockaddr_un::sun_path)) {
    throw std::system_error(ENAMETOOLONG, std::generic_category(), "pipe path too long");
  }
  if (::mkdtemp(staging.data()) == nullptr) {
    throw std::system_error(errno, std::generic_category(), "staging folder for " + path_);
  }
  const std::string staged = staging + "/s";
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, staged.c_str(), staged.size() + 1);

  // Non-blocking, so that a client that gives up between poll and accept cannot leave Accept
  // blocked beyond the reach of Interrupt; accepted sockets are blocking again (accept4).
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  struct stat file {};
  const char* failed = nullptr;
  if (fd < 0) {
    failed = "socket";
  } else if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) < 0) {
    failed = "bind";
  } else if (group && ::chown(staged.c_str(), static_cast<uid_t>(-1), *group) < 0) {
    failed = "chown";
  } else if (::chmod(staged.c_str(), mode) < 0) {
    failed = "chmod";
  } else if (::lstat(staged.c_str(), &file) < 0) {
    failed = "stat";
  } else if (::listen(fd, backlog) < 0) {
    failed = "listen";
  } else if (::pipe2(wakePipe_, O_CLOEXEC | O_NONBLOCK) < 0) {
    failed = "pipe";
  } else if (::rename(staged.c_str(), path_.c_str()) < 0) {
    failed = "rename";
  }
  const int error = errno;
  ::unlink(staged.c_str());  // still there only when a step failed
  ::rmdir(staging.c_str());
  if (failed != nullptr) {
    if (fd >= 0)
      ::close(fd);
    for (int& end : wakePipe_) {
      if (end >= 0)
        ::close(end);
      end = -1;
    }
    throw std::system_error(error, std::generic_category(), std::string(failed) + " for " + path_);
  }
  handle_ = fd;
  device_ = file.st_dev;
  inode_ = file.st_ino;
}

PipeListener::~PipeListener() {
  ::close(static_cast<int>(handle_));
  ::close(wakePipe_[0]);
  ::close(wakePipe_[1]);
  // Only our own socket: a newer listener may have replaced it.
  struct stat file {};
  if (::lstat(path_.c_str(), &file) == 0 && file.st_dev == device_ && file.st_ino == inode_)
    ::unlink(path_.c_str());
}

PipeConnection PipeListener::Accept(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (interrupted_.load())
      return PipeConnection();
    int wait = -1;
    if (timeout.count() >= 0) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      wait = static_cast<int>(std::max<long long>(left.count(), 0));
    }
    pollfd entries[2] = {{static_cast<int>(handle_), POLLIN, 0}, {wakePipe_[0], POLLIN, 0}};
    const int ready = ::poll(entries, 2, wait);
    if (ready < 0 && errno == EINTR)
      continue;
    if (ready < 0)
      throw std::system_error(errno, std::generic_category(), "poll on " + path_);
    if (ready == 0)
      return PipeConnection();
    if (entries[1].revents != 0)
      continue;  // interrupted, returns above
    const int fd = ::accept4(static_cast<int>(handle_), nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0)
      return PipeConnection(fd);
    // A client that gave up before we took it, or a signal: wait for the next one.
    if (errno == EINTR || errno == ECONNABORTED || errno == EAGAIN || errno == EPROTO)
      continue;
    // Out of descriptors or memory: the caller decides how to back off.
    throw std::system_error(errno, std::generic_category(), "accept on " + path_);
  }
}

void PipeListener::Interrupt() {
  if (interrupted_.exchange(true))
    return;
  const std::uint8_t byte = 1;
  ssize_t ignored = ::write(wakePipe_[1], &byte, 1);
  (void)ignored;
}

bool PipeListener::Interrupted() const {
  return interrupted_.load();
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
