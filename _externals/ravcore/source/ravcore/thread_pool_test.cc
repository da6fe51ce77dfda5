#include "ravcore/thread_pool.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <stdexcept>
#include <string>
#include <vector>

#include "ravcore/subject.h"

namespace ravcore {
namespace {

TEST(ThreadPool, RunsEveryQueuedTaskBeforeDestructionReturnsAndRefusesTasksOnceStopped) {
  std::atomic<int> ran{0};
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  {
    ThreadPool pool(2);
    // Both workers are held up, so the other tasks are still queued when the pool goes.
    for (int i = 0; i < 2; ++i) {
      pool.enqueue([released, &ran] {
        released.wait();
        ++ran;
      });
    }
    for (int i = 0; i < 200; ++i)
      pool.enqueue([&ran] { ++ran; });
    release.set_value();
  }
  EXPECT_EQ(ran.load(), 202);

  ThreadPool stopped(1);
  stopped.Stop();
  try {
    stopped.enqueue([] {});
    FAIL() << "enqueue on a stopped pool succeeded";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "enqueue task on stopped thread pool");
  }
}

TEST(Subject, NotifiesInSubscriptionOrderOnlyThoseSubscribedBefore) {
  Subject<std::string> subject;
  subject.Notify("nobody listens");

  std::vector<std::string> seen;
  bool subscribedLate = false;
  subject.Subscribe([&](const std::string& v) { seen.push_back("a:" + v); });
  const auto id = subject.Subscribe([&](const std::string& v) {
    seen.push_back("b:" + v);
    if (!subscribedLate) {
      subscribedLate = true;
      subject.Subscribe([&](const std::string& w) { seen.push_back("c:" + w); });
    }
  });
  subject.Notify("1");
  subject.Notify("2");
  subject.Unsubscribe(id);
  subject.Notify("3");
  EXPECT_THAT(seen, testing::ElementsAre("a:1", "b:1", "a:2", "b:2", "c:2", "a:3", "c:3"));
}

}  // namespace
}  // namespace ravcore
