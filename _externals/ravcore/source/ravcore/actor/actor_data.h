// Messages sent to actors.
//
// `ActorData` is the base of every message. A `WaitableActorData<T>` carries a promise: the
// sender takes the future before sending and blocks on it; the actor's handler fulfils the
// promise once, with a value or with an exception. `ActorDataPackage` is what travels through
// the actor's pool for one send.
#ifndef RAVCORE_ACTOR_ACTOR_DATA_H_
#define RAVCORE_ACTOR_ACTOR_DATA_H_

#include <exception>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <type_traits>
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

  // Fulfils the request with a failure: the waiting sender throws a copy of `error` on its own
  // thread. The exception travels as a value, not as a std::exception_ptr, so no exception
  // object is shared between threads.
  template <typename E>
  void SetError(const E& error) {
    rethrow_ = [error] { throw error; };
    if constexpr (std::is_void_v<T>) {
      promise_.set_value();
    } else {
      promise_.set_value(T{});
    }
  }

  // Waits for the handler and returns its value or throws its failure.
  T Wait(std::future<T>& result) {
    if constexpr (std::is_void_v<T>) {
      result.get();
      if (rethrow_)
        rethrow_();
    } else {
      T value = result.get();
      if (rethrow_)
        rethrow_();
      return value;
    }
  }

 private:
  std::promise<T> promise_;
  std::function<void()> rethrow_;  // written before the promise is fulfilled
};

struct ActorDataPackage {
  std::shared_ptr<ActorData> data;
  std::string typeName;  // the dynamic type of *data
};

}  // namespace ravcore::actor

#endif  // RAVCORE_ACTOR_ACTOR_DATA_H_
