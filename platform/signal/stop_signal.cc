#include "platform/signal/stop_signal.h"

#include <pthread.h>
#include <signal.h>

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

}  // namespace varlo
