#include "platform/pipe/pipe_wait.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <system_error>

namespace varlo::platform {

WakeEvent::WakeEvent() : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  if (fd_ < 0)
    throw std::system_error(errno, std::generic_category(), "eventfd");
}

WakeEvent::~WakeEvent() {
  ::close(fd_);
}

void WakeEvent::Signal() noexcept {
  const std::uint64_t one = 1;
  // Fails only when the counter is near overflow, which leaves the event signalled anyway.
  while (::write(fd_, &one, sizeof(one)) < 0 && errno == EINTR) {
  }
}

void WakeEvent::Reset() noexcept {
  std::uint64_t count;
  while (::read(fd_, &count, sizeof(count)) < 0 && errno == EINTR) {
  }
}

PipeWaitResult WaitPipeReadable(PipeHandle pipe, std::initializer_list<const WakeEvent*> events,
                                std::chrono::milliseconds timeout) {
  // poll() skips entries with a negative descriptor: an invalid pipe waits for the events only.
  std::array<pollfd, 4> entries{};
  entries[0] = {static_cast<int>(pipe), POLLIN, 0};
  std::size_t count = 1;
  for (const WakeEvent* event : events) {
    if (event != nullptr && count < entries.size())
      entries[count++] = {event->fd_, POLLIN, 0};
  }
  // A year stands for "no limit" and keeps the deadline from overflowing.
  const auto deadline = std::chrono::steady_clock::now() +
                        std::min<std::chrono::milliseconds>(timeout, std::chrono::hours(24 * 365));
  for (;;) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    const int wait = static_cast<int>(std::clamp<std::int64_t>(left.count(), 0, INT_MAX));
    const int ready = ::poll(entries.data(), count, wait);
    if (ready > 0)
      break;
    if (ready == 0 && std::chrono::steady_clock::now() >= deadline)
      return PipeWaitResult::kTimedOut;
    if (ready < 0 && errno != EINTR)
      return PipeWaitResult::kReadable;  // let the read report what is wrong
  }
  for (std::size_t i = 1; i < count; ++i) {
    if (entries[i].revents != 0)
      return PipeWaitResult::kWoken;
  }
  // POLLHUP and POLLERR too: the read that follows reports a gone peer or a failure.
  return PipeWaitResult::kReadable;
}

}  // namespace varlo::platform
