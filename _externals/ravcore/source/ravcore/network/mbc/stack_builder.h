// Assembles a message stack from the bottom up.
//
// Each `Add<T>(args...)` appends an entry that, at `Build`, constructs a T from copies of the
// arguments, attaches it to the layer below and then calls the entry's configure callback, if
// any, with the new wrapper (for instance to run a handshake or start a thread before the next
// layer exists). The built `Stack` is read and written at its topmost wrapper. An exception
// from a constructor, an `Attach` or a callback ends the build and reaches the caller. A
// builder serves one build.
#ifndef RAVCORE_NETWORK_MBC_STACK_BUILDER_H_
#define RAVCORE_NETWORK_MBC_STACK_BUILDER_H_

#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include "ravcore/network/mbc/interfaces.h"

namespace ravcore::network::mbc {

class StackBuilder {
 public:
  template <typename T>
  class StackEntry : public IStackEntry {
   public:
    using Factory = std::function<std::shared_ptr<T>()>;
    using Callback = std::function<void(const std::shared_ptr<T>&)>;

    explicit StackEntry(Factory factory) : factory_(std::move(factory)) {}

    // Sets the callback run with the new wrapper right after it is attached.
    StackEntry& Configure(Callback callback) {
      callback_ = std::move(callback);
      return *this;
    }

    std::shared_ptr<IWrapper> Create(std::shared_ptr<IMessageReader> lowerReader,
                                     std::shared_ptr<IMessageWriter> lowerWriter) override {
      std::shared_ptr<T> wrapper = factory_();
      wrapper->Attach(std::move(lowerReader), std::move(lowerWriter));
      if (callback_)
        callback_(wrapper);
      return wrapper;
    }

   private:
    Factory factory_;
    Callback callback_;
  };

  class Stack : public IStack {
   public:
    // `wrappers` topmost first.
    explicit Stack(std::vector<std::shared_ptr<IWrapper>> wrappers);
    ~Stack() override;

    Message Read() override;
    // The top reader's wait; a stack without one waits like any reader that cannot tell.
    bool WaitForData(std::chrono::milliseconds limit,
                     const varlo::platform::WakeEvent* stop) override;
    void Write(const Message& message) override;
    // Drops the wrappers, topmost first.
    void Clear();

   private:
    std::vector<std::shared_ptr<IWrapper>> wrappers_;
    std::shared_ptr<IMessageReader> topReader_;
    std::shared_ptr<IMessageWriter> topWriter_;
  };

  template <typename T, typename... Args>
  StackEntry<T>& Add(Args... args) {
    auto entry =
        std::make_shared<StackEntry<T>>([args...] { return std::make_shared<T>(args...); });
    entries_.push_back(entry);
    return *entry;
  }

  std::unique_ptr<IStack> Build();

 private:
  std::vector<std::shared_ptr<IStackEntry>> entries_;
};

}  // namespace ravcore::network::mbc

#endif  // RAVCORE_NETWORK_MBC_STACK_BUILDER_H_
