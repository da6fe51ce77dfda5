// Actors: objects that handle typed messages one at a time on their own thread pool.
//
// A concrete actor registers one handler per message type in its constructor (`Receive<T>`).
// `Send` never blocks on the handling: it posts the message to the actor's pool, where the
// dispatcher calls, in registration order, every handler registered for the message's dynamic
// type whose predicate accepts it. A message of an unregistered type, or one sent after the
// pool has stopped, is dropped. Over a pool of one worker, messages are handled strictly one
// at a time in send order.
//
// A concrete actor must call `StopExecutor` in its destructor, so that messages still queued
// are handled while the whole object exists, and must not be destroyed from its own handler.
#ifndef RAVCORE_ACTOR_RECEIVE_ACTOR_H_
#define RAVCORE_ACTOR_RECEIVE_ACTOR_H_

#include <exception>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <typeinfo>
#include <vector>

#include "ravcore/actor/actor_data.h"
#include "ravcore/thread_pool.h"

namespace ravcore::actor {

class IActor {
 public:
  virtual ~IActor() = default;
  virtual void Send(std::shared_ptr<ActorData> message) = 0;
  virtual const std::string& GetName() const = 0;
};

class ReceiveActor : public IActor {
 public:
  explicit ReceiveActor(std::shared_ptr<ThreadPool> executor, std::string name = {});
  ~ReceiveActor() override;

  void Send(std::shared_ptr<ActorData> message) override;
  const std::string& GetName() const override { return name_; }

  // Sends `request` and blocks until its handler has fulfilled it; returns its value or
  // throws its error. A request dropped unhandled gives std::future_error.
  template <typename T>
  T Ask(std::shared_ptr<WaitableActorData<T>> request) {
    std::future<T> result = request->GetFuture();
    if (!Post(request))
      throw std::future_error(std::future_errc::broken_promise);
    return request->Wait(result);
  }

 protected:
  using Handler = std::function<void(const std::shared_ptr<ActorData>&)>;
  using Predicate = std::function<bool(const std::shared_ptr<ActorData>&)>;

  // Registers a handler for messages of type T (exactly T, not types derived from it).
  template <typename T>
  void Receive(std::function<void(const std::shared_ptr<T>&)> handler,
               std::function<bool(const std::shared_ptr<T>&)> predicate = nullptr) {
    Entry entry;
    entry.typeName = typeid(T).name();
    entry.handler = [handler = std::move(handler)](const std::shared_ptr<ActorData>& message) {
      handler(std::static_pointer_cast<T>(message));
    };
    entry.predicate = [predicate = std::move(predicate)](const std::shared_ptr<ActorData>& m) {
      return !predicate || predicate(std::static_pointer_cast<T>(m));
    };
    std::lock_guard lock(handlersMutex_);
    handlers_.push_back(std::move(entry));
  }

  // Lets the pool handle what is queued and joins it; later sends are dropped.
  void StopExecutor();

  // Queues the message for dispatch; false when the pool has stopped.
  bool Post(std::shared_ptr<ActorData> message);

 private:
  struct Entry {
    std::string typeName;
    Predicate predicate;
    Handler handler;
  };

  void Dispatch(const ActorDataPackage& package);

  std::string name_;
  std::vector<Entry> handlers_;
  std::mutex handlersMutex_;
  ActorDataPackage current_;  // the package being handled; touched only by the pool's worker
  std::shared_ptr<ThreadPool> executor_;
};

}  // namespace ravcore::actor

#endif  // RAVCORE_ACTOR_RECEIVE_ACTOR_H_
