// Waiting for a pipe to become readable, with events that end the wait early.
//
// The message stack's readers wait here instead of sleeping between looks, so that a message is
// read as soon as it arrives. A `WakeEvent` lets another thread end such a wait: the pipe stream
// signals one before it closes its handle, a polling layer signals one when it stops. The caller
// must keep the pipe handle open for the whole wait: once closed, its number may be reused by
// another file at any moment.
#ifndef VARLO_PLATFORM_PIPE_PIPE_WAIT_H_
#define VARLO_PLATFORM_PIPE_PIPE_WAIT_H_

#include <chrono>
#include <initializer_list>

#include "platform/pipe/pipe_client.h"

namespace varlo::platform {

enum class PipeWaitResult {
  kReadable,  // bytes have arrived, or the peer has gone (a read tells which)
  kWoken,     // one of the events is signalled
  kTimedOut,
};

class WakeEvent;

// Waits up to `timeout` until `pipe` is readable or one of `events` is signalled. An invalid
// pipe handle waits for the events alone; null events are skipped (at most three are taken).
PipeWaitResult WaitPipeReadable(PipeHandle pipe, std::initializer_list<const WakeEvent*> events,
                                std::chrono::milliseconds timeout);

// Waits up to `timeout` for `event` (null: the whole timeout); true when it was signalled.
inline bool WaitForWake(const WakeEvent* event, std::chrono::milliseconds timeout) {
  return WaitPipeReadable(kInvalidPipeHandle, {event}, timeout) == PipeWaitResult::kWoken;
}

// A manual-reset event: once signalled it ends every wait that includes it, until it is reset.
// Any thread may signal or reset it.
class WakeEvent {
 public:
  // Throws std::system_error when the system has no descriptor (handle) to spare.
  WakeEvent();
  ~WakeEvent();
  WakeEvent(const WakeEvent&) = delete;
  WakeEvent& operator=(const WakeEvent&) = delete;

  void Signal() noexcept;
  void Reset() noexcept;

 private:
  friend PipeWaitResult WaitPipeReadable(PipeHandle, std::initializer_list<const WakeEvent*>,
                                         std::chrono::milliseconds);
#ifdef _WIN32
  void* event_;  // a manual-reset event object
#else
  int fd_;  // an eventfd
#endif
};

}  // namespace varlo::platform

#endif  // VARLO_PLATFORM_PIPE_PIPE_WAIT_H_
