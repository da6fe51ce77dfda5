// A token list's parts for tests: a fake local service and a fake reader monitor that share one
// `PartsRecord` with the test. The test feeds cards through the monitor's card callback, sends
// the clear command through the service's, and reads what the service was asked and how many
// events the host heard. The record outlives the fakes, so a fake used after its destruction
// began is noticed rather than crashing.
#ifndef VARLO_TOKEN_TESTING_FAKE_PARTS_H_
#define VARLO_TOKEN_TESTING_FAKE_PARTS_H_

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "token/token_list.h"

namespace varlo::testing {

struct PartsRecord {
  std::mutex mutex;
  std::condition_variable changed;
  // Set by the test before the list is built.
  bool connected = true;
  std::vector<DesfireData> stored;  // what RequestStoredTokens answers
  bool failMonitorStart = false;
  bool clearWhileBuilding = false;  // the service sends its clear command as it is created
  std::function<void()> onStore;    // runs inside StoreToken, after the call is recorded
  // Recorded.
  int events = 0;
  std::vector<std::string> calls;  // "store <uid>", "remove <uid>"
  std::set<std::thread::id> callThreads;
  bool monitorGone = false;
  bool serviceGone = false;
  bool usedAfterGone = false;
  ClearCallback clear;
  std::function<void(DesfireData)> present;

  template <typename Change>
  void Note(Change change) {
    {
      std::lock_guard lock(mutex);
      change();
    }
    changed.notify_all();
  }
  template <typename Predicate>
  bool WaitFor(Predicate predicate, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, timeout, predicate);
  }
  EventRelay Relay() {
    return [this] { Note([this] { ++events; }); };
  }
};

class FakeService : public ILocalService {
 public:
  explicit FakeService(std::shared_ptr<PartsRecord> record) : record_(std::move(record)) {}
  ~FakeService() override {
    record_->Note([&] { record_->serviceGone = true; });
  }
  bool IsConnected() const override { return record_->connected; }
  bool WaitUntilConnected(std::chrono::milliseconds) override { return record_->connected; }
  void StoreToken(const DesfireData& data) override { Call("store", data.uid); }
  void RemoveToken(std::uint64_t uid) override { Call("remove", uid); }
  std::vector<DesfireData> RequestStoredTokens() override {
    if (!record_->connected)
      throw std::runtime_error("No pipe connection.");
    return record_->stored;
  }

 private:
  void Call(const char* what, std::uint64_t uid) {
    const std::shared_ptr<PartsRecord> record = record_;  // this object may go meanwhile
    record->Note([&] {
      record->calls.push_back(what + (" " + std::to_string(uid)));
      record->callThreads.insert(std::this_thread::get_id());
    });
    if (what == std::string("store") && record->onStore)
      record->onStore();
    record->Note([&] { record->usedAfterGone = record->usedAfterGone || record->serviceGone; });
  }
  std::shared_ptr<PartsRecord> record_;
};

class FakeMonitor : public ICardMonitor {
 public:
  explicit FakeMonitor(std::shared_ptr<PartsRecord> record) : record_(std::move(record)) {}
  ~FakeMonitor() override {
    record_->Note([&] { record_->monitorGone = true; });
  }
  void StartMonitoring() override {
    if (record_->failMonitorStart)
      throw std::runtime_error("no monitor thread");
  }

 private:
  std::shared_ptr<PartsRecord> record_;
};

inline TokenList::Parts FakeParts(const std::shared_ptr<PartsRecord>& record) {
  TokenList::Parts parts;
  parts.makeService = [record](ClearCallback onClear) {
    record->clear = std::move(onClear);
    if (record->clearWhileBuilding)
      record->clear();
    return std::make_unique<FakeService>(record);
  };
  parts.makeMonitor = [record](std::function<void(DesfireData)> onCard) {
    record->present = std::move(onCard);
    return std::make_unique<FakeMonitor>(record);
  };
  return parts;
}

}  // namespace varlo::testing

#endif  // VARLO_TOKEN_TESTING_FAKE_PARTS_H_
