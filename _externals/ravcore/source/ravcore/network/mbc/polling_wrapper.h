// The top layer of a message stack: a thread that reads the layers below continuously and
// publishes each message.
//
// After `Start` the polling thread reads; when nothing has arrived it waits for data below
// (`WaitForData`) and reads again as soon as some comes, or after the idle interval (100 ms) at
// the latest. Each message goes to the `messages` observers, on the polling thread. The first
// exception from a read or an observer goes to the `errors` observers (as an exception_ptr, so
// that its type and text survive; rethrow it inside the observer, on the polling thread, to
// look at it) and ends the thread; it is not restarted. Subscribe before `Start`. `Write` forwards
// to the layer below on the caller's thread. The destructor ends a pending wait at once, then joins
// the thread (after the read or the observer call in progress), so it must not run on the polling
// thread itself.
#ifndef RAVCORE_NETWORK_MBC_POLLING_WRAPPER_H_
#define RAVCORE_NETWORK_MBC_POLLING_WRAPPER_H_

#include <atomic>
#include <chrono>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/pipe/pipe_wait.h"
#include "ravcore/network/mbc/interfaces.h"
#include "ravcore/subject.h"

namespace ravcore::network::mbc {

class PollingWrapper : public IMessageWriter, public IWrapper {
 public:
  static constexpr std::chrono::milliseconds kIdleInterval{100};

  explicit PollingWrapper(std::chrono::milliseconds idleInterval = kIdleInterval);
  ~PollingWrapper() override;

  void Write(const Message& message) override;
  void WriteBatch(std::span<const Message> messages) override {
    lowerWriter_->WriteBatch(messages);
  }

  std::shared_ptr<IMessageReader> GetReader() override { return lowerReader_; }
  std::shared_ptr<IMessageWriter> GetWriter() override { return lowerWriter_; }
  void Attach(std::shared_ptr<IMessageReader> reader,
              std::shared_ptr<IMessageWriter> writer) override;

  // Starts the polling thread once; later calls do nothing.
  void Start();
  bool IsRunning() const;

  Subject<Message> messages;
  Subject<std::exception_ptr> errors;

 private:
  void Poll();

  std::shared_ptr<IMessageReader> lowerReader_;
  std::shared_ptr<IMessageWriter> lowerWriter_;
  const std::chrono::milliseconds idleInterval_;
  std::mutex startMutex_;
  std::thread thread_;
  std::atomic<bool> running_{false};
  varlo::platform::WakeEvent stop_;  // signalled once, by the destructor
};

}  // namespace ravcore::network::mbc

#endif  // RAVCORE_NETWORK_MBC_POLLING_WRAPPER_H_
