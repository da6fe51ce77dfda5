#include "platform/pipe/pipe_client.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace varlo::platform {
namespace {

constexpr unsigned long kErrorFilenameExcedRange = 206;
constexpr std::u16string_view kPipePrefix = u"\\\\.\\pipe\\";

// UTF-8 of UTF-16 text; an unpaired surrogate makes the whole text invalid.
std::optional<std::string> ToUtf8(std::u16string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF) {
      if (i + 1 >= text.size() || text[i + 1] < 0xDC00 || text[i + 1] > 0xDFFF) {
        return std::nullopt;
      }
      c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
    } else if (c >= 0xDC00 && c <= 0xDFFF) {
      return std::nullopt;
    }
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (c >> 12)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (c >> 18)));
      out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

bool StartsWithPipePrefix(std::u16string_view name) {
  if (name.size() < kPipePrefix.size())
    return false;
  for (std::size_t i = 0; i < kPipePrefix.size(); ++i) {
    char16_t c = name[i];
    if (c >= u'A' && c <= u'Z')
      c = static_cast<char16_t>(c - u'A' + u'a');
    if (c != kPipePrefix[i])
      return false;
  }
  return true;
}

}  // namespace

unsigned long WindowsErrorFromErrno(int error) {
  switch (error) {
    case ENOENT:
    case ENOTDIR:
    case ECONNREFUSED:
      return kErrorFileNotFound;
    case EACCES:
    case EPERM:
      return kErrorAccessDenied;
    case EBADF:
    case ENOTSOCK:
      return kErrorInvalidHandle;
    case ENOMEM:
    case ENOBUFS:
      return kErrorNotEnoughMemory;
    case EAGAIN:
      return kErrorPipeBusy;
    case EPIPE:
      return kErrorNoData;
    case ECONNRESET:
    case ENOTCONN:
    case ESHUTDOWN:
      return kErrorBrokenPipe;
    case ENAMETOOLONG:
      return kErrorFilenameExcedRange;
    default:
      return kErrorGenFailure;
  }
}

std::string PipeDirectory() {
  const char* dir = std::getenv("VARLO_PIPE_DIR");
  return dir != nullptr && *dir != '\0' ? std::string(dir) : std::string("/run/varlo");
}

std::optional<std::string> PipeSocketPath(std::u16string_view name, std::string_view pipeDir) {
  if (!name.empty() && name.front() == u'/')
    return ToUtf8(name);
  if (!StartsWithPipePrefix(name))
    return std::nullopt;
  auto leaf = ToUtf8(name.substr(kPipePrefix.size()));
  // The leaf must stay inside the pipe directory.
  if (!leaf || leaf->empty() || *leaf == "." || *leaf == ".." ||
      leaf->find('/') != std::string::npos) {
    return std::nullopt;
  }
  std::string path(pipeDir);
  while (path.size() > 1 && path.back() == '/')
    path.pop_back();
  if (path.empty() || path.back() != '/')
    path.push_back('/');
  return path + *leaf;
}

PipeOpenResult OpenPipe(std::u16string_view name) {
  auto path = PipeSocketPath(name, PipeDirectory());
  if (!path)
    return {kInvalidPipeHandle, kErrorInvalidName};
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path->size() >= sizeof(address.sun_path))
    return {kInvalidPipeHandle, kErrorFilenameExcedRange};
  std::memcpy(address.sun_path, path->c_str(), path->size() + 1);

  // Non-blocking so that a full accept queue answers "busy" instead of waiting.
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0)
    return {kInvalidPipeHandle, WindowsErrorFromErrno(errno)};
  int rc;
  do {
    rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address));
  } while (rc < 0 && errno == EINTR);
  if (rc < 0) {
    int error = errno;
    ::close(fd);
    return {kInvalidPipeHandle, WindowsErrorFromErrno(error)};
  }
  int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) < 0) {
    int error = errno;
    ::close(fd);
    return {kInvalidPipeHandle, WindowsErrorFromErrno(error)};
  }
  return {fd, 0};
}

PipeIoResult PeekPipe(PipeHandle handle) {
  int fd = static_cast<int>(handle);
  // The count first: with bytes pending it is the whole answer, one system call.
  int available = 0;
  if (::ioctl(fd, FIONREAD, &available) < 0)
    return {0, WindowsErrorFromErrno(errno)};
  if (available > 0)
    return {static_cast<std::size_t>(available), 0};
  // Nothing counted: end of stream (the peer has gone) or nothing yet.
  std::uint8_t probe;
  ssize_t n;
  do {
    n = ::recv(fd, &probe, 1, MSG_PEEK | MSG_DONTWAIT);
  } while (n < 0 && errno == EINTR);
  if (n == 0)
    return {0, kErrorBrokenPipe};  // end of stream: the peer has gone
  if (n < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK)
      return {0, 0};
    return {0, WindowsErrorFromErrno(errno)};
  }
  return {static_cast<std::size_t>(n), 0};  // arrived since the count
}

PipeIoResult ReadPipe(PipeHandle handle, std::span<std::uint8_t> buffer) {
  ssize_t n;
  do {
    n = ::recv(static_cast<int>(handle), buffer.data(), buffer.size(), 0);
  } while (n < 0 && errno == EINTR);
  if (n == 0 && !buffer.empty())
    return {0, kErrorBrokenPipe};
  if (n < 0)
    return {0, WindowsErrorFromErrno(errno)};
  return {static_cast<std::size_t>(n), 0};
}

PipeIoResult WritePipe(PipeHandle handle, std::span<const std::uint8_t> data,
                       int waitMilliseconds) {
  const int fd = static_cast<int>(handle);
  auto sendNow = [&]() -> ssize_t {
    ssize_t n;
    do {
      n = ::send(fd, data.data(), data.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    return n;
  };
  ssize_t n = sendNow();
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
    // Full: wait a little for the peer to read, then try once more.
    pollfd entry{fd, POLLOUT, 0};
    int ready;
    do {
      ready = ::poll(&entry, 1, waitMilliseconds);
    } while (ready < 0 && errno == EINTR);
    if (ready < 0)
      return {0, WindowsErrorFromErrno(errno)};
    n = sendNow();
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
      return {0, 0};
  }
  if (n < 0)
    return {0, WindowsErrorFromErrno(errno)};
  return {static_cast<std::size_t>(n), 0};
}

void ClosePipe(PipeHandle handle) {
  if (handle == kInvalidPipeHandle)
    return;
  ::close(static_cast<int>(handle));
}

}  // namespace varlo::platform
