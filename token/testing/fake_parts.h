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

class FakeService : public ILocalService {
 public:
  explicit FakeService(std::shared_ptr<PartsRecord> r) : r_(std::move(r)) {}
  ~FakeService() override {
    r_->Note([r = r_] { r->serviceGone = true; });
  }
  bool IsConnected() const override { return r_->connected; }
  bool WaitUntilConnected(std::chrono::milliseconds) override { return r_->connected; }
  void StoreToken(const DesfireData& data) override { Call("store ", data.uid); }
  void RemoveToken(std::uint64_t uid) override { Call("remove ", uid); }
  std::vector<DesfireData> RequestStoredTokens() override {
    if (!r_->connected)
      throw std::runtime_error("No pipe connection.");
    return r_->stored;
  }

 private:
  void Call(const std::string& what, std::uint64_t uid) {
    const auto r = r_;  // this object may be destroyed meanwhile
    r->Note([&] {
      r->calls.push_back(what + std::to_string(uid));
      r->callThreads.insert(std::this_thread::get_id());
    });
    if (what == "store " && r->onStore)
      r->onStore();
    r->Note([&] { r->usedAfterGone = r->usedAfterGone || r->serviceGone; });
  }
  std::shared_ptr<PartsRecord> r_;
};

class FakeMonitor : public ICardMonitor {
 public:
  explicit FakeMonitor(std::shared_ptr<PartsRecord> r) : r_(std::move(r)) {}
  ~FakeMonitor() override {
    r_->Note([r = r_] { r->monitorGone = true; });
  }
  void StartMonitoring() override {
    if (r_->failMonitorStart)
      throw std::runtime_error("no monitor thread");
  }

 private:
  std::shared_ptr<PartsRecord> r_;
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
