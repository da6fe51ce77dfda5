// One end of a named pipe on Windows, as the platform's pipe functions share it.
//
// A `PipeHandle` here is the address of a `PipeEnd`: the pipe handle (opened for overlapped
// I/O) and the state the portable functions need on top of it. Named pipes are not waitable
// for "readable", so a wait for data keeps a one-byte overlapped read outstanding and waits on
// its event; the byte it takes is handed out first by the next read. That read state is shared
// between the thread that waits and the thread that reads, hence the mutex. Writes go through
// an overlapped write of a copy of the data, so that a write to a full pipe can give up waiting
// while the system delivers the rest as the reader takes it.
#ifndef VARLO_PLATFORM_PIPE_PIPE_END_WIN_H_
#define VARLO_PLATFORM_PIPE_PIPE_END_WIN_H_

#include <cstdint>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/pipe/pipe_client.h"
#include "platform/win/windows_api.h"

namespace varlo::platform::win {

struct PipeEnd {
  HANDLE pipe = INVALID_HANDLE_VALUE;

  std::mutex readMutex;  // guards the members up to the write side
  OVERLAPPED readOverlapped{};
  UniqueHandle readEvent;
  bool readPending = false;  // the one-byte read is outstanding
  bool byteReady = false;    // it completed: `byte` is the next byte of the stream
  std::uint8_t byte = 0;
  DWORD readError = 0;        // it failed: the error every later read reports
  OVERLAPPED ioOverlapped{};  // reads of bytes known to be there
  UniqueHandle ioEvent;

  // Used by the one thread that writes.
  OVERLAPPED writeOverlapped{};
  UniqueHandle writeEvent;
  bool writePending = false;
  std::vector<std::uint8_t> writeBuffer;  // the data of the outstanding write
};

// Wraps `pipe` (opened with FILE_FLAG_OVERLAPPED), which it then owns. On failure the pipe is
// closed, kInvalidPipeHandle returned and `*error` set.
PipeHandle AdoptPipe(HANDLE pipe, unsigned long* error);

inline PipeEnd* AsPipeEnd(PipeHandle handle) {
  return reinterpret_cast<PipeEnd*>(handle);
}

// The number the portable code knows for a Windows error: a disconnected peer is always
// kErrorBrokenPipe.
unsigned long PipeError(DWORD error);

// Prepares a wait for data: true in `*ready` when bytes (or a failure) are there now; else the
// event that is signalled when they come.
HANDLE ArmReadWait(PipeEnd& end, bool* ready);

// Writes what the pipe takes within `milliseconds` (INFINITE: all of it), as WritePipe does.
PipeIoResult WriteSome(PipeEnd& end, std::span<const std::uint8_t> data, DWORD milliseconds);

// Waits up to `milliseconds` (INFINITE: without limit) for the outstanding write. 0 when none is
// left, WAIT_TIMEOUT when it is still outstanding, else the write's error.
DWORD FinishWrite(PipeEnd& end, DWORD milliseconds);

// The pipe name of a path, as listener and client agree on it: a path in the default pipe
// folder is `\\.\pipe\LEAF`; any other is `\\.\pipe\` and the whole path (with forward slashes),
// so that folders of their own (tests, tools) have pipes of their own.
std::wstring PipeNameOfPath(std::string_view path);

// Milliseconds for a wait call: negative is 0, beyond what a DWORD holds is INFINITE.
DWORD WaitMilliseconds(long long milliseconds);

}  // namespace varlo::platform::win

#endif  // VARLO_PLATFORM_PIPE_PIPE_END_WIN_H_
