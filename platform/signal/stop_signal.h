// Waiting for an interrupt (SIGINT) or termination request (SIGTERM) in a command-line
// program, without a signal handler.
//
// Make one `StopSignal` at the top of `main`, before any thread starts: it blocks both signals
// in the calling thread, and every thread started afterwards inherits that, so the signals
// stay pending until `Wait` takes one. The program then shuts down in its ordinary flow. On
// Windows the console's control events take the signals' place (Ctrl+C is SIGINT; Ctrl+Break,
// closing the console, log-off, shut-down and another process's stop request are SIGTERM).
#ifndef VARLO_PLATFORM_SIGNAL_STOP_SIGNAL_H_
#define VARLO_PLATFORM_SIGNAL_STOP_SIGNAL_H_

#include <chrono>

namespace varlo {

class StopSignal {
 public:
  StopSignal();
  StopSignal(const StopSignal&) = delete;
  StopSignal& operator=(const StopSignal&) = delete;

  // Blocks until SIGINT or SIGTERM arrives; returns the signal's number.
  int Wait();
  // Waits at most `timeout`; the signal's number, or 0 when none arrived.
  int WaitFor(std::chrono::milliseconds timeout);
};

}  // namespace varlo

#endif  // VARLO_PLATFORM_SIGNAL_STOP_SIGNAL_H_
