// The top layer of a message stack: a thread that reads the layers below continuously and
// publishes each message.
//
// After `Start` the polling thread reads; when nothing has arrived it waits the idle interval
// (100 ms) and reads again, or only 1 ms while the layers below hold part of a message, so
// that a message whose pieces arrive apart is not held up by the idle wait. Each message goes to
// the `messages` observers, on the polling thread. The first exception from a read or an observer
// goes to the `errors` observers (as an exception_ptr, so that its type and text survive; rethrow
// it inside the observer, on the polling thread, to look at it) and ends the thread; it is not
// restarted. Subscribe before `Start`. `Write` forwards to the layer below on the caller's thread.
// The destructor stops and joins the thread, so it must not run on the polling thread itself.
#ifndef RAVCORE_NETWORK_MBC_POLLING_WRAPPER_H_
#define RAVCORE_NETWORK_MBC_POLLING_WRAPPER_H_

#include <chrono>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>

#include "ravcore/network/mbc/interfaces.h"
#include "ravcore/subject.h"

namespace ravcore::network::mbc {

class PollingWrapper : public IMessageWriter, public IWrapper {
 public:
  static constexpr std::chrono::milliseconds kIdleInterval{100};
  static constexpr std::chrono::milliseconds kMidMessageInterval{1};

  explicit PollingWrapper(std::chrono::milliseconds idleInterval = kIdleInterval);
  ~PollingWrapper() override;

  void Write(const Message& message) override;

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
  mutable std::mutex stateMutex_;
  std::condition_variable wake_;
  bool running_ = false;
};

}  // namespace ravcore::network::mbc

#endif  // RAVCORE_NETWORK_MBC_POLLING_WRAPPER_H_
