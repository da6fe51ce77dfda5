// Faults the module meets in the field, end to end: the built library loaded as a host loads it,
// the machine's pcscd with virtual cards on two readers, and varlo-tokend as the local service.
//
// The module never talks to the service directly: a relay in this program listens on the
// module's pipe path and passes each connection on to the service. The relay can stop one
// direction after a number of bytes (while the service is killed) or cut the connection there,
// and can stand in for the service with a peer that sends broken records. For every fault: no
// crash, no wait beyond the designed time-outs, the tokens stored before it stay, a card read
// during it is a token or can be presented again, and once it is gone a new card becomes a
// stored token and a fresh start of the module gets every stored token back.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include "apps/cardimage/card_image_writer.h"
#include "common/hex.h"
#include "localservice/service_protocol.h"
#include "platform/pipe/pipe_client.h"
#include "platform/pipe/pipe_listener.h"
#include "tests/harness/module_harness.h"
#include "tests/harness/module_log.h"
#include "tests/rig/pcsc_rig.h"
#include "tests/service/module_client.h"
#include "tests/service/tokend_process.h"
#include "tokendata/desfire_data.h"

#if defined(__SANITIZE_THREAD__)
// pcsc-lite's client library reads the reader states of every PC/SC context of a process into
// one buffer of its own, unguarded: the rig's waits here and the module's reader monitor are
// two such contexts. Nothing of this project's code is in those reports.
extern "C" __attribute__((visibility("default"))) const char* __tsan_default_suppressions() {
  return "race:libpcsclite.so.1\n";
}
#endif

namespace varlo {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testing::Eventually;

constexpr char16_t kRegistryKey[] = u"SOFTWARE\\Varlo\\ModuleFaults";

// Stands between the module and the service on the module's pipe path, one connection at a
// time, on a thread of its own. A connection is relayed to the service's socket, or, while a
// peer script is set, answered by the script alone. An armed trigger acts once the given
// number of bytes has passed in its direction since arming: kHold stops reading that
// direction (the sender's writes back up, as behind a stalled reader) until Release; kCut
// passes exactly that many bytes and closes both ends.
class SocketRelay {
 public:
  enum Direction { kToService = 0, kToModule = 1 };
  enum class Action { kHold, kCut };
  struct Trigger {
    Direction direction;
    std::size_t afterBytes;
    Action action;
  };
  struct PeerScript {
    std::vector<std::uint8_t> bytes;
    bool thenClose = false;  // else the peer stays silent until the script is changed
  };

  SocketRelay(const fs::path& listenPath, std::u16string servicePipe)
      : listener_(listenPath.string(), 4, 0600),
        servicePipe_(std::move(servicePipe)),
        thread_([this] { Run(); }) {}
  ~SocketRelay() {
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
    }
    changed_.notify_all();
    listener_.Interrupt();
    thread_.join();
  }

  void Arm(Trigger trigger) {
    std::lock_guard lock(mutex_);
    trigger_ = trigger;
    counted_ = 0;
    triggered_ = held_ = false;
  }
  bool WaitTriggered() {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, 10s, [this] { return triggered_; });
  }
  // Lets a held direction go on; disarms.
  void Release() {
    std::lock_guard lock(mutex_);
    trigger_.reset();
    held_ = false;
  }
  // Sets or clears the peer script; the connection under way ends either way.
  void Script(std::optional<PeerScript> script) {
    {
      std::lock_guard lock(mutex_);
      script_ = std::move(script);
      trigger_.reset();
      held_ = false;
      ++generation_;
    }
    changed_.notify_all();
  }
  std::size_t Connections() const { return connections_; }

 private:
  void Run() {
    while (!Stopped()) {
      platform::PipeConnection module = listener_.Accept(50ms);
      if (!module.IsOpen())
        continue;
      ++connections_;
      std::unique_lock lock(mutex_);
      const std::uint64_t generation = generation_;
      if (script_) {
        const PeerScript script = *script_;
        lock.unlock();
        Play(module, script, generation);
        continue;
      }
      lock.unlock();
      const platform::PipeOpenResult opened = platform::OpenPipe(servicePipe_);
      if (opened.error == 0)
        Relay(module, platform::PipeConnection(opened.handle), generation);
    }
  }

  // Sends the script; a peer that does not close then reads and drops what the module sends
  // until the module goes or the script changes.
  void Play(platform::PipeConnection& module, const PeerScript& script, std::uint64_t generation) {
    if (!module.WriteAll(script.bytes, 1s) || script.thenClose)
      return;
    std::vector<std::uint8_t> buffer(4096);
    while (Current(generation)) {
      if (const auto read = module.ReadSome(buffer, 20ms); read && *read == 0)
        return;
    }
  }

  void Relay(platform::PipeConnection& module, platform::PipeConnection service,
             std::uint64_t generation) {
    platform::PipeConnection* from[] = {&module, &service};
    platform::PipeConnection* to[] = {&service, &module};
    std::vector<std::uint8_t> buffer(64 * 1024);
    std::vector<std::uint8_t> pending[2];  // read past a hold, passed on at its release
    for (;;) {
      for (int direction : {kToService, kToModule}) {
        {
          std::lock_guard lock(mutex_);
          if (stop_ || generation_ != generation)
            return;
          if (held_ && trigger_ && trigger_->direction == direction)
            continue;
        }
        if (!pending[direction].empty()) {
          if (!to[direction]->WriteAll(pending[direction]))
            return;
          pending[direction].clear();
        }
        const auto read = from[direction]->ReadSome(buffer, 2ms);
        if (!read)
          continue;
        if (*read == 0)
          return;  // one end has gone: the other is closed with it
        std::size_t pass = *read;
        std::optional<Action> fired;
        {
          std::lock_guard lock(mutex_);
          if (trigger_ && !triggered_ && trigger_->direction == direction) {
            pass = std::min(pass, trigger_->afterBytes - counted_);
            counted_ += pass;
            if (counted_ == trigger_->afterBytes)
              fired = trigger_->action;
          }
        }
        if (pass > 0 && !to[direction]->WriteAll(std::span(buffer).first(pass)))
          return;
        if (fired) {
          {
            std::lock_guard lock(mutex_);
            triggered_ = true;
            held_ = *fired == Action::kHold;
          }
          changed_.notify_all();
          if (*fired == Action::kCut)
            return;
          pending[direction].assign(buffer.begin() + static_cast<std::ptrdiff_t>(pass),
                                    buffer.begin() + static_cast<std::ptrdiff_t>(*read));
        }
      }
    }
  }

  bool Current(std::uint64_t generation) {
    std::lock_guard lock(mutex_);
    return !stop_ && generation_ == generation;
  }
  bool Stopped() {
    std::lock_guard lock(mutex_);
    return stop_;
  }

  platform::PipeListener listener_;
  const std::u16string servicePipe_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool stop_ = false;
  std::optional<Trigger> trigger_;
  std::size_t counted_ = 0;
  bool triggered_ = false;
  bool held_ = false;
  std::optional<PeerScript> script_;
  std::uint64_t generation_ = 0;
  std::atomic<std::size_t> connections_{0};
  std::thread thread_;  // last: it uses everything above
};

std::size_t ThreadCount() {
  return static_cast<std::size_t>(
      std::distance(fs::directory_iterator("/proc/self/task"), fs::directory_iterator()));
}

std::uint64_t UidOf(const ModuleSessionId& session) {
  std::uint64_t uid = 0;
  for (std::uint8_t byte : session.id)
    uid = uid << 8 | byte;
  return uid;
}

// A token with PIN "4711", a public certificate and `bulk` public objects of the largest size.
cardimage::TokenDescription Token(std::uint64_t uid, std::size_t certificateSize = 300,
                                  std::size_t bulk = 0) {
  cardimage::TokenDescription token{uid, "Fault", {'4', '7', '1', '1'}, {}, {}, {}};
  token.objects = {{"certificate", 5, false, 1, SecureBytes(certificateSize, 0xCE)}};
  token.objects.resize(1 + bulk,
                       {"bulk", 5, false, 3, SecureBytes(cardimage::kMaxObjectContent, 0xB0)});
  return token;
}

// One rig, service, relay and module for the whole program: the module reads its log settings
// once per load of the library, and every suite below shares them.
class FaultMatrixTest : public ::testing::Test {
 public:
  class Environment : public ::testing::Environment {
   public:
    void SetUp() override {
      rig = new testrig::PcscRig();
      rig->Card(0);  // the card programs start now, before any thread is counted
      rig->Card(1);
      service = new testservice::TokendProcess();
      relayDirectory = new platform::TemporaryPipeDirectory();
      relay = new SocketRelay(fs::path(relayDirectory->Path()) / service_protocol::kPipeLeafName,
                              service->PipeName());
      const fs::path logs = rig->Directory() / "module-log";
      // Host calls by the thousand would rotate a debug log faster than it is read.
      testing::UseModuleLog(logs, "SOFTWARE\\Varlo\\ModuleFaults",
                            ">default=info\n>PcscMonitoring=debug\n");
      setenv("VARLO_PIPE_DIR", relayDirectory->Path().c_str(), 1);
      log = new testing::ModuleLog(logs);
      module = new testing::ModuleHarness();
    }
    void TearDown() override {
      delete module;
      delete log;
      delete relay;
      delete relayDirectory;
      delete service;
      delete rig;
    }
  };

 protected:
  void SetUp() override {
    ASSERT_TRUE(module->Loaded());
    threadsBefore_ = ThreadCount();
    mark_ = log->Mark();
  }
  void TearDown() override {
    Unload();
    relay->Script(std::nullopt);
    if (!service->Running())
      service->Restart();
    if (!rig->PcscdRunning())
      rig->StartPcscd();
    for (std::size_t reader = 0; reader < 2; ++reader) {
      rig->Card(reader).Set("chunk", "59");
      if (rig->Card(reader).Status() != "removed")
        rig->Remove(reader);
    }
    EXPECT_TRUE(Eventually([] { return ServiceModules() == 0; }));
    service->Clear();
    EXPECT_TRUE(Eventually([&] { return ThreadCount() == threadsBefore_; }, 2s))
        << ThreadCount() << " threads after unloading, " << threadsBefore_ << " before";
    if (HasFailure()) {
      const auto& lines = log->Lines();
      for (auto line = lines.begin() + static_cast<std::ptrdiff_t>(mark_); line != lines.end();)
        std::cerr << *line++ << '\n';
    }
  }

  ModuleResult Initialize() {
    events_.events = 0;
    host_ = testing::NewModuleData(&events_);
    const ModuleResult result = module->Initialize(&host_, kRegistryKey);
    loaded_ = result == RESULT_SUCCESS;
    return result;
  }
  void Unload() {
    if (loaded_)
      host_.ModuleUnload();
    loaded_ = false;
  }
  static Clock::duration Timed(const std::function<void()>& action) {
    const auto begin = Clock::now();
    action();
    return Clock::now() - begin;
  }

  std::set<std::uint64_t> Listed() {
    std::uint32_t size = 0;
    if (host_.ModuleGetTokenSessionIdList(nullptr, &size) != RESULT_SUCCESS)
      return {};
    std::vector<ModuleSessionIdNode> nodes(size / sizeof(ModuleSessionIdNode));
    if (host_.ModuleGetTokenSessionIdList(reinterpret_cast<std::uint8_t*>(nodes.data()), &size) !=
        RESULT_SUCCESS)
      return {};
    std::set<std::uint64_t> uids;
    for (const ModuleSessionIdNode& node : nodes)
      uids.insert(UidOf(node.sessionId));
    return uids;
  }
  bool IsListed(std::uint64_t uid) { return Listed().contains(uid); }

  static fs::path Image(const cardimage::TokenDescription& token) {
    const cardimage::CardImage image = cardimage::MakeCardImage(token);
    testrig::CardImageContent content;
    content.uid = ToHex(cardimage::UidBlob(image.uid));
    content.appKey = ToHex(image.appKey);
    for (const auto& [number, bytes] : image.files)
      content.files[number].assign(bytes.begin(), bytes.end());
    return rig->WriteImage(content.uid, content);
  }
  static SecureString TokenJson(const cardimage::TokenDescription& token) {
    const cardimage::CardImage image = cardimage::MakeCardImage(token);
    return DesfireData(image.uid, image.files).ToJson();
  }

  // The UIDs the service keeps (`varlo-tokend list`: a line per token, UID in 14 hex digits).
  static std::set<std::uint64_t> StoredUids() {
    std::istringstream words(service->List().output);
    std::set<std::uint64_t> uids;
    for (std::string word; words >> word;) {
      if (word.size() == 14 && word.find_first_not_of("0123456789abcdef") == std::string::npos)
        uids.insert(std::stoull(word, nullptr, 16));
    }
    return uids;
  }
  static bool Stored(const std::set<std::uint64_t>& uids) {
    const auto stored = StoredUids();
    return std::includes(stored.begin(), stored.end(), uids.begin(), uids.end());
  }
  // Connected modules, from `varlo-tokend status` ("modules N" line); -1 without an answer.
  static int ServiceModules() {
    const std::string status = service->Status().output;
    const auto at = status.find("\nmodules ");
    return at == std::string::npos ? -1 : std::stoi(status.substr(at + 9));
  }

  // The fault is gone: the module is back on the service, a new card on reader 1 becomes a
  // stored token, nothing stored is lost, and a fresh start of the module restores it all.
  void ExpectRecovered(std::uint64_t newUid, std::set<std::uint64_t> kept) {
    ASSERT_TRUE(Eventually([] { return ServiceModules() == 1; })) << "the module did not reconnect";
    const int before = events_.events;
    rig->Present(1, Image(Token(newUid)));
    ASSERT_TRUE(Eventually([&] { return events_.events > before; }));
    EXPECT_TRUE(IsListed(newUid));
    kept.insert(newUid);
    EXPECT_TRUE(Eventually([&] { return Stored(kept); }));
    Unload();
    ASSERT_EQ(Initialize(), RESULT_SUCCESS);
    EXPECT_EQ(Listed(), StoredUids());
  }

  static inline testrig::PcscRig* rig = nullptr;
  static inline testservice::TokendProcess* service = nullptr;
  static inline platform::TemporaryPipeDirectory* relayDirectory = nullptr;
  static inline SocketRelay* relay = nullptr;
  static inline testing::ModuleLog* log = nullptr;
  static inline testing::ModuleHarness* module = nullptr;

  testing::EventCounter events_;
  ModuleData host_{};
  bool loaded_ = false;
  std::size_t threadsBefore_ = 0;
  std::size_t mark_ = 0;
};

// The service goes while a message is under way: killed (its socket held half-way so that the
// kill lands inside the message) or the socket cut after N bytes, while the module fetches
// every stored token at start-up or while it stores a card's token.
struct ServiceLoss {
  const char* name;
  bool duringGetAll;  // else during the store of a card read meanwhile
  SocketRelay::Action action;
};

class ServiceLossTest : public FaultMatrixTest,
                        public ::testing::WithParamInterface<ServiceLoss> {};

TEST_P(ServiceLossTest, ModuleCarriesOnAndStoredTokensStay) {
  const ServiceLoss& loss = GetParam();
  const bool kill = loss.action == SocketRelay::Action::kHold;
  constexpr std::uint64_t kFirstStored = 0x04FA0000000100, kRead = 0x04FA0000000201,
                          kAfter = 0x04FA0000000202;
  // At start-up, a reply of some MB, so that the fault meets it half-way.
  const std::size_t storedCount = loss.duringGetAll ? 16 : 1;
  std::set<std::uint64_t> stored;
  {
    testservice::ModuleClient client(service->PipeName());
    for (std::uint64_t uid = kFirstStored; stored.size() < storedCount; ++uid) {
      client.Store(uid, TokenJson(Token(uid, 300, loss.duringGetAll ? 1 : 0)));
      stored.insert(uid);
    }
    client.GetAll();  // answered after the stores
  }

  if (loss.duringGetAll) {
    relay->Arm({SocketRelay::kToModule, 100000, loss.action});
    ModuleResult result = RESULT_FAILURE;
    Clock::duration took{};
    std::thread host([&] { took = Timed([&] { result = Initialize(); }); });
    const bool triggered = relay->WaitTriggered();
    if (triggered && kill) {
      service->Kill();
      relay->Release();  // what the socket still holds, then its end
    }
    host.join();
    ASSERT_TRUE(triggered);
    EXPECT_EQ(result, RESULT_SUCCESS);
    EXPECT_LT(took, 5s);
    EXPECT_TRUE(Listed().empty());
    EXPECT_EQ(log->Count(mark_, "Failed to get localservices' stored tokens"), 1u);
  } else {
    ASSERT_EQ(Initialize(), RESULT_SUCCESS);
    ASSERT_EQ(Listed(), stored);
    relay->Arm({SocketRelay::kToService, 200, loss.action});
    rig->Present(0, Image(Token(kRead)));
    const bool triggered = relay->WaitTriggered();
    if (triggered && kill) {
      service->Kill();
      relay->Release();
    }
    ASSERT_TRUE(triggered);
    // The card read while the service went is a token all the same.
    ASSERT_TRUE(Eventually([&] { return IsListed(kRead); }));
  }
  if (kill)
    service->Restart();
  EXPECT_TRUE(Stored(stored));
  ExpectRecovered(kAfter, stored);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, ServiceLossTest,
    ::testing::Values(ServiceLoss{"KilledDuringGetAll", true, SocketRelay::Action::kHold},
                      ServiceLoss{"CutDuringGetAll", true, SocketRelay::Action::kCut},
                      ServiceLoss{"KilledDuringStore", false, SocketRelay::Action::kHold},
                      ServiceLoss{"CutDuringStore", false, SocketRelay::Action::kCut}),
    [](const auto& info) { return std::string(info.param.name); });

// A peer on the module's pipe path that is no service: its first record (the first handshake
// message the module waits for) is oversized, truncated or garbage.
struct BrokenPeer {
  const char* name;
  std::vector<std::uint8_t> bytes;
  bool thenClose;
  bool silent;  // keeps the module in its handshake: only unloading ends that wait
};

std::vector<std::uint8_t> Record(std::uint32_t announced, std::size_t sent, std::uint8_t fill) {
  std::vector<std::uint8_t> bytes(4 + sent, fill);
  for (int i = 0; i < 4; ++i)
    bytes[i] = static_cast<std::uint8_t>(announced >> (8 * i));
  return bytes;
}

class BrokenPeerTest : public FaultMatrixTest, public ::testing::WithParamInterface<BrokenPeer> {};

TEST_P(BrokenPeerTest, ModuleRunsWithoutTheServiceAndTakesTheRealOneLater) {
  const BrokenPeer& peer = GetParam();
  constexpr std::uint64_t kDuring = 0x04FB0000000301, kAfter = 0x04FB0000000302;
  const std::size_t before = relay->Connections();
  relay->Script(SocketRelay::PeerScript{peer.bytes, peer.thenClose});
  EXPECT_LT(Timed([&] { ASSERT_EQ(Initialize(), RESULT_SUCCESS); }), 3s);
  EXPECT_EQ(log->Count(mark_, "Waiting for localservice connection timed out."), 1u);
  rig->Present(0, Image(Token(kDuring)));
  ASSERT_TRUE(Eventually([&] { return IsListed(kDuring); }));
  if (peer.silent) {
    EXPECT_EQ(relay->Connections(), before + 1);
    EXPECT_LT(Timed([&] { Unload(); }), 1s);
    return;
  }
  // The module drops the peer and tries again, over and over.
  const std::size_t connections = relay->Connections();
  EXPECT_TRUE(Eventually([&] { return relay->Connections() >= connections + 2; }));
  relay->Script(std::nullopt);
  ExpectRecovered(kAfter, {});
}

INSTANTIATE_TEST_SUITE_P(
    Faults, BrokenPeerTest,
    ::testing::Values(BrokenPeer{"OversizedRecord", Record(0x01000000, 64, 0x41), false, false},
                      BrokenPeer{"TruncatedRecord", Record(48, 10, 0x42), true, false},
                      BrokenPeer{"GarbageRecord", Record(48, 48, 0x43), false, false},
                      BrokenPeer{"PartialRecordThenSilence", Record(48, 10, 0x44), false, true}),
    [](const auto& info) { return std::string(info.param.name); });

// A card is being read (one byte per answer) when it leaves, when pcscd stops, or when every
// reader goes away; then the fault is undone.
enum class ReaderFault { kCardTakenAway, kPcscdStopped, kReadersGone };

class ReaderFaultTest : public FaultMatrixTest,
                        public ::testing::WithParamInterface<ReaderFault> {};

TEST_P(ReaderFaultTest, CardCutShortIsNoTokenAndIsReadWhenPresentedAgain) {
  constexpr std::uint64_t kCut = 0x04FC0000000401, kOther = 0x04FC0000000402,
                          kAfter = 0x04FC0000000403;
  const fs::path cut = Image(Token(kCut, 2000));
  ASSERT_EQ(Initialize(), RESULT_SUCCESS);
  rig->Card(0).Set("chunk", "1");
  rig->Card(0).Present(cut);
  ASSERT_TRUE(
      log->WaitFor(mark_, "PcscMonitoring::AddPicc Adding desfire on " + rig->ReaderName(0)));
  switch (GetParam()) {
    case ReaderFault::kCardTakenAway:
      rig->Remove(0);
      break;
    case ReaderFault::kPcscdStopped:
      rig->StopPcscd();
      rig->Card(0).Remove();
      rig->StartPcscd();
      break;
    case ReaderFault::kReadersGone: {
      const std::size_t mark = log->Mark();
      rig->RestartPcscdWithoutReaders();
      ASSERT_TRUE(log->WaitFor(mark, "Smart card service not running."));
      rig->Card(0).Remove();
      rig->RestartPcscd();
      break;
    }
  }
  rig->Card(0).Set("chunk", "59");

  // Cards are read one after the other: once the next card is a token, the cut read is over.
  rig->Present(1, Image(Token(kOther)));
  ASSERT_TRUE(Eventually([&] { return IsListed(kOther); }));
  rig->Remove(1);
  // A read cut short gives no token (one of the UID alone would hide the card's own until it
  // was presented twice more): presented again, the card is read anew.
  EXPECT_FALSE(IsListed(kCut));
  rig->Present(0, cut);
  EXPECT_TRUE(Eventually([&] { return IsListed(kCut); }));
  EXPECT_TRUE(Eventually([&] { return Stored({kOther, kCut}); }));
  ExpectRecovered(kAfter, Listed());
}

std::string ReaderFaultName(const ::testing::TestParamInfo<ReaderFault>& info) {
  constexpr const char* kNames[] = {"CardTakenAway", "PcscdStopped", "ReadersGone"};
  return kNames[static_cast<int>(info.param)];
}

INSTANTIATE_TEST_SUITE_P(Faults, ReaderFaultTest,
                         ::testing::Values(ReaderFault::kCardTakenAway, ReaderFault::kPcscdStopped,
                                           ReaderFault::kReadersGone),
                         ReaderFaultName);

// Unloading while host threads are inside operations on a token and cards wait to be read: every
// call answers with a result a host expects, unloading returns in time, and the module loads
// again with what was stored.
TEST_F(FaultMatrixTest, UnloadWithOperationsInFlightAndCardsQueued) {
  constexpr std::uint64_t kStored = 0x04FD0000000501, kSlow = 0x04FD0000000502,
                          kQueued = 0x04FD0000000503, kAfter = 0x04FD0000000504;
  {
    testservice::ModuleClient client(service->PipeName());
    client.Store(kStored, TokenJson(Token(kStored)));
    client.GetAll();
  }
  ASSERT_EQ(Initialize(), RESULT_SUCCESS);
  ASSERT_TRUE(IsListed(kStored));
  ModuleSessionId session{7, {}};
  const auto blob = cardimage::UidBlob(kStored);
  std::memcpy(session.id, blob.data(), blob.size());

  std::atomic<bool> unloading{false};
  std::atomic<int> calls{0}, unexpected{0};
  std::vector<std::thread> hosts;
  for (int i = 0; i < 3; ++i) {
    hosts.emplace_back([&] {
      const ModuleUtf8String pin{"4711", 4};
      const ModuleSearchCondition isPublic{KEY_ATTRIBUTES, VALUE_TYPE_BYTE, {.raw = 2}};
      for (ModuleResult last = RESULT_SUCCESS; last != RESULT_WRONG_STATE;) {
        std::uint64_t* handles = nullptr;
        std::uint32_t count = 0;
        last = host_.ModuleFindObjects(&session, &isPublic, 1, &handles, &count);
        if (last == RESULT_SUCCESS) {
          std::uint8_t data[300];
          std::uint32_t read = 0;
          last = host_.ModuleReadObject(&session, handles[0], 0, data, sizeof data, &read);
          host_.ModuleFreeObjectHandleList(handles);
        }
        if (last == RESULT_SUCCESS)
          last = host_.ModuleCheckPIN(&session, &pin);
        ++calls;
        const bool expected = last == RESULT_SUCCESS || last == RESULT_WRONG_STATE ||
                              (unloading && last == RESULT_TOKEN_NOT_FOUND);
        unexpected += expected ? 0 : 1;
      }
    });
  }
  ASSERT_TRUE(Eventually([&] { return calls > 10; }));
  rig->Card(0).Set("chunk", "1");
  rig->Card(0).Present(Image(Token(kSlow, 2000)));
  ASSERT_TRUE(
      log->WaitFor(mark_, "PcscMonitoring::AddPicc Adding desfire on " + rig->ReaderName(0)));
  rig->Card(1).Present(Image(Token(kQueued)));
  unloading = true;
  EXPECT_LT(Timed([&] { Unload(); }), 5s);
  for (std::thread& host : hosts)
    host.join();
  EXPECT_EQ(unexpected, 0);
  rig->Card(0).Set("chunk", "59");
  rig->Remove(0);
  rig->Remove(1);

  ASSERT_EQ(Initialize(), RESULT_SUCCESS);
  EXPECT_TRUE(IsListed(kStored));
  ExpectRecovered(kAfter, {kStored});
}

[[maybe_unused]] const auto* const kEnvironment =
    ::testing::AddGlobalTestEnvironment(new FaultMatrixTest::Environment);

}  // namespace
}  // namespace varlo
