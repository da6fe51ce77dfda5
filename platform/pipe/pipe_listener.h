// Service end of a local named pipe: a listening Unix domain stream socket and the connections
// accepted on it. Used by the local token service and by tests that play the service.
//
// A `PipeListener` owns its socket file. The socket is bound in a private staging folder next
// to its final path, given its mode (and group) there, and only then renamed into place: the
// file never exists at its path with looser permissions, and a stale file left by a process
// that died is replaced in one step. The destructor removes the file, unless another listener
// has since put its own socket there. A `PipeConnection` owns one accepted socket; both close
// what they own on destruction.
//
// On Windows the listener is a named pipe (`\\.\pipe\...`, see platform/pipe/pipe_end_win.h for
// how a path names it) with one instance offered to the next client at a time; the mode and
// group are not applied there: the pipe lets in the service's own user and the system alone.
//
// Each object is used by one thread at a time, except `PipeListener::Interrupt`, which any
// thread may call to end a waiting `Accept`.
#ifndef VARLO_PLATFORM_PIPE_PIPE_LISTENER_H_
#define VARLO_PLATFORM_PIPE_PIPE_LISTENER_H_

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>

#include "platform/pipe/pipe_client.h"

namespace varlo::platform {

class PipeConnection {
 public:
  PipeConnection() = default;
  explicit PipeConnection(PipeHandle handle) : handle_(handle) {}
  ~PipeConnection();
  PipeConnection(PipeConnection&& other) noexcept;
  PipeConnection& operator=(PipeConnection&& other) noexcept;
  PipeConnection(const PipeConnection&) = delete;
  PipeConnection& operator=(const PipeConnection&) = delete;

  bool IsOpen() const { return handle_ != kInvalidPipeHandle; }
  PipeHandle Handle() const { return handle_; }
  // Gives up the handle, which the caller now owns.
  PipeHandle Release() { return std::exchange(handle_, kInvalidPipeHandle); }

  // Writes all bytes; false when the peer has gone.
  bool WriteAll(std::span<const std::uint8_t> data);
  // The same, giving up (false) when the peer takes nothing for `timeout`.
  bool WriteAll(std::span<const std::uint8_t> data, std::chrono::milliseconds timeout);

  // Waits up to `timeout` for bytes and reads what is there (at most buffer.size()). nullopt on
  // time-out; 0 when the peer has closed its end or the read failed.
  std::optional<std::size_t> ReadSome(std::span<std::uint8_t> buffer,
                                      std::chrono::milliseconds timeout);

  // Reads exactly buffer.size() bytes within `timeout`; false on time-out or end of stream.
  bool ReadExactly(std::span<std::uint8_t> buffer, std::chrono::milliseconds timeout);

  void Close();

 private:
  PipeHandle handle_ = kInvalidPipeHandle;
};

class PipeListener {
 public:
  // Listens at `socketPath` with room for `backlog` pending connections; the socket file gets
  // `mode` and, when given, the group `group`. The folder of `socketPath` must exist and be
  // writable. Throws std::system_error on failure.
  PipeListener(const std::string& socketPath, int backlog, unsigned mode = 0660,
               std::optional<std::uint32_t> group = std::nullopt);
  ~PipeListener();
  PipeListener(const PipeListener&) = delete;
  PipeListener& operator=(const PipeListener&) = delete;

  const std::string& Path() const { return path_; }

  // Waits up to `timeout` (negative: without limit) for a connection; an unopened connection
  // on time-out and once the listener is interrupted.
  PipeConnection Accept(std::chrono::milliseconds timeout);

  // Ends a waiting Accept and makes every later one return at once. Thread-safe.
  void Interrupt();
  bool Interrupted() const;

 private:
  std::string path_;
  std::atomic<bool> interrupted_{false};
#ifdef _WIN32
  struct Waiting;  // the pipe instance offered to the next client
  std::unique_ptr<Waiting> waiting_;
#else
  PipeHandle handle_ = kInvalidPipeHandle;
  int wakePipe_[2] = {-1, -1};  // readable once Interrupt was called
  std::uint64_t device_ = 0;    // identity of our socket file
  std::uint64_t inode_ = 0;
#endif
};

// A fresh private directory for sockets (under $TMPDIR or /tmp), removed with its content on
// destruction. For tests and tools.
class TemporaryPipeDirectory {
 public:
  TemporaryPipeDirectory();
  ~TemporaryPipeDirectory();
  TemporaryPipeDirectory(const TemporaryPipeDirectory&) = delete;
  TemporaryPipeDirectory& operator=(const TemporaryPipeDirectory&) = delete;
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace varlo::platform

#endif  // VARLO_PLATFORM_PIPE_PIPE_LISTENER_H_
