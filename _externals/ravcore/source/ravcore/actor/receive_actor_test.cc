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

// A one-worker actor that records what it handles and whether two handlers ever overlapped.
class RecordingActor : public ReceiveActor {
 public:
  RecordingActor() : ReceiveActor(std::make_shared<ThreadPool>(1), "recorder") {
    Receive<Note>([this](const std::shared_ptr<Note>& note) { Enter(note->value); });
    Receive<Note>([this](const std::shared_ptr<Note>& note) { Enter(-note->value); },
                  [](const std::shared_ptr<Note>& note) { return note->value % 2 != 0; });
    Receive<Square>([this](const std::shared_ptr<Square>& request) {
      Enter(request->value);
      if (request->value < 0) {
        request->SetError(std::invalid_argument("negative"));
      } else {
        request->SetValue(request->value * request->value);
      }
    });
  }
  ~RecordingActor() override { StopExecutor(); }
  using ReceiveActor::StopExecutor;

  void Enter(int value) {
    if (inside_.fetch_add(1) != 0)
      overlapped = true;
    {
      std::lock_guard lock(mutex_);
      handled_.push_back(value);
    }
    std::this_thread::yield();  // widen the window in which an overlap would show
    inside_.fetch_sub(1);
  }
  std::vector<int> Handled() {
    std::lock_guard lock(mutex_);
    return handled_;
  }

  std::atomic<bool> overlapped{false};

 private:
  std::atomic<int> inside_{0};
  std::mutex mutex_;
  std::vector<int> handled_;
};

TEST(ReceiveActor, OneWorkerHandlesRequestsInSendOrderNeverTwoAtOnce) {
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
  EXPECT_FALSE(actor.overlapped);
  std::vector<int> last(4, -1);  // each sender's requests in the order it sent them
  for (int v : actor.Handled()) {
    EXPECT_GT(v % 1000, last[v / 1000]);
    last[v / 1000] = v % 1000;
  }
}

TEST(ReceiveActor, DispatchesByTypeAndPredicateCarriesFailuresAndDropsAfterStop) {
  RecordingActor actor;
  actor.Send(std::make_shared<Note>(1));
  actor.Send(std::make_shared<Unknown>());  // no handler: dropped
  actor.Send(std::make_shared<Note>(2));
  EXPECT_THROW(actor.Ask<int>(std::make_shared<Square>(-3)), std::invalid_argument);
  actor.StopExecutor();
  actor.Send(std::make_shared<Note>(5));  // dropped without a word
  EXPECT_THROW(actor.Ask<int>(std::make_shared<Square>(2)), std::future_error);  // not a hang
  EXPECT_THAT(actor.Handled(), testing::ElementsAre(1, -1, 2, -3));
}

}  // namespace
}  // namespace ravcore::actor
