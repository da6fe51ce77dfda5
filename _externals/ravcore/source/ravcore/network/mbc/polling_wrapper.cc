#include "ravcore/network/mbc/polling_wrapper.h"

#include <algorithm>

namespace ravcore::network::mbc {

PollingWrapper::PollingWrapper(std::chrono::milliseconds idleInterval)
    : idleInterval_(idleInterval) {}

PollingWrapper::~PollingWrapper() {
  {
    std::lock_guard lock(stateMutex_);
    running_ = false;
  }
  wake_.notify_all();
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
  {
    std::lock_guard state(stateMutex_);
    running_ = true;
  }
  thread_ = std::thread([this] { Poll(); });
}

bool PollingWrapper::IsRunning() const {
  std::lock_guard lock(stateMutex_);
  return running_;
}

void PollingWrapper::Poll() {
  try {
    while (IsRunning()) {
      Message message = lowerReader_->Read();
      if (message.IsEmpty()) {
        const auto wait = lowerReader_->IsMidMessage()
                              ? std::min(kMidMessageInterval, idleInterval_)
                              : idleInterval_;
        std::unique_lock lock(stateMutex_);
        wake_.wait_for(lock, wait, [this] { return !running_; });
      } else {
        messages.Notify(message);
      }
    }
  } catch (...) {
    {
      std::lock_guard lock(stateMutex_);
      running_ = false;
    }
    try {
      errors.Notify(std::current_exception());
    } catch (...) {
      // An error observer that fails has nobody left to tell.
    }
  }
}

}  // namespace ravcore::network::mbc
