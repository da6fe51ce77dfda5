#include "ravcore/actor/receive_actor.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

namespace ravcore::actor {
namespace {

struct Note : ActorData {
  explicit Note(int v) : value(v) {}
  int value;
};
struct Square : WaitableActorData<int> {
  explicit Square(int v) : value(v) {}
  int value;
};
struct Unknown : ActorData {};

// Records what it handles and whether two handlers ever overlapped.
class RecordingActor : public ReceiveActor {
 public:
  RecordingActor() : ReceiveActor(std::make_shared<ThreadPool>(1), "recorder") {
    Receive<Note>([this](const std::shared_ptr<Note>& note) { Enter("note", note->value); });
    Receive<Note>([this](const std::shared_ptr<Note>& note) { Enter("odd", note->value); },
                  [](const std::shared_ptr<Note>& note) { return note->value % 2 != 0; });
    Receive<Square>([this](const std::shared_ptr<Square>& request) {
      Enter("square", request->value);
      if (request->value < 0) {
        request->SetError(std::invalid_argument("negative"));
      } else {
        request->SetValue(request->value * request->value);
      }
    });
  }
  ~RecordingActor() override { StopExecutor(); }

  void Enter(const char* kind, int value) {
    if (inside_.fetch_add(1) != 0)
      overlapped_ = true;
    {
      std::lock_guard lock(mutex_);
      handled_.push_back(std::string(kind) + std::to_string(value));
    }
    std::this_thread::yield();  // widen the window in which an overlap would show
    inside_.fetch_sub(1);
  }

  std::vector<std::string> Handled() {
    std::lock_guard lock(mutex_);
    return handled_;
  }
  bool Overlapped() const { return overlapped_.load(); }
  void Stop() { StopExecutor(); }

 private:
  std::atomic<int> inside_{0};
  std::atomic<bool> overlapped_{false};
  std::mutex mutex_;
  std::vector<std::string> handled_;
};

TEST(ReceiveActor, HandlesMessagesInSendOrderThroughMatchingHandlersOnly) {
  RecordingActor actor;
  actor.Send(std::make_shared<Note>(1));
  actor.Send(std::make_shared<Unknown>());  // no handler: dropped
  actor.Send(std::make_shared<Note>(2));
  EXPECT_EQ(actor.Ask<int>(std::make_shared<Square>(3)), 9);
  EXPECT_THAT(actor.Handled(), testing::ElementsAre("note1", "odd1", "note2", "square3"));
}

TEST(ReceiveActor, OneWorkerNeverHandlesTwoRequestsAtOnce) {
  RecordingActor actor;
  std::vector<std::thread> senders;
  std::atomic<int> wrong{0};
  for (int t = 0; t < 4; ++t) {
    senders.emplace_back([&, t] {
      for (int i = 0; i < 100; ++i) {
        const int v = t * 1000 + i;
        if (actor.Ask<int>(std::make_shared<Square>(v)) != v * v)
          ++wrong;
      }
    });
  }
  for (auto& s : senders)
    s.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_FALSE(actor.Overlapped());
  // Each sender's requests were handled in the order it sent them.
  std::vector<int> last(4, -1);
  for (const std::string& entry : actor.Handled()) {
    const int v = std::stoi(entry.substr(6));
    EXPECT_GT(v % 1000, last[v / 1000]);
    last[v / 1000] = v % 1000;
  }
}

TEST(ReceiveActor, StoredExceptionReachesTheWaitingCallerAndStoppedActorDropsMessages) {
  RecordingActor actor;
  EXPECT_THROW(actor.Ask<int>(std::make_shared<Square>(-1)), std::invalid_argument);
  actor.Stop();
  actor.Send(std::make_shared<Note>(5));  // dropped without a word
  EXPECT_THROW(actor.Ask<int>(std::make_shared<Square>(2)), std::future_error);
  EXPECT_THAT(actor.Handled(), testing::ElementsAre("square-1"));
}

}  // namespace
}  // namespace ravcore::actor
