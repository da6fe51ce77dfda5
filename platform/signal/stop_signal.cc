#include "platform/signal/stop_signal.h"

#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <ctime>
#include <system_error>

namespace varlo {

namespace {

sigset_t StopSet() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  return set;
}

}  // namespace

StopSignal::StopSignal() {
  sigset_t set = StopSet();
  if (int rc = pthread_sigmask(SIG_BLOCK, &set, nullptr); rc != 0) {
    throw std::system_error(rc, std::generic_category(), "pthread_sigmask");
  }
}

int StopSignal::Wait() {
  sigset_t set = StopSet();
  int signal = 0;
  while (sigwait(&set, &signal) != 0) {
  }
  return signal;
}

int StopSignal::WaitFor(std::chrono::milliseconds timeout) {
  sigset_t set = StopSet();
  timespec wait{};
  wait.tv_sec = static_cast<time_t>(timeout.count() / 1000);
  wait.tv_nsec = static_cast<long>(timeout.count() % 1000) * 1000000L;
  for (;;) {
    int signal = sigtimedwait(&set, nullptr, &wait);
    if (signal > 0)
      return signal;
    if (errno != EINTR)
      return 0;
  }
}

}  // namespace varlo
