// The client end of a local named pipe as a byte stream.
//
// `PipeStream` is an actor over its own one-worker pool: every operation becomes a request
// that runs on that worker, so all system calls on the pipe happen on one thread, one at a
// time, in call order, while the caller blocks for the result. Any thread may call it.
//
// A failed read, write or availability check ends the connection: the handle is closed, the
// error subject is told the Windows error number (on the stream's thread, before the caller
// sees "Connection lost."), and the stream is unconnected until `Connect` succeeds again. Error
// observers must not wait for another request on the same stream. Every failure is a
// NetworkException.
//
// `WaitForData` is the one operation that runs on the caller's thread, not the stream's: it
// waits for the pipe to become readable without holding up the stream's reads and writes.
// Closing or breaking the stream ends every such wait before the handle is closed, and the
// handle is closed only once no wait uses it, so a wait never looks at a reused descriptor.
#ifndef RAVCORE_NETWORK_PIPE_STREAM_H_
#define RAVCORE_NETWORK_PIPE_STREAM_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <span>
#include <string>

#include "common/secure_bytes.h"
#include "platform/pipe/pipe_client.h"
#include "platform/pipe/pipe_listener.h"
#include "platform/pipe/pipe_wait.h"
#include "ravcore/actor/receive_actor.h"
#include "ravcore/network/istream.h"
#include "ravcore/subject.h"

namespace ravcore::network {

class PipeStream : public actor::ReceiveActor, public IStream {
 public:
  enum AccessMode : int { kReadOnly = 0, kWriteOnly = 1, kReadWrite = 2 };

  // How long `Connect` waits between attempts on a busy pipe, and how it waits. Tests shorten
  // the wait; production uses the defaults.
  struct Timing {
    std::chrono::milliseconds busyRetryInterval{1000};
    std::function<void(std::chrono::milliseconds)> sleep;  // null: sleep the thread
  };
  static constexpr int kBusyRetries = 30;

  PipeStream();
  explicit PipeStream(Timing timing);
  ~PipeStream() override;

  // Opens the pipe `name` (`\\.\pipe\NAME`, see platform/pipe). A busy pipe is tried again
  // kBusyRetries times. Failure: "Establishing connection failed." with the last error number;
  // the stream is unconnected afterwards, even if it was connected before.
  void Connect(const std::u16string& name);
  // Takes over a connection accepted by a service (platform::PipeListener), so that the
  // service's end of a pipe runs the same stream and message stack as the client's.
  void Adopt(varlo::platform::PipeConnection connection);
  void Close() override;
  // True when at least one byte can be read without blocking.
  bool IsDataAvailable();
  varlo::SecureBytes Read() override;
  int Write(std::span<const std::uint8_t> data, std::uint64_t offset,
            std::uint64_t length) override;
  int Write(std::span<const std::uint8_t> data) override;
  // Waits on the caller's thread (see above); true at once when the stream is not connected.
  bool WaitForData(std::chrono::milliseconds limit,
                   const varlo::platform::WakeEvent* stop) override;

  // Ends the connection as broken, as a failed system call would: the error subject is told
  // `code` and the handle is closed. For layers above that find the byte stream unusable.
  void Break(unsigned long code);

  // True while the pipe handle is open.
  bool IsConnected() const { return connected_.load(); }

  // Windows error numbers of failures that ended the connection.
  Subject<unsigned long> errorSubject;

 private:
  struct ConnectRequest;
  struct AdoptRequest;
  struct CloseRequest;
  struct IsDataAvailableRequest;
  struct ReadRequest;
  struct WriteRequest;
  struct BreakRequest;

  void HandleConnect(const std::u16string& name);
  std::size_t Available();
  varlo::SecureBytes HandleRead();
  int HandleWrite(std::span<const std::uint8_t> slice);
  void SetHandle(varlo::platform::PipeHandle handle);
  void CloseHandle();
  [[noreturn]] void Fail(unsigned long code);

  Timing timing_;
  // Written only by the worker, under handleMutex_; the worker reads it freely, waiters under
  // the mutex.
  varlo::platform::PipeHandle handle_ = varlo::platform::kInvalidPipeHandle;
  std::mutex handleMutex_;
  std::condition_variable waitersGone_;
  int waiters_ = 0;                     // WaitForData calls using handle_, under handleMutex_
  varlo::platform::WakeEvent closing_;  // signalled while the handle is being closed
  std::atomic<bool> connected_{false};
  const AccessMode accessMode_ = kReadWrite;
};

}  // namespace ravcore::network

#endif  // RAVCORE_NETWORK_PIPE_STREAM_H_
