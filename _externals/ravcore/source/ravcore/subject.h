// A list of observers that a value is fanned out to.
//
// `Notify` calls every observer subscribed before it started, in subscription order, on the
// notifying thread, each with the same value; no lock is held during the calls, so an
// observer may subscribe or unsubscribe others. An exception from an observer leaves `Notify`
// and reaches the notifying thread; later observers are not called.
#ifndef RAVCORE_SUBJECT_H_
#define RAVCORE_SUBJECT_H_

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <utility>

namespace ravcore {

template <typename T>
class Subject {
 public:
  using Observer = std::function<void(const T&)>;

  // Returns the id that `Unsubscribe` takes.
  std::uint64_t Subscribe(Observer observer) {
    std::uint64_t id;
    {
      std::lock_guard lock(idMutex_);
      id = nextId_++;
    }
    std::lock_guard lock(observersMutex_);
    observers_.emplace(id, std::move(observer));
    return id;
  }

  void Unsubscribe(std::uint64_t id) {
    std::lock_guard lock(observersMutex_);
    observers_.erase(id);
  }

  void Notify(const T& value) const {
    std::map<std::uint64_t, Observer> snapshot;
    {
      std::lock_guard lock(observersMutex_);
      snapshot = observers_;
    }
    for (auto& [id, observer] : snapshot)
      observer(value);
  }

 private:
  std::mutex idMutex_;
  std::uint64_t nextId_ = 0;
  mutable std::mutex observersMutex_;
  std::map<std::uint64_t, Observer> observers_;
};

}  // namespace ravcore

#endif  // RAVCORE_SUBJECT_H_
