#include <array>
#include <system_error>

#include "platform/pipe/pipe_end_win.h"
#include "platform/pipe/pipe_wait.h"

namespace varlo::platform {

WakeEvent::WakeEvent() : event_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
  if (event_ == nullptr)
    throw std::system_error(static_cast<int>(::GetLastError()), std::system_category(),
                            "CreateEvent");
}

WakeEvent::~WakeEvent() {
  ::CloseHandle(event_);
}

void WakeEvent::Signal() noexcept {
  ::SetEvent(event_);
}

void WakeEvent::Reset() noexcept {
  ::ResetEvent(event_);
}

PipeWaitResult WaitPipeReadable(PipeHandle pipe, std::initializer_list<const WakeEvent*> events,
                                std::chrono::milliseconds timeout) {
  // The events first: when an event and the pipe are both ready, the event wins, and a wait
  // for several objects reports the first ready one.
  std::array<HANDLE, 4> handles{};
  DWORD eventCount = 0;
  for (const WakeEvent* event : events) {
    if (event != nullptr && eventCount < handles.size() - 1)
      handles[eventCount++] = event->event_;
  }
  DWORD count = eventCount;
  if (pipe != kInvalidPipeHandle) {
    if (eventCount > 0 && ::WaitForMultipleObjects(eventCount, handles.data(), FALSE, 0) <
                              WAIT_OBJECT_0 + eventCount) {
      return PipeWaitResult::kWoken;
    }
    bool ready = false;
    HANDLE readable = win::ArmReadWait(*win::AsPipeEnd(pipe), &ready);
    if (ready)
      return PipeWaitResult::kReadable;
    handles[count++] = readable;
  }
  const DWORD wait = win::WaitMilliseconds(timeout.count());
  if (count == 0) {
    ::Sleep(wait);
    return PipeWaitResult::kTimedOut;
  }
  const DWORD result = ::WaitForMultipleObjects(count, handles.data(), FALSE, wait);
  if (result == WAIT_TIMEOUT)
    return PipeWaitResult::kTimedOut;
  if (result < WAIT_OBJECT_0 + eventCount)
    return PipeWaitResult::kWoken;
  // The pipe's read, or a failed wait: the read that follows reports what is wrong.
  return PipeWaitResult::kReadable;
}

}  // namespace varlo::platform
