#include "ravcore/network/pipe_stream.h"

#include <algorithm>
#include <climits>
#include <memory>
#include <new>
#include <stdexcept>
#include <thread>
#include <utility>

#include "ravcore/network/network_exception.h"

namespace ravcore::network {

namespace platform = varlo::platform;

namespace {

// How long one write request waits for room in a full pipe before it returns 0 bytes written
// and frees the stream's thread for reads; the writer then asks again.
constexpr int kWriteWaitMilliseconds = 20;

// Runs `work` and fulfils `request` with its result or its failure.
template <typename T, typename Work>
void Fulfil(actor::WaitableActorData<T>& request, Work&& work) {
  try {
    if constexpr (std::is_void_v<T>) {
      work();
      request.SetValue();
    } else {
      request.SetValue(work());
    }
  } catch (const NetworkException& error) {
    request.SetError(error);
  } catch (const std::bad_alloc& error) {
    request.SetError(error);
  } catch (const std::exception& error) {
    request.SetError(std::runtime_error(error.what()));
  } catch (...) {
    request.SetError(std::runtime_error("Unknown failure."));
  }
}

}  // namespace

struct PipeStream::ConnectRequest : actor::WaitableActorData<void> {
  explicit ConnectRequest(std::u16string n) : name(std::move(n)) {}
  std::u16string name;
};
struct PipeStream::AdoptRequest : actor::WaitableActorData<void> {
  explicit AdoptRequest(platform::PipeConnection c) : connection(std::move(c)) {}
  platform::PipeConnection connection;
};
struct PipeStream::CloseRequest : actor::WaitableActorData<void> {};
struct PipeStream::IsDataAvailableRequest : actor::WaitableActorData<bool> {};
struct PipeStream::ReadRequest : actor::WaitableActorData<varlo::SecureBytes> {};
struct PipeStream::WriteRequest : actor::WaitableActorData<int> {
  WriteRequest(std::span<const std::uint8_t> d, std::uint64_t o, std::uint64_t l)
      : data(d), offset(o), length(l) {}
  std::span<const std::uint8_t> data;  // the sender blocks until the request is done
  std::uint64_t offset;
  std::uint64_t length;
};
struct PipeStream::BreakRequest : actor::WaitableActorData<void> {
  explicit BreakRequest(unsigned long c) : code(c) {}
  unsigned long code;
};

PipeStream::PipeStream() : PipeStream(Timing{}) {}

PipeStream::PipeStream(Timing timing)
    : ReceiveActor(std::make_shared<ThreadPool>(1), "PipeStream"), timing_(std::move(timing)) {
  Receive<ConnectRequest>([this](const std::shared_ptr<ConnectRequest>& request) {
    Fulfil(*request, [&] { HandleConnect(request->name); });
  });
  Receive<AdoptRequest>([this](const std::shared_ptr<AdoptRequest>& request) {
    Fulfil(*request, [&] {
      CloseHandle();
      SetHandle(request->connection.Release());
    });
  });
  Receive<CloseRequest>([this](const std::shared_ptr<CloseRequest>& request) {
    Fulfil(*request, [&] { CloseHandle(); });
  });
  Receive<IsDataAvailableRequest>([this](const std::shared_ptr<IsDataAvailableRequest>& request) {
    Fulfil(*request, [&] { return Available() != 0; });
  });
  Receive<ReadRequest>([this](const std::shared_ptr<ReadRequest>& request) {
    Fulfil(*request, [&] { return HandleRead(); });
  });
  Receive<WriteRequest>([this](const std::shared_ptr<WriteRequest>& request) {
    Fulfil(*request, [&] {
      if (handle_ == platform::kInvalidPipeHandle) {
        throw NetworkException("Connection not established.");
      }
      if (accessMode_ != kWriteOnly && accessMode_ != kReadWrite) {
        throw NetworkException("Operation not permitted on current access mode.");
      }
      const std::uint64_t size = request->data.size();
      if (request->offset > size || request->length > size - request->offset) {
        throw NetworkException("Input data is out of range.");
      }
      if (request->length == 0)
        throw NetworkException("Input data is empty.");
      return HandleWrite(request->data.subspan(request->offset, request->length));
    });
  });
  Receive<BreakRequest>([this](const std::shared_ptr<BreakRequest>& request) {
    Fulfil(*request, [&] {
      if (handle_ == platform::kInvalidPipeHandle)
        return;
      CloseHandle();
      errorSubject.Notify(request->code);
    });
  });
}

PipeStream::~PipeStream() {
  StopExecutor();
  CloseHandle();
}

void PipeStream::Connect(const std::u16string& name) {
  Ask<void>(std::make_shared<ConnectRequest>(name));
}

void PipeStream::Adopt(platform::PipeConnection connection) {
  Ask<void>(std::make_shared<AdoptRequest>(std::move(connection)));
}

void PipeStream::Close() {
  try {
    Ask<void>(std::make_shared<CloseRequest>());
  } catch (const std::future_error&) {
    // A stream being destroyed closes its handle itself.
  }
}

bool PipeStream::IsDataAvailable() {
  return Ask<bool>(std::make_shared<IsDataAvailableRequest>());
}

varlo::SecureBytes PipeStream::Read() {
  return Ask<varlo::SecureBytes>(std::make_shared<ReadRequest>());
}

int PipeStream::Write(std::span<const std::uint8_t> data, std::uint64_t offset,
                      std::uint64_t length) {
  return Ask<int>(std::make_shared<WriteRequest>(data, offset, length));
}

int PipeStream::Write(std::span<const std::uint8_t> data) {
  return Write(data, 0, data.size());
}

bool PipeStream::WaitForData(std::chrono::milliseconds limit, const platform::WakeEvent* stop) {
  platform::PipeHandle handle;
  {
    std::lock_guard lock(handleMutex_);
    if (handle_ == platform::kInvalidPipeHandle)
      return true;
    handle = handle_;
    ++waiters_;
  }
  const platform::PipeWaitResult result =
      platform::WaitPipeReadable(handle, {&closing_, stop}, limit);
  {
    std::lock_guard lock(handleMutex_);
    --waiters_;
  }
  waitersGone_.notify_all();
  return result != platform::PipeWaitResult::kTimedOut;
}

void PipeStream::Break(unsigned long code) {
  Ask<void>(std::make_shared<BreakRequest>(code));
}

void PipeStream::HandleConnect(const std::u16string& name) {
  // An earlier connection is given up first, so that a failed attempt leaves the stream
  // unconnected rather than on the old pipe, and no handle leaks.
  CloseHandle();
  for (int retry = 0;; ++retry) {
    platform::PipeOpenResult result = platform::OpenPipe(name);
    if (result.error == 0) {
      SetHandle(result.handle);
      return;
    }
    if (result.error != platform::kErrorPipeBusy || retry == kBusyRetries) {
      throw NetworkException("Establishing connection failed.",
                             static_cast<std::uint32_t>(result.error));
    }
    if (timing_.sleep) {
      timing_.sleep(timing_.busyRetryInterval);
    } else {
      std::this_thread::sleep_for(timing_.busyRetryInterval);
    }
  }
}

std::size_t PipeStream::Available() {
  if (handle_ == platform::kInvalidPipeHandle)
    throw NetworkException("Connection not established.");
  if (accessMode_ != kReadOnly && accessMode_ != kReadWrite) {
    throw NetworkException("Operation not permitted on current access mode.");
  }
  platform::PipeIoResult peek = platform::PeekPipe(handle_);
  if (peek.error != 0)
    Fail(peek.error);
  return peek.count;
}

varlo::SecureBytes PipeStream::HandleRead() {
  const std::size_t available = Available();
  if (available == 0)
    return {};
  varlo::SecureBytes buffer(available);
  platform::PipeIoResult read = platform::ReadPipe(handle_, buffer);
  if (read.error != 0)
    Fail(read.error);
  buffer.resize(read.count);
  return buffer;
}

int PipeStream::HandleWrite(std::span<const std::uint8_t> slice) {
  slice = slice.first(std::min<std::size_t>(slice.size(), INT_MAX));
  platform::PipeIoResult written = platform::WritePipe(handle_, slice, kWriteWaitMilliseconds);
  if (written.error != 0)
    Fail(written.error);
  return static_cast<int>(written.count);
}

void PipeStream::SetHandle(platform::PipeHandle handle) {
  std::lock_guard lock(handleMutex_);
  handle_ = handle;
  connected_ = handle != platform::kInvalidPipeHandle;
}

void PipeStream::CloseHandle() {
  if (handle_ == platform::kInvalidPipeHandle)
    return;
  // Waits in progress end at once and let go of the handle before it is closed; new ones see
  // the signalled event, then the invalid handle.
  std::unique_lock lock(handleMutex_);
  closing_.Signal();
  waitersGone_.wait(lock, [this] { return waiters_ == 0; });
  platform::ClosePipe(handle_);
  handle_ = platform::kInvalidPipeHandle;
  connected_ = false;
  closing_.Reset();
}

void PipeStream::Fail(unsigned long code) {
  // Closed before the observers run, so that they see an unconnected stream.
  CloseHandle();
  errorSubject.Notify(code);
  throw NetworkException("Connection lost.", static_cast<std::uint32_t>(code));
}

}  // namespace ravcore::network
