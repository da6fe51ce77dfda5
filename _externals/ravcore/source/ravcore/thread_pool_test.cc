#include "ravcore/thread_pool.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "ravcore/subject.h"

namespace ravcore {
namespace {

TEST(ThreadPool, RunsEveryQueuedTaskBeforeDestructionReturns) {
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
}

TEST(ThreadPool, RefusesTasksOnceStoppedWithTheFixedText) {
  ThreadPool pool(1);
  pool.Stop();
  try {
    pool.enqueue([] {});
    FAIL() << "enqueue on a stopped pool succeeded";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "enqueue task on stopped thread pool");
  }
  pool.Stop();  // a second stop is harmless
}

TEST(ThreadPool, FutureCarriesResultOrExceptionAndOneWorkerKeepsOrder) {
  ThreadPool pool(1);
  std::vector<int> order;
  std::vector<std::future<void>> done;
  for (int i = 0; i < 50; ++i)
    done.push_back(pool.enqueue([&order, i] { order.push_back(i); }));
  auto sum = pool.enqueue([](int a, int b) { return a + b; }, 2, 3);
  auto failing = pool.enqueue([]() -> int { throw std::logic_error("task failed"); });
  for (auto& f : done)
    f.get();
  EXPECT_EQ(sum.get(), 5);
  EXPECT_THROW(failing.get(), std::logic_error);
  ASSERT_EQ(order.size(), 50u);
  for (int i = 0; i < 50; ++i)
    EXPECT_EQ(order[i], i);
}

TEST(Subject, NotifiesInSubscriptionOrderAndOnlyThoseSubscribedBefore) {
  Subject<std::string> subject;
  subject.Notify("nobody listens");  // no observers: nothing happens

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

TEST(Subject, ObserverExceptionReachesTheNotifier) {
  Subject<int> subject;
  int later = 0;
  subject.Subscribe([](int) { throw std::runtime_error("observer failed"); });
  subject.Subscribe([&](int) { ++later; });
  EXPECT_THROW(subject.Notify(1), std::runtime_error);
  EXPECT_EQ(later, 0);
}

}  // namespace
}  // namespace ravcore
