// Client end of a local named pipe: a Unix domain stream socket, or a Windows named pipe.
//
// A pipe named `\\.\pipe\NAME` is the socket `$VARLO_PIPE_DIR/NAME` (default directory
// /run/varlo); a name that is an absolute path ("/...") is the socket at that path, which lets
// tests and tools use their own directory. On Windows the same names lead to named pipes: with
// the default folder (%LOCALAPPDATA%\varlo) `\\.\pipe\NAME` is that very pipe, and a path in
// any other folder names a pipe of its own (platform/pipe/pipe_end_win.h); a busy pipe is waited
// for briefly there, since named pipes have no queue of pending connections. Failures are reported
// as the Windows error numbers the code above relies on: 2 (no listening service), 231 (the service
// cannot accept now), 109 (the peer has gone), 232 (write to a closing pipe); other failures map to
// the nearest number.
//
// The functions are thin and stateless; one handle must be used by one thread at a time (a wait
// for readiness, platform/pipe/pipe_wait.h, may run beside it on another thread).
#ifndef VARLO_PLATFORM_PIPE_PIPE_CLIENT_H_
#define VARLO_PLATFORM_PIPE_PIPE_CLIENT_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace varlo::platform {

using PipeHandle = std::intptr_t;
inline constexpr PipeHandle kInvalidPipeHandle = -1;

// Windows error numbers reported by the pipe functions.
inline constexpr unsigned long kErrorFileNotFound = 2;
inline constexpr unsigned long kErrorAccessDenied = 5;
inline constexpr unsigned long kErrorInvalidHandle = 6;
inline constexpr unsigned long kErrorNotEnoughMemory = 8;
inline constexpr unsigned long kErrorGenFailure = 31;
inline constexpr unsigned long kErrorBrokenPipe = 109;
inline constexpr unsigned long kErrorInvalidName = 123;
inline constexpr unsigned long kErrorPipeBusy = 231;
inline constexpr unsigned long kErrorNoData = 232;

// The Windows number nearest to an errno value.
unsigned long WindowsErrorFromErrno(int error);

// The socket path of a pipe name (UTF-16), or nullopt when the name is neither a
// `\\.\pipe\` name nor an absolute path. `pipeDir` is the directory for `\\.\pipe\` names.
std::optional<std::string> PipeSocketPath(std::u16string_view name, std::string_view pipeDir);

// The pipe directory: $VARLO_PIPE_DIR, else /run/varlo.
std::string PipeDirectory();

struct PipeOpenResult {
  PipeHandle handle = kInvalidPipeHandle;
  unsigned long error = 0;  // 0 on success
};

// Connects to the pipe without waiting for the service to accept: a service whose queue of
// pending connections is full gives kErrorPipeBusy at once.
PipeOpenResult OpenPipe(std::u16string_view name);

struct PipeIoResult {
  std::size_t count = 0;
  unsigned long error = 0;  // 0 on success
};

// Bytes that can be read now without blocking. A peer that has closed its end (the socket
// reads as end of stream) is kErrorBrokenPipe, not 0 bytes.
PipeIoResult PeekPipe(PipeHandle handle);

// Reads up to buffer.size() bytes; call it for bytes that PeekPipe reported.
PipeIoResult ReadPipe(PipeHandle handle, std::span<std::uint8_t> buffer);

// Writes what the pipe accepts within `wait` (at least one byte unless the pipe stays full for
// the whole wait, in which case count is 0 and error 0). Never raises SIGPIPE.
PipeIoResult WritePipe(PipeHandle handle, std::span<const std::uint8_t> data, int waitMilliseconds);

// Closes the handle; an invalid handle is ignored.
void ClosePipe(PipeHandle handle);

}  // namespace varlo::platform

#endif  // VARLO_PLATFORM_PIPE_PIPE_CLIENT_H_
