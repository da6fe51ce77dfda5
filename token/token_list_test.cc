// The token list over fake parts; cards are one card image under several UIDs.
#include "token/token_list.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <future>
#include <numeric>

#include "apps/cardimage/card_image_writer.h"
#include "card/testing/log_capture.h"
#include "common/module_exception.h"
#include "token/testing/fake_parts.h"

namespace varlo {
namespace {

using ::testing::ElementsAre;
using testing::LogCapture;
using testing::LogPattern;

const auto* const kLogEnvironment =
    ::testing::AddGlobalTestEnvironment(new testing::LogCaptureEnvironment);
constexpr std::uint64_t kTooLong = 0x0100000000000002;  // its low seven bytes are UID 2's

DesfireData Card(std::uint64_t uid) {
  static const DesfireData image(1, cardimage::MakeCardImage({1, "T", {'0'}, {}, {}, {}}).files);
  DesfireData card = image;
  card.uid = uid;
  return card;
}

class TokenListTest : public ::testing::Test {
 protected:
  void Start() {
    list_ = std::make_unique<TokenList>(parts_->Relay(), testing::FakeParts(parts_));
    list_->StartMonitoring();
  }
  bool WaitFor(int events, std::size_t calls) {
    return parts_->WaitFor(
        [&] { return parts_->events == events && parts_->calls.size() == calls; });
  }
  std::vector<std::uint64_t> Uids() {
    std::vector<std::uint64_t> uids;
    for (const SessionId& id : list_->GetList())
      uids.push_back(
          std::accumulate(id.begin(), id.end(), 0ull, [](auto u, auto b) { return u << 8 | b; }));
    return uids;
  }

  std::shared_ptr<testing::PartsRecord> parts_ = std::make_shared<testing::PartsRecord>();
  std::unique_ptr<TokenList> list_;
};

TEST_F(TokenListTest, CardsToggleTokensAndTheServiceHearsAfterEachPass) {
  std::promise<void> gate;  // card 9's store holds the worker until it opens
  parts_->onStore = [this, opened = gate.get_future().share()] {
    if (parts_->calls.back() == "store 9")
      opened.wait();
  };
  Start();
  // One at a time: the pool's tasks may queue two cards presented together in either order.
  for (auto [uid, events] : std::initializer_list<std::pair<std::uint64_t, int>>{
           {3, 1}, {0, 1}, {1, 2}, {kTooLong, 2}, {2, 3}, {1, 4}}) {
    parts_->present(Card(uid));
    ASSERT_TRUE(WaitFor(events, events));
  }
  EXPECT_THAT(Uids(), ElementsAre(2, 3));

  // While the worker sends, the list answers; two reads of card 5 wait for the next batch.
  parts_->present(Card(9));
  ASSERT_TRUE(WaitFor(5, 5));
  auto answer = std::async(std::launch::async, [&] { return list_->GetList(); });
  const bool answered = answer.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
  const auto mark = LogCapture::Install().Mark();
  parts_->present(Card(5));
  parts_->present(Card(5));
  const LogPattern queued{LogLevel::Debug, "Desfire", "\t\t[END TokenList::HandleNewPicc]"};
  EXPECT_TRUE(LogCapture::Install().WaitForLines(mark, {queued, queued}));
  gate.set_value();
  EXPECT_TRUE(answered);
  ASSERT_TRUE(WaitFor(7, 7));
  EXPECT_THAT(parts_->calls, ElementsAre("store 3", "store 1", "store 2", "remove 1", "store 9",
                                         "store 5", "remove 5"));
  EXPECT_EQ(parts_->callThreads.size(), 1u);
  EXPECT_FALSE(parts_->callThreads.contains(std::this_thread::get_id()));
}

TEST_F(TokenListTest, StartUpRestoresUsableStoredTokensUnlessOneIsDuplicated) {
  struct Case {
    std::vector<std::uint64_t> stored, restored;
    int events;  // once started
    bool connected = true;
  };
  for (const Case& c : {Case{{2, 1}, {1, 2}, 2}, Case{{1, 2, 1}, {}, 4},
                        Case{{0, kTooLong, 3}, {3}, 1}, Case{{1}, {}, 0, false}}) {
    parts_ = std::make_shared<testing::PartsRecord>();
    parts_->connected = c.connected;
    parts_->clearWhileBuilding = !c.connected;  // a clear command as early as can be
    for (std::uint64_t uid : c.stored)
      parts_->stored.push_back(Card(uid));
    const auto mark = LogCapture::Install().Mark();
    Start();
    if (!c.connected) {
      EXPECT_TRUE(LogCapture::Install().WaitForLines(
          mark, {{LogLevel::Debug, "TokenList", "TokenList::OnClearCmd Clearing token list."}}));
    }
    EXPECT_EQ(parts_->events, c.events);
    EXPECT_EQ(Uids(), c.restored);
    parts_->present(Card(3));  // toggles a restored token like any other
    ASSERT_TRUE(WaitFor(c.events + 1, 1));
    EXPECT_EQ(parts_->calls[0],
              std::count(c.restored.begin(), c.restored.end(), 3) ? "remove 3" : "store 3");
    list_.reset();
    const LogPattern warning{LogLevel::Warn, "TokenList",
                             "TokenList::StartMonitoring Waiting for localservice connection "
                             "timed out."};
    EXPECT_EQ(std::ranges::count_if(LogCapture::Install().LinesSince(mark),
                                    [&](auto& line) { return warning.Matches(line); }),
              c.connected ? 0 : 1);
  }
}

TEST_F(TokenListTest, ClearCommandDropsEveryTokenAHeldOneWhenItsHolderLetsGo) {
  Start();
  parts_->present(Card(1));
  parts_->present(Card(2));
  ASSERT_TRUE(WaitFor(2, 2));
  const ModuleSessionId one{7, {0, 0, 0, 0, 0, 0, 1}};
  std::shared_ptr<Token> held = list_->GetToken(&one);
  parts_->clear();
  ASSERT_TRUE(WaitFor(3, 2));                            // token 2 released, token 1 held
  EXPECT_THROW(list_->GetToken(&one), ModuleException);  // "Token list is empty."
  held.reset();
  EXPECT_EQ(parts_->events, 4);
}

TEST_F(TokenListTest, TeardownWaitsForTheSendingWorkerAndDropsQueuedCards) {
  parts_->onStore = [this] {
    parts_->WaitFor([&] { return parts_->monitorGone; });
    // Were the service destroyed before the worker left, it would be now.
    parts_->WaitFor([&] { return parts_->serviceGone; }, std::chrono::milliseconds(300));
  };
  Start();
  parts_->present(Card(1));
  ASSERT_TRUE(WaitFor(1, 1));
  parts_->present(Card(2));  // still queued when the list goes
  list_.reset();
  EXPECT_FALSE(parts_->usedAfterGone);
  EXPECT_EQ(parts_->events, 2);
  EXPECT_THAT(parts_->calls, ElementsAre("store 1"));
}

}  // namespace
}  // namespace varlo
