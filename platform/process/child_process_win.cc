#include <atomic>
#include <cwctype>
#include <stdexcept>

#include "platform/process/child_process.h"
#include "platform/win/stop_event.h"
#include "platform/win/windows_api.h"

// After <windows.h>, which it needs.
#include <tlhelp32.h>

namespace varlo::platform {

namespace {

using Clock = std::chrono::steady_clock;

constexpr DWORD kKilledExitCode = 128 + 9;  // as a SIGKILL reads on the other platforms

DWORD MillisecondsUntil(Clock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
  if (left.count() <= 0)
    return 0;
  return static_cast<DWORD>(std::min<long long>(left.count(), 1000 * 60 * 60));
}

std::string ErrorText(DWORD error) {
  wchar_t* text = nullptr;
  const DWORD length = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::wstring message(text != nullptr ? text : L"", length);
  if (text != nullptr)
    ::LocalFree(text);
  while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r'))
    message.pop_back();
  return message.empty() ? "error " + std::to_string(error) : win::Narrow(message);
}

// One argument as the C runtime's command-line parser reads it back: quoted when it has blanks
// or quotes, backslashes doubled only where they precede a quote.
void AppendArgument(std::wstring& line, const std::wstring& argument) {
  if (!line.empty())
    line.push_back(L' ');
  if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
    line += argument;
    return;
  }
  line.push_back(L'"');
  std::size_t backslashes = 0;
  for (wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    if (c == L'"')
      line.append(backslashes * 2 + 1, L'\\');
    else
      line.append(backslashes, L'\\');
    backslashes = 0;
    line.push_back(c);
  }
  line.append(backslashes * 2, L'\\');
  line.push_back(L'"');
}

SECURITY_ATTRIBUTES Inheritable() {
  SECURITY_ATTRIBUTES attributes{};
  attributes.nLength = sizeof attributes;
  attributes.bInheritHandle = TRUE;
  return attributes;
}

// An inheritable copy of one of our own standard handles, or none when we have none.
win::UniqueHandle InheritableCopy(DWORD which) {
  HANDLE own = ::GetStdHandle(which);
  HANDLE copy = nullptr;
  if (own == nullptr || own == INVALID_HANDLE_VALUE ||
      !::DuplicateHandle(::GetCurrentProcess(), own, ::GetCurrentProcess(), &copy, 0, TRUE,
                         DUPLICATE_SAME_ACCESS)) {
    return {};
  }
  return win::UniqueHandle(copy);
}

// A pipe from the child's standard output to us: the child's end inheritable, ours overlapped so
// that reads can wait with a deadline (anonymous pipes cannot). Both or neither.
bool OutputPipe(win::UniqueHandle& ours, win::UniqueHandle& childs) {
  static std::atomic<unsigned> serial{0};
  const std::wstring name = L"\\\\.\\pipe\\varlo-child-" +
                            std::to_wstring(::GetCurrentProcessId()) + L"-" +
                            std::to_wstring(serial++);
  ours.Reset(::CreateNamedPipeW(
      name.c_str(), PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
      PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1, 4096, 4096,
      0, nullptr));
  if (!ours.Valid())
    return false;
  SECURITY_ATTRIBUTES inherit = Inheritable();
  childs.Reset(::CreateFileW(name.c_str(), GENERIC_WRITE, 0, &inherit, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr));
  return childs.Valid();
}

}  // namespace

struct ChildProcess::Handles {
  win::UniqueHandle process;
  win::UniqueHandle job;  // ends the child with us (dieWithParent)
  win::UniqueHandle stdinWrite;
  win::UniqueHandle stdoutRead;
  win::UniqueHandle readEvent;
  OVERLAPPED readOverlapped{};
  bool readPending = false;
  char chunk[512];
};

std::unique_ptr<ChildProcess> ChildProcess::Spawn(const SpawnOptions& options) {
  if (options.argv.empty())
    throw std::runtime_error("cannot start a program without a name");
  const std::string& program = options.argv.front();
  auto fail = [&](const std::string& why) {
    return std::runtime_error("cannot start " + program + ": " + why);
  };
  std::wstring commandLine;
  for (const std::string& argument : options.argv) {
    bool ok = false;
    const std::wstring wide = win::Widen(argument, &ok);
    if (!ok)
      throw fail("an argument is not UTF-8");
    AppendArgument(commandLine, wide);
  }

  auto handles = std::make_unique<Handles>();
  SECURITY_ATTRIBUTES inherit = Inheritable();
  win::UniqueHandle childIn, childOut, childErr, output;
  if (options.pipeStdin) {
    HANDLE read = nullptr;
    HANDLE write = nullptr;
    if (!::CreatePipe(&read, &write, &inherit, 0))
      throw fail(ErrorText(::GetLastError()));
    childIn.Reset(read);
    handles->stdinWrite.Reset(write);
    ::SetHandleInformation(write, HANDLE_FLAG_INHERIT, 0);
  } else {
    childIn.Reset(::CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                OPEN_EXISTING, 0, nullptr));
  }
  if (!options.outputFile.empty()) {
    output.Reset(::CreateFileW(options.outputFile.wstring().c_str(), FILE_APPEND_DATA,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherit,
                               OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!output.Valid())
      throw fail(options.outputFile.string() + ": " + ErrorText(::GetLastError()));
  }
  if (options.pipeStdout) {
    if (!OutputPipe(handles->stdoutRead, childOut))
      throw fail(ErrorText(::GetLastError()));
    handles->readEvent.Reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!handles->readEvent.Valid())
      throw fail(ErrorText(::GetLastError()));
  }
  const HANDLE stdoutHandle =
      childOut.Valid()
          ? childOut.Get()
          : (output.Valid() ? output.Get() : (childErr = InheritableCopy(STD_OUTPUT_HANDLE)).Get());
  win::UniqueHandle errCopy;
  const HANDLE stderrHandle =
      output.Valid() ? output.Get() : (errCopy = InheritableCopy(STD_ERROR_HANDLE)).Get();

  // The child inherits these handles and no other, so that a child started at the same time by
  // another thread does not keep our pipes open.
  HANDLE inherited[3];
  DWORD inheritedCount = 0;
  for (HANDLE h : {childIn.Get(), stdoutHandle, stderrHandle}) {
    bool seen = false;
    for (DWORD i = 0; i < inheritedCount; ++i)
      seen = seen || inherited[i] == h;
    if (h != nullptr && h != INVALID_HANDLE_VALUE && !seen)
      inherited[inheritedCount++] = h;
  }
  SIZE_T attributeSize = 0;
  ::InitializeProcThreadAttributeList(nullptr, 1, 0, &attributeSize);
  std::vector<std::uint8_t> attributeBuffer(attributeSize);
  auto* attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attributeBuffer.data());
  if (!::InitializeProcThreadAttributeList(attributes, 1, 0, &attributeSize))
    throw fail(ErrorText(::GetLastError()));
  struct AttributeListGuard {
    LPPROC_THREAD_ATTRIBUTE_LIST list;
    ~AttributeListGuard() { ::DeleteProcThreadAttributeList(list); }
  } guard{attributes};
  if (inheritedCount > 0 &&
      !::UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited,
                                   inheritedCount * sizeof(HANDLE), nullptr, nullptr)) {
    throw fail(ErrorText(::GetLastError()));
  }

  STARTUPINFOEXW startup{};
  startup.StartupInfo.cb = sizeof startup;
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.StartupInfo.hStdInput = childIn.Get();
  startup.StartupInfo.hStdOutput = stdoutHandle;
  startup.StartupInfo.hStdError = stderrHandle;
  startup.lpAttributeList = attributes;
  PROCESS_INFORMATION process{};
  // Suspended until it is in its job, so that not even its first steps escape it.
  if (!::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, inheritedCount > 0,
                        EXTENDED_STARTUPINFO_PRESENT | CREATE_NEW_PROCESS_GROUP | CREATE_SUSPENDED |
                            CREATE_UNICODE_ENVIRONMENT,
                        nullptr, nullptr, &startup.StartupInfo, &process)) {
    throw fail(ErrorText(::GetLastError()));
  }
  handles->process.Reset(process.hProcess);
  const win::UniqueHandle thread(process.hThread);
  if (options.dieWithParent) {
    handles->job.Reset(::CreateJobObjectW(nullptr, nullptr));
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    // Best effort, as on the other platforms: a system that refuses jobs still runs the child.
    if (!handles->job.Valid() ||
        !::SetInformationJobObject(handles->job.Get(), JobObjectExtendedLimitInformation, &limits,
                                   sizeof limits) ||
        !::AssignProcessToJobObject(handles->job.Get(), process.hProcess)) {
      handles->job.Reset();
    }
  }
  ::ResumeThread(process.hThread);

  auto child = std::unique_ptr<ChildProcess>(new ChildProcess());
  child->pid_ = static_cast<int>(process.dwProcessId);
  child->handles_ = std::move(handles);
  return child;
}

ChildProcess::~ChildProcess() {
  if (!reaped_) {
    Kill();
    Reap(true);
  }
  Handles& h = *handles_;
  if (h.readPending) {
    ::CancelIoEx(h.stdoutRead.Get(), &h.readOverlapped);
    DWORD ignored = 0;
    ::GetOverlappedResult(h.stdoutRead.Get(), &h.readOverlapped, &ignored, TRUE);
  }
}

bool ChildProcess::WriteLine(std::string_view line) {
  if (!handles_->stdinWrite.Valid())
    return false;
  std::string text(line);
  text.push_back('\n');
  std::size_t done = 0;
  while (done < text.size()) {
    DWORD written = 0;
    if (!::WriteFile(handles_->stdinWrite.Get(), text.data() + done,
                     static_cast<DWORD>(text.size() - done), &written, nullptr)) {
      return false;
    }
    done += written;
  }
  return true;
}

void ChildProcess::CloseStdin() {
  handles_->stdinWrite.Reset();
}

std::optional<std::string> ChildProcess::ReadLine(Clock::time_point deadline) {
  Handles& h = *handles_;
  if (!h.stdoutRead.Valid())
    return std::nullopt;
  for (;;) {
    if (auto end = outputBuffer_.find('\n'); end != std::string::npos) {
      std::string line = outputBuffer_.substr(0, end);
      if (!line.empty() && line.back() == '\r')
        line.pop_back();
      outputBuffer_.erase(0, end + 1);
      return line;
    }
    if (outputClosed_)
      return std::nullopt;
    if (!h.readPending) {
      ::ResetEvent(h.readEvent.Get());
      h.readOverlapped = OVERLAPPED{};
      h.readOverlapped.hEvent = h.readEvent.Get();
      if (!::ReadFile(h.stdoutRead.Get(), h.chunk, sizeof h.chunk, nullptr, &h.readOverlapped) &&
          ::GetLastError() != ERROR_IO_PENDING) {
        outputClosed_ = true;
        continue;
      }
      h.readPending = true;
    }
    // A read still outstanding at the deadline stays so: the next call takes its bytes.
    if (::WaitForSingleObject(h.readEvent.Get(), MillisecondsUntil(deadline)) != WAIT_OBJECT_0)
      return std::nullopt;
    h.readPending = false;
    DWORD count = 0;
    if (!::GetOverlappedResult(h.stdoutRead.Get(), &h.readOverlapped, &count, FALSE) ||
        count == 0) {
      // A child that has not connected yet cannot have written; anything else is the end.
      if (::GetLastError() != ERROR_PIPE_LISTENING)
        outputClosed_ = true;
      continue;
    }
    outputBuffer_.append(h.chunk, count);
  }
}

void ChildProcess::Terminate() {
  if (reaped_)
    return;
  // A child that cannot take the request is ended by Stop's kill after the grace period.
  win::RequestStop(static_cast<DWORD>(pid_));
}

void ChildProcess::Kill() {
  if (!reaped_)
    ::TerminateProcess(handles_->process.Get(), kKilledExitCode);
}

bool ChildProcess::Reap(bool block) {
  if (reaped_)
    return true;
  if (::WaitForSingleObject(handles_->process.Get(), block ? INFINITE : 0) != WAIT_OBJECT_0)
    return false;
  DWORD code = 0;
  exitCode_ = ::GetExitCodeProcess(handles_->process.Get(), &code) ? static_cast<int>(code) : -1;
  reaped_ = true;
  return true;
}

std::optional<int> ChildProcess::WaitExit(Clock::time_point deadline) {
  while (!Reap(false)) {
    if (Clock::now() >= deadline)
      return std::nullopt;
    ::WaitForSingleObject(handles_->process.Get(), MillisecondsUntil(deadline));
  }
  return exitCode_;
}

int ChildProcess::Stop(std::chrono::milliseconds grace) {
  Terminate();
  if (auto code = WaitExit(Clock::now() + grace))
    return *code;
  Kill();
  Reap(true);
  return exitCode_;
}

bool ChildProcess::Running() {
  return !Reap(false);
}

std::vector<int> FindProcessesByName(std::string_view name) {
  std::vector<int> found;
  const win::UniqueHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot.Valid())
    return found;
  // Program files carry ".exe"; the name asked for may or may not.
  std::wstring wanted = win::Widen(name);
  auto lower = [](std::wstring text) {
    for (wchar_t& c : text)
      c = static_cast<wchar_t>(std::towlower(c));
    return text;
  };
  wanted = lower(wanted);
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = ::Process32FirstW(snapshot.Get(), &entry); more;
       more = ::Process32NextW(snapshot.Get(), &entry)) {
    const std::wstring exe = lower(entry.szExeFile);
    if (exe == wanted || exe == wanted + L".exe")
      found.push_back(static_cast<int>(entry.th32ProcessID));
  }
  return found;
}

bool TerminateProcess(int pid, std::chrono::milliseconds grace) {
  const win::UniqueHandle process(
      ::OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, static_cast<DWORD>(pid)));
  if (!process.Valid())
    return ::GetLastError() == ERROR_INVALID_PARAMETER;  // no such process: gone
  win::RequestStop(static_cast<DWORD>(pid));
  if (::WaitForSingleObject(process.Get(), MillisecondsUntil(Clock::now() + grace)) ==
      WAIT_OBJECT_0) {
    return true;
  }
  ::TerminateProcess(process.Get(), kKilledExitCode);
  return ::WaitForSingleObject(process.Get(), 5000) == WAIT_OBJECT_0;
}

}  // namespace varlo::platform
