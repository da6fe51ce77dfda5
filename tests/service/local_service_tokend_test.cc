// The module's connection to the local token service against the built varlo-tokend: tokens
// kept and fetched through the real encrypted pipe, the service's clear command, a service
// killed and started again, and two modules at once.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <numeric>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "localservice/local_service_connection.h"
#include "tests/service/sample_tokens.h"
#include "tests/service/tokend_process.h"

namespace varlo::testservice {
namespace {

using namespace std::chrono_literals;
using testing::HasSubstr;
using testing::Not;

// Short pauses between tries; the reply wait is long enough for a reply of several MB under a
// sanitizer on a busy machine.
constexpr LocalServiceConnection::Timing kTiming{30000ms, 10ms, 10000ms, 10ms};

std::vector<std::string> Documents(const std::vector<DesfireData>& tokens) {
  std::vector<std::string> documents;
  for (const DesfireData& token : tokens)
    documents.emplace_back(std::string_view(token.ToJson()));
  return documents;
}

std::vector<std::string> DocumentsOf(std::vector<std::uint64_t> uids) {
  std::ranges::sort(uids);
  std::vector<std::string> documents;
  for (std::uint64_t uid : uids)
    documents.emplace_back(std::string_view(SampleToken(uid).ToJson()));
  return documents;
}

// The UID as `varlo-tokend list` prints it, at the start of its column.
std::string ListedUid(std::uint64_t uid) {
  char text[24];
  std::snprintf(text, sizeof text, " %014llx ", static_cast<unsigned long long>(uid));
  return text;
}

// Counts clear commands and lets a test wait for the next one.
class ClearCounter {
 public:
  ClearCallback Callback() {
    return [this] {
      {
        std::lock_guard lock(mutex_);
        ++count_;
      }
      changed_.notify_all();
    };
  }
  bool WaitFor(int count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, 10s, [&] { return count_ >= count; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int count_ = 0;
};

class LocalServiceTokend : public testing::Test {
 protected:
  LocalServiceConnection& Connect(ClearCallback onClear = [] {}) {
    connections_.push_back(
        std::make_unique<LocalServiceConnection>(std::move(onClear), kTiming, tokend_.PipeName()));
    EXPECT_TRUE(connections_.back()->WaitUntilConnected(10s));
    return *connections_.back();
  }

  TokendProcess tokend_;
  ClearCounter clears_[2];  // outlive the connections, whose threads call them
  std::vector<std::unique_ptr<LocalServiceConnection>> connections_;
};

// Stores go out without waiting and the service answers in order, so a get-all sent after them
// sees them all. 1000 tokens make a reply of about 4.3 MB, some 67 splitting frames.
TEST_F(LocalServiceTokend, GetAllReturnsEveryTokenIntactInUidOrder) {
  LocalServiceConnection& connection = Connect();
  std::vector<std::uint64_t> uids(1000);
  std::iota(uids.begin(), uids.end(), std::uint64_t{0x04A0000000});
  std::shuffle(uids.begin(), uids.end(), std::mt19937(7));
  std::size_t stored = 0;
  for (std::size_t total : {0, 1, 1000}) {
    SCOPED_TRACE(total);
    for (; stored < total; ++stored)
      connection.StoreToken(SampleToken(uids[stored]));
    const std::vector<DesfireData> tokens = connection.RequestStoredTokens();
    EXPECT_EQ(Documents(tokens),
              DocumentsOf({uids.begin(), uids.begin() + static_cast<std::ptrdiff_t>(stored)}));
  }
}

TEST_F(LocalServiceTokend, StoreAndRemoveReachTheStoreAndClearReachesEveryModule) {
  LocalServiceConnection& first = Connect(clears_[0].Callback());
  LocalServiceConnection& second = Connect(clears_[1].Callback());

  // Both modules at once, each storing its own tokens and fetching; the store is the user's,
  // so each sees the other's too.
  auto work = [](LocalServiceConnection& connection, std::uint64_t base) {
    for (std::uint64_t uid = base; uid < base + 20; ++uid) {
      connection.StoreToken(SampleToken(uid));
      const auto tokens = connection.RequestStoredTokens();
      EXPECT_TRUE(std::ranges::any_of(tokens, [&](const auto& t) { return t.uid == uid; }));
    }
  };
  std::thread other([&] { work(second, 0x200); });
  work(first, 0x100);
  other.join();
  std::vector<std::uint64_t> all;
  for (std::uint64_t uid = 0; uid < 20; ++uid)
    all.insert(all.end(), {0x100 + uid, 0x200 + uid});
  EXPECT_EQ(Documents(first.RequestStoredTokens()), DocumentsOf(all));
  EXPECT_EQ(Documents(second.RequestStoredTokens()), DocumentsOf(all));
  EXPECT_THAT(tokend_.List().output, HasSubstr(ListedUid(0x213)));

  // A get-all on a connection is answered after the remove sent before it.
  first.RemoveToken(0x213);
  EXPECT_EQ(first.RequestStoredTokens().size(), 39u);
  second.RemoveToken(0x100);
  EXPECT_EQ(second.RequestStoredTokens().size(), 38u);
  const std::string list = tokend_.List().output;
  EXPECT_THAT(list, Not(HasSubstr(ListedUid(0x213))));
  EXPECT_THAT(list, Not(HasSubstr(ListedUid(0x100))));
  EXPECT_THAT(list, HasSubstr(ListedUid(0x101)));

  EXPECT_EQ(tokend_.Clear().exitCode, 0);
  EXPECT_TRUE(clears_[0].WaitFor(1));
  EXPECT_TRUE(clears_[1].WaitFor(1));
  EXPECT_TRUE(first.RequestStoredTokens().empty());
}

// After a SIGKILL the connection notices the lost pipe, keeps trying, and makes a new handshake
// with the restarted service by itself; what was stored before is still there.
TEST_F(LocalServiceTokend, ReconnectsToARestartedServiceAndFindsItsTokens) {
  LocalServiceConnection& connection = Connect();
  for (std::uint64_t uid : {5, 3, 9})
    connection.StoreToken(SampleToken(uid));
  ASSERT_EQ(connection.RequestStoredTokens().size(), 3u);

  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    tokend_.Kill();
    ASSERT_TRUE(WaitUntil([&] { return !connection.IsConnected(); }));
    EXPECT_THROW(connection.RequestStoredTokens(), std::runtime_error);
    tokend_.Restart();
    ASSERT_TRUE(connection.WaitUntilConnected(10s));
    EXPECT_EQ(Documents(connection.RequestStoredTokens()), DocumentsOf({3, 5, 9}));
  }
  connection.StoreToken(SampleToken(4));
  EXPECT_EQ(Documents(connection.RequestStoredTokens()), DocumentsOf({3, 4, 5, 9}));
}

}  // namespace
}  // namespace varlo::testservice
