// Messages sent to actors.
//
// `ActorData` is the base of every message. A `WaitableActorData<T>` carries a promise: the
// sender takes the future before sending and blocks on it; the actor's handler fulfils the
// promise once, with a value or with an exception. `ActorDataPackage` is what travels through
// the actor's pool for one send.
#ifndef RAVCORE_ACTOR_ACTOR_DATA_H_
#define RAVCORE_ACTOR_ACTOR_DATA_H_

#include <exception>
#include <future>
#include <memory>
#include <string>
#include <utility>

namespace ravcore::actor {

class ActorData {
 public:
  virtual ~ActorData() = default;
};

template <typename T>
class WaitableActorData : public ActorData {
 public:
  std::future<T> GetFuture() { return promise_.get_future(); }

  template <typename... V>
  void SetValue(V&&... value) {
    promise_.set_value(std::forward<V>(value)...);
  }
  void SetException(std::exception_ptr error) { promise_.set_exception(std::move(error)); }

 private:
  std::promise<T> promise_;
};

struct ActorDataPackage {
  std::shared_ptr<ActorData> data;
  std::string typeName;  // the dynamic type of *data
};

}  // namespace ravcore::actor

#endif  // RAVCORE_ACTOR_ACTOR_DATA_H_
