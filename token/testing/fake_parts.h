// Fake parts of a token list for tests: a local service and a reader monitor sharing one record
// with the test, which feeds cards through `present`, sends the clear command through `clear`
// and reads the service calls and the host events. The record outlives the fakes, so a fake
// used after its destruction began is noticed instead of crashing.
#ifndef VARLO_TOKEN_TESTING_FAKE_PARTS_H_
#define VARLO_TOKEN_TESTING_FAKE_PARTS_H_

#include <condition_variable>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>

#include "token/token_list.h"

namespace varlo::testing {

struct PartsRecord {
  std::mutex mutex;
  std::condition_variable changed;
  bool connected = true, failMonitorStart = false, clearWhileBuilding = false;
  std::vector<DesfireData> stored;  // RequestStoredTokens' answer
  std::function<void()> onStore;    // runs inside StoreToken
  int events = 0;
  std::vector<std::string> calls;  // "store <uid>", "remove <uid>"
  std::set<std::thread::id> callThreads;
  bool monitorGone = false, serviceGone = false, usedAfterGone = false;
  ClearCallback clear;
  std::function<void(DesfireData)> present;

  void Note(const std::function<void()>& change) {
    std::unique_lock lock(mutex);
    change();
    lock.unlock();
    changed.notify_all();
  }
  bool WaitFor(const std::function<bool()>& done,
               std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, timeout, done);
  }
  EventRelay Relay() {
    return [this] { Note([this] { ++events; }); };
  }
};

struct FakeService : ILocalService {
  explicit FakeService(std::shared_ptr<PartsRecord> r) : r(std::move(r)) {}
  ~FakeService() override {
    r->Note([r = r] { r->serviceGone = true; });
  }
  bool IsConnected() const override { return r->connected; }
  bool WaitUntilConnected(std::chrono::milliseconds) override { return r->connected; }
  void StoreToken(const DesfireData& data) override { Call(r, "store ", data.uid); }
  void RemoveToken(std::uint64_t uid) override { Call(r, "remove ", uid); }
  std::vector<DesfireData> RequestStoredTokens() override {
    if (!r->connected)
      throw std::runtime_error("No pipe connection.");
    return r->stored;
  }
  // Takes the record by value: this object may be destroyed meanwhile.
  static void Call(std::shared_ptr<PartsRecord> r, const std::string& what, std::uint64_t uid) {
    r->Note([&] {
      r->calls.push_back(what + std::to_string(uid));
      r->callThreads.insert(std::this_thread::get_id());
    });
    if (what == "store " && r->onStore)
      r->onStore();
    r->Note([&] { r->usedAfterGone = r->usedAfterGone || r->serviceGone; });
  }
  std::shared_ptr<PartsRecord> r;
};

struct FakeMonitor : ICardMonitor {
  explicit FakeMonitor(std::shared_ptr<PartsRecord> r) : r(std::move(r)) {}
  ~FakeMonitor() override {
    r->Note([r = r] { r->monitorGone = true; });
  }
  void StartMonitoring() override {
    if (r->failMonitorStart)
      throw std::runtime_error("no monitor thread");
  }
  std::shared_ptr<PartsRecord> r;
};

inline TokenList::Parts FakeParts(const std::shared_ptr<PartsRecord>& r) {
  TokenList::Parts parts;
  parts.makeService = [r](ClearCallback onClear) {
    r->clear = std::move(onClear);
    if (r->clearWhileBuilding)
      r->clear();
    return std::make_unique<FakeService>(r);
  };
  parts.makeMonitor = [r](std::function<void(DesfireData)> onCard) {
    r->present = std::move(onCard);
    return std::make_unique<FakeMonitor>(r);
  };
  return parts;
}

}  // namespace varlo::testing

#endif  // VARLO_TOKEN_TESTING_FAKE_PARTS_H_
