// The token list over a fake service and a fake reader monitor.
#include "token/token_list.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <future>

#include "apps/cardimage/card_image_writer.h"
#include "card/testing/log_capture.h"
#include "common/module_exception.h"
#include "token/testing/fake_parts.h"

namespace varlo {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using testing::LogCapture;
using testing::LogPattern;

const auto* const kLogEnvironment =
    ::testing::AddGlobalTestEnvironment(new testing::LogCaptureEnvironment);

constexpr std::uint64_t kTooLong = 0x0100000000000002;  // its low seven bytes are UID 2's

// A card read from a card image, under another UID.
DesfireData Card(std::uint64_t uid) {
  static const DesfireData image = [] {
    cardimage::TokenDescription token;
    token.uid = 0x04A1B2C3D4E5F6;
    token.label = "Token";
    token.pin = {'1', '2', '3', '4'};
    return DesfireData(token.uid, cardimage::MakeCardImage(token).files);
  }();
  DesfireData card = image;
  card.uid = uid;
  return card;
}

std::vector<SessionId> Blobs(std::initializer_list<std::uint64_t> uids) {
  std::vector<SessionId> blobs;
  for (std::uint64_t uid : uids)
    blobs.push_back(cardimage::UidBlob(uid));
  return blobs;
}

ModuleSessionId Record(std::uint64_t uid, std::uint32_t length = 7) {
  ModuleSessionId record{length, {}};
  const auto blob = cardimage::UidBlob(uid);
  std::copy(blob.begin(), blob.end(), record.id);
  return record;
}

class TokenListTest : public ::testing::Test {
 protected:
  void Start() {
    list_ = std::make_unique<TokenList>(parts_->Relay(), testing::FakeParts(parts_));
    list_->StartMonitoring();
  }
  bool WaitForEvents(int count) {
    return parts_->WaitFor([&] { return parts_->events == count; });
  }
  std::string GetTokenFailure(const ModuleSessionId* record) {
    try {
      list_->GetToken(record);
      return "found";
    } catch (const ModuleException& e) {
      return e.what();
    }
  }

  std::shared_ptr<testing::PartsRecord> parts_ = std::make_shared<testing::PartsRecord>();
  std::unique_ptr<TokenList> list_;
};

TEST_F(TokenListTest, CardsToggleTokensAndTheServiceHearsAfterEachPass) {
  // Card 9's store holds the worker until the gate opens.
  std::promise<void> gate;
  std::shared_future<void> opened = gate.get_future().share();
  parts_->onStore = [this, opened] {
    if (parts_->calls.back() == "store 9")
      opened.wait();
  };
  Start();
  for (std::uint64_t uid :
       {std::uint64_t{3}, std::uint64_t{0}, std::uint64_t{1}, kTooLong, std::uint64_t{2}})
    parts_->present(Card(uid));
  ASSERT_TRUE(WaitForEvents(3));
  EXPECT_EQ(list_->GetList(), Blobs({1, 2, 3}));
  parts_->present(Card(1));
  ASSERT_TRUE(WaitForEvents(4));
  EXPECT_EQ(list_->GetList(), Blobs({2, 3}));

  // While the worker sends, the list answers; two reads of card 5 land in the next batch.
  parts_->present(Card(9));
  ASSERT_TRUE(parts_->WaitFor([&] { return parts_->calls.size() == 5; }));
  auto answer = std::async(std::launch::async, [&] { return list_->GetList(); });
  const bool answered = answer.wait_for(5s) == std::future_status::ready;
  const auto mark = LogCapture::Install().Mark();
  parts_->present(Card(5));
  parts_->present(Card(5));
  const LogPattern queued{LogLevel::Debug, "Desfire", "\t\t[END TokenList::HandleNewPicc]"};
  EXPECT_TRUE(LogCapture::Install().WaitForLines(mark, {queued, queued}));
  gate.set_value();
  EXPECT_TRUE(answered);
  ASSERT_TRUE(WaitForEvents(7));
  ASSERT_TRUE(parts_->WaitFor([&] { return parts_->calls.size() == 7; }));
  EXPECT_THAT(parts_->calls, ElementsAre("store 3", "store 1", "store 2", "remove 1", "store 9",
                                         "store 5", "remove 5"));
  EXPECT_EQ(parts_->callThreads.size(), 1u);
  EXPECT_EQ(parts_->callThreads.count(std::this_thread::get_id()), 0u);
}

TEST_F(TokenListTest, StartUpRestoresStoredTokensWithUsableUidsUnlessOneIsDuplicated) {
  struct Case {
    std::vector<std::uint64_t> stored;
    std::vector<std::uint64_t> restored;
    int events;  // after start-up
  };
  for (const Case& c :
       {Case{{2, 1}, {1, 2}, 2}, Case{{1, 2, 1}, {}, 4}, Case{{0, kTooLong, 3}, {3}, 1}}) {
    parts_ = std::make_shared<testing::PartsRecord>();
    for (std::uint64_t uid : c.stored)
      parts_->stored.push_back(Card(uid));
    Start();
    EXPECT_EQ(parts_->events, c.events);
    std::vector<SessionId> expected;
    for (std::uint64_t uid : c.restored)
      expected.push_back(cardimage::UidBlob(uid));
    EXPECT_EQ(list_->GetList(), expected);
    // A restored token is toggled by its card like any other.
    parts_->present(Card(3));
    ASSERT_TRUE(parts_->WaitFor([&] { return !parts_->calls.empty(); }));
    EXPECT_EQ(parts_->calls[0],
              c.restored == std::vector<std::uint64_t>{3} ? "remove 3" : "store 3");
    list_.reset();
  }
}

TEST_F(TokenListTest, WithoutTheServiceStartUpWarnsOnceAndCardsStillAdd) {
  parts_->connected = false;
  parts_->clearWhileBuilding = true;
  const auto mark = LogCapture::Install().Mark();
  Start();
  parts_->present(Card(1));
  ASSERT_TRUE(WaitForEvents(1));
  EXPECT_EQ(list_->GetList(), Blobs({1}));
  const LogPattern warning{LogLevel::Warn, "TokenList",
                           "TokenList::StartMonitoring Waiting for localservice connection "
                           "timed out."};
  EXPECT_TRUE(LogCapture::Install().WaitForLines(
      mark, {warning,
             {LogLevel::Error, "TokenList",
              "TokenList::StartMonitoring Failed to get localservices' stored tokens: No pipe "
              "connection."}}));
  EXPECT_TRUE(LogCapture::Install().WaitForLines(
      mark, {{LogLevel::Debug, "TokenList", "TokenList::OnClearCmd Clearing token list."}}));
  int warnings = 0;
  for (const auto& line : LogCapture::Install().LinesSince(mark))
    warnings += warning.Matches(line);
  EXPECT_EQ(warnings, 1);
}

TEST_F(TokenListTest, ClearCommandDropsTokensAHeldOneWhenItsHolderLetsGo) {
  Start();
  parts_->present(Card(1));
  parts_->present(Card(2));
  ASSERT_TRUE(WaitForEvents(2));
  const ModuleSessionId one = Record(1);
  const ModuleSessionId longer = Record(1, 8);
  const ModuleSessionId unknown = Record(7);
  EXPECT_EQ(GetTokenFailure(nullptr), "Token session id is nullptr.");
  EXPECT_EQ(GetTokenFailure(&longer), "Token session id length mismatch.");
  EXPECT_EQ(GetTokenFailure(&unknown), "Token not found.");
  std::shared_ptr<Token> held = list_->GetToken(&one);
  parts_->clear();
  ASSERT_TRUE(WaitForEvents(3));  // token 2 released, token 1 still held
  EXPECT_EQ(GetTokenFailure(&one), "Token list is empty.");
  held.reset();
  EXPECT_EQ(parts_->events, 4);
  ASSERT_TRUE(parts_->WaitFor([&] { return parts_->calls.size() == 2; }));
  EXPECT_THAT(parts_->calls, ElementsAre("store 1", "store 2"));
}

TEST_F(TokenListTest, TeardownWaitsForTheSendingWorkerAndDropsQueuedCards) {
  // Card 1's store is in progress when the list is destroyed; card 2 is still queued.
  parts_->onStore = [this] {
    parts_->WaitFor([&] { return parts_->monitorGone; });
    // Were the service destroyed before the worker left, it would happen now.
    parts_->WaitFor([&] { return parts_->serviceGone; }, 300ms);
  };
  Start();
  parts_->present(Card(1));
  ASSERT_TRUE(parts_->WaitFor([&] { return !parts_->calls.empty(); }));
  parts_->present(Card(2));
  list_.reset();
  EXPECT_FALSE(parts_->usedAfterGone);
  EXPECT_EQ(parts_->events, 2);  // card 1 added and released; card 2 never became a token
  EXPECT_THAT(parts_->calls, ElementsAreArray({"store 1"}));
}

}  // namespace
}  // namespace varlo
