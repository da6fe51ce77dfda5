#include <atomic>
#include <csignal>
#include <system_error>

#include "platform/signal/stop_signal.h"
#include "platform/win/stop_event.h"

// The console's control events stand for the signals: Ctrl+C is SIGINT; Ctrl+Break, closing
// the console, logging off and shutting down are SIGTERM, and so is a stop request from another
// process (platform/win/stop_event.h, what ChildProcess::Terminate sends). The handler runs on a
// thread of its own that the system starts; it records the event and returns, so the program shuts
// down in its ordinary flow as it does on the other platforms.
namespace varlo {
namespace {

struct StopState {
  // Auto-reset, one per Wait; named, so that other processes can ask us to stop.
  HANDLE event = ::CreateEventW(nullptr, FALSE, FALSE,
                                platform::win::StopEventName(::GetCurrentProcessId()).c_str());
  std::atomic<int> signal{0};  // 0: a stop request from another process, SIGTERM
};

StopState& State() {
  static StopState state;
  return state;
}

BOOL WINAPI OnControl(DWORD type) {
  StopState& state = State();
  state.signal.store(type == CTRL_C_EVENT ? SIGINT : SIGTERM);
  ::SetEvent(state.event);
  if (type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT) {
    // The system ends the process as soon as this returns: give the program the few seconds
    // it is granted to finish; its own exit ends this thread.
    ::Sleep(10000);
  }
  return TRUE;
}

int TakeSignal() {
  const int signal = State().signal.exchange(0);
  return signal != 0 ? signal : SIGTERM;
}

}  // namespace

StopSignal::StopSignal() {
  if (State().event == nullptr || !::SetConsoleCtrlHandler(OnControl, TRUE)) {
    throw std::system_error(static_cast<int>(::GetLastError()), std::system_category(),
                            "SetConsoleCtrlHandler");
  }
}

int StopSignal::Wait() {
  ::WaitForSingleObject(State().event, INFINITE);
  return TakeSignal();
}

int StopSignal::WaitFor(std::chrono::milliseconds timeout) {
  const long long milliseconds = timeout.count();
  const DWORD wait = milliseconds <= 0 ? 0
                     : milliseconds >= static_cast<long long>(INFINITE)
                         ? INFINITE - 1
                         : static_cast<DWORD>(milliseconds);
  if (::WaitForSingleObject(State().event, wait) != WAIT_OBJECT_0)
    return 0;
  return TakeSignal();
}

}  // namespace varlo
