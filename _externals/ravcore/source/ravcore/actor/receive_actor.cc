#include "ravcore/actor/receive_actor.h"

#include <stdexcept>
#include <utility>

namespace ravcore::actor {

ReceiveActor::ReceiveActor(std::shared_ptr<ThreadPool> executor, std::string name)
    : name_(std::move(name)), executor_(std::move(executor)) {}

ReceiveActor::~ReceiveActor() {
  StopExecutor();
}

void ReceiveActor::Send(std::shared_ptr<ActorData> message) {
  Post(std::move(message));
}

bool ReceiveActor::Post(std::shared_ptr<ActorData> message) {
  if (!message) {
    return false;
  }
  const ActorData& data = *message;  // typeid then evaluates no call, only the object
  ActorDataPackage package{message, typeid(data).name()};
  try {
    executor_->enqueue([this, package = std::move(package)] { Dispatch(package); });
    return true;
  } catch (const std::runtime_error&) {
    return false;  // a stopped actor takes no more messages
  }
}

void ReceiveActor::StopExecutor() {
  if (executor_)
    executor_->Stop();
}

void ReceiveActor::Dispatch(const ActorDataPackage& package) {
  std::vector<Entry> matching;
  {
    std::lock_guard lock(handlersMutex_);
    for (const Entry& entry : handlers_) {
      if (entry.typeName == package.typeName)
        matching.push_back(entry);
    }
  }
  current_ = package;
  for (const Entry& entry : matching) {
    if (entry.predicate(package.data))
      entry.handler(package.data);
  }
  current_ = {};
}

}  // namespace ravcore::actor
