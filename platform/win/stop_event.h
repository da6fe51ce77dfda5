// The stop request between processes on Windows, where there is no SIGTERM: a program that waits
// for stop signals (platform/signal) owns the named event of its process id, and whoever asks it
// to stop (ChildProcess::Terminate, TerminateProcess) signals that event. Unlike the console's
// Ctrl+Break, this needs no shared console.
#ifndef VARLO_PLATFORM_WIN_STOP_EVENT_H_
#define VARLO_PLATFORM_WIN_STOP_EVENT_H_

#include <string>

#include "platform/win/windows_api.h"

namespace varlo::platform::win {

inline std::wstring StopEventName(DWORD pid) {
  return L"Local\\varlo-stop-" + std::to_wstring(pid);
}

// Asks process `pid` to stop: its stop event when it has one, else Ctrl+Break to its process
// group (which reaches it only on a console we share). True when the request was delivered.
inline bool RequestStop(DWORD pid) {
  const UniqueHandle event(::OpenEventW(EVENT_MODIFY_STATE, FALSE, StopEventName(pid).c_str()));
  if (event.Valid())
    return ::SetEvent(event.Get()) != FALSE;
  return ::GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, pid) != FALSE;
}

}  // namespace varlo::platform::win

#endif  // VARLO_PLATFORM_WIN_STOP_EVENT_H_
