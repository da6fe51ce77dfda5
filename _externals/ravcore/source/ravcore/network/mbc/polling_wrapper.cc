#include "ravcore/network/mbc/polling_wrapper.h"

namespace ravcore::network::mbc {

PollingWrapper::PollingWrapper(std::chrono::milliseconds idleInterval)
    : idleInterval_(idleInterval) {}

PollingWrapper::~PollingWrapper() {
  running_ = false;
  stop_.Signal();  // ends a wait for data at once
  std::lock_guard lock(startMutex_);
  if (thread_.joinable())
    thread_.join();
}

void PollingWrapper::Attach(std::shared_ptr<IMessageReader> reader,
                            std::shared_ptr<IMessageWriter> writer) {
  lowerReader_ = std::move(reader);
  lowerWriter_ = std::move(writer);
}

void PollingWrapper::Write(const Message& message) {
  lowerWriter_->Write(message);
}

void PollingWrapper::Start() {
  std::lock_guard lock(startMutex_);
  if (thread_.joinable())
    return;
  running_ = true;
  thread_ = std::thread([this] { Poll(); });
}

bool PollingWrapper::IsRunning() const {
  return running_;
}

void PollingWrapper::Poll() {
  try {
    while (running_) {
      Message message = lowerReader_->Read();
      if (!message.IsEmpty())
        messages.Notify(message);
      // Ends at once when the layers below hold or see more; a read that would find nothing
      // costs a trip to the stream's thread, a wait on the pipe does not.
      if (running_)
        lowerReader_->WaitForData(idleInterval_, &stop_);
    }
  } catch (...) {
    running_ = false;
    try {
      errors.Notify(std::current_exception());
    } catch (...) {
      // An error observer that fails has nobody left to tell.
    }
  }
}

}  // namespace ravcore::network::mbc
