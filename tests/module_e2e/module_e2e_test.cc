// The module as a host meets it: the built library loaded with the platform's loader and driven
// through its public header only, the machine's pcscd with virtual DESFire cards on two readers,
// and varlo-tokend as the local token service.
//
// One rig and one service serve the whole program. Every test starts with the module unloaded,
// both readers empty and the store empty, and ends by checking that unloading left no thread
// of the module behind. What the module does inside is read from its own log, which a registry
// hive and a settings file send to a scratch folder.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>
#include <tuple>

#include "apps/cardimage/card_image_writer.h"
#include "common/hex.h"
#include "tests/harness/module_harness.h"
#include "tests/rig/pcsc_rig.h"
#include "tests/service/module_client.h"
#include "tests/service/tokend_process.h"
#include "tokendata/desfire_data.h"

namespace varlo {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto kDeadline = 10s;
constexpr char16_t kRegistryKey[] = u"SOFTWARE\\Varlo\\ModuleEndToEnd";
const ModuleUtf8String kPin{"4711", 4}, kWrongPin{"1147", 4};
const ModuleSearchCondition kPrivate{KEY_ATTRIBUTES, VALUE_TYPE_BYTE, {.raw = 1}};
const ModuleSearchCondition kPublic{KEY_ATTRIBUTES, VALUE_TYPE_BYTE, {.raw = 2}};

// Looks every few milliseconds until `condition` holds; false at the deadline. For states that
// only another process or a file shows.
template <typename Condition>
bool Eventually(Condition condition, std::chrono::milliseconds timeout = kDeadline) {
  const auto deadline = Clock::now() + timeout;
  while (!condition()) {
    if (Clock::now() >= deadline)
      return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

std::size_t ThreadCount() {
  return static_cast<std::size_t>(
      std::distance(fs::directory_iterator("/proc/self/task"), fs::directory_iterator()));
}

ModuleSessionId Session(std::uint64_t uid) {
  ModuleSessionId session{7, {}};
  const auto blob = cardimage::UidBlob(uid);
  std::memcpy(session.id, blob.data(), blob.size());
  return session;
}

std::uint64_t UidOf(const ModuleSessionId& session) {
  std::uint64_t uid = 0;
  for (std::uint8_t byte : session.id)
    uid = uid << 8 | byte;
  return uid;
}

// A token with PIN "4711": a public "certificate" of `certificateSize` bytes, a private "private
// key" (70 bytes 0x5E), and `bulk` more public objects of the largest size a card holds.
cardimage::TokenDescription Token(std::uint64_t uid, std::size_t certificateSize = 300,
                                  std::size_t bulk = 0) {
  cardimage::TokenDescription token{uid, "End to end", {'4', '7', '1', '1'}, {}, {}, {}};
  token.objects = {{"certificate", 5, false, 1, SecureBytes(certificateSize, 0xCE)},
                   {"private key", 5, true, 3, SecureBytes(70, 0x5E)}};
  token.objects.resize(2 + bulk,
                       {"bulk", 5, false, 3, SecureBytes(cardimage::kMaxObjectContent, 0xB0)});
  return token;
}

std::string TokenJson(const cardimage::TokenDescription& token) {
  const cardimage::CardImage image = cardimage::MakeCardImage(token);
  return std::string(std::string_view(DesfireData(image.uid, image.files).ToJson()));
}

// The module's log as lines, read as it grows (also across a rotation).
class ModuleLog {
 public:
  explicit ModuleLog(const fs::path& directory) : directory_(directory) {}

  // Lines written from now on are those "since" the mark.
  std::size_t Mark() { return Lines().size(); }
  std::size_t Count(std::size_t mark, std::string_view text) {
    const auto& lines = Lines();
    return static_cast<std::size_t>(
        std::count_if(lines.begin() + static_cast<std::ptrdiff_t>(mark), lines.end(),
                      [&](auto& line) { return line.find(text) != std::string::npos; }));
  }
  bool WaitFor(std::size_t mark, std::string_view text) {
    return Eventually([&] { return Count(mark, text) > 0; });
  }
  const std::vector<std::string>& Lines() {
    std::error_code error;
    const auto size = fs::file_size(directory_ / "desfire_varlo_module.log", error);
    if (error)
      return lines_;
    if (size < offset_) {  // rotated: the old file's rest is the backup's tail
      Append("desfire_varlo_module.bak");
      offset_ = 0;
    }
    Append("desfire_varlo_module.log");
    return lines_;
  }

 private:
  void Append(const char* name) {
    std::ifstream in(directory_ / name, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(offset_));
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    offset_ += text.size();
    partial_ += text;
    for (std::size_t end; (end = partial_.find('\n')) != std::string::npos;) {
      lines_.push_back(partial_.substr(0, end));
      partial_.erase(0, end + 1);
    }
  }

  fs::path directory_;
  std::uintmax_t offset_ = 0;
  std::string partial_;
  std::vector<std::string> lines_;
};

// The host's event callback: notes the thread of every event and can keep the thread that
// raises a chosen event in the callback until released, as a host slow to return would.
class HostEvents {
 public:
  static void Invoke(void* context, std::uint64_t argument) {
    auto* self = static_cast<HostEvents*>(context);
    std::unique_lock lock(self->mutex_);
    EXPECT_EQ(argument, 0u);
    self->threads_.push_back(std::this_thread::get_id());
    self->changed_.notify_all();
    // Bounded, so that a failing test cannot keep the module's thread here for good.
    if (self->threads_.size() == self->holdAt_)
      self->changed_.wait_for(lock, 30s, [self] { return self->released_; });
  }
  std::vector<std::thread::id> Threads() const {
    std::lock_guard lock(mutex_);
    return threads_;
  }
  std::size_t Count() const { return Threads().size(); }
  // Also tells that the event chosen by HoldAt is being held.
  bool WaitFor(std::size_t count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kDeadline, [&] { return threads_.size() >= count; });
  }
  void HoldAt(std::size_t event) {
    std::lock_guard lock(mutex_);
    holdAt_ = event;
    released_ = false;
  }
  void Release() {
    {
      std::lock_guard lock(mutex_);
      released_ = true;
    }
    changed_.notify_all();
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::thread::id> threads_;
  std::size_t holdAt_ = 0;
  bool released_ = false;
};

class ModuleEndToEndTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    rig = new testrig::PcscRig();
    rig->Card(0);  // the card programs start now, before any thread is counted
    rig->Card(1);
    service = new testservice::TokendProcess();
    // The module logs at debug level, but for the card layer's traces and APDUs.
    const fs::path logs = rig->Directory() / "module-log";
    fs::create_directories(logs);
    std::ofstream(logs / "settings.txt")
        << "target=" << logs.string() << "\n>default=debug\n>Desfire=info\n";
    std::ofstream(logs / "user.reg")
        << "Windows Registry Editor Version 5.00\n\n"
        << "[HKEY_CURRENT_USER\\SOFTWARE\\Varlo\\ModuleEndToEnd]\n"
        << "\"LogSettingsPath\"=\"" << (logs / "settings.txt").string() << "\"\n";
    setenv("VARLO_USER_REGISTRY", (logs / "user.reg").c_str(), 1);
    setenv("VARLO_MACHINE_REGISTRY", (logs / "none.reg").c_str(), 1);
    log = new ModuleLog(logs);
    module = new testing::ModuleHarness();
  }
  static void TearDownTestSuite() {
    delete module;
    delete log;
    delete service;
    delete rig;
  }

  void SetUp() override {
    ASSERT_TRUE(module->Loaded());
    ASSERT_TRUE(rig->PcscdRunning());
    // Read by the module at each connection attempt, so changed only while it is unloaded.
    setenv("VARLO_PIPE_DIR", service->PipeDirectory().c_str(), 1);
    threadsBefore_ = ThreadCount();
    mark_ = log->Mark();
  }

  void TearDown() override {
    events_.Release();
    Unload();
    if (stoppedService_ != 0)
      kill(stoppedService_, SIGCONT);  // also when it runs: harmless
    for (std::size_t reader = 0; reader < 2; ++reader) {
      if (rig->Card(reader).Status() != "removed")
        rig->Remove(reader);
      rig->Card(reader).Set("chunk", "59");
    }
    WaitServiceIdle();
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
    host_ = testing::NewModuleData(nullptr);
    host_.pfnEventCallback = {&HostEvents::Invoke, &events_, 0, 1};
    const ModuleResult result = module->Initialize(&host_, kRegistryKey);
    loaded_ = result == RESULT_SUCCESS;
    return result;
  }
  void Unload() {
    if (loaded_)
      host_.ModuleUnload();
    loaded_ = false;
  }
  // How long `action` took.
  static Clock::duration Timed(const std::function<void()>& action) {
    const auto begin = Clock::now();
    action();
    return Clock::now() - begin;
  }

  // The UIDs of the module's session id list, in its order.
  std::vector<std::uint64_t> Listed() {
    std::uint32_t size = 0;
    if (host_.ModuleGetTokenSessionIdList(nullptr, &size) == RESULT_EMPTY)
      return {};
    std::vector<ModuleSessionIdNode> nodes(size / sizeof(ModuleSessionIdNode));
    EXPECT_EQ(
        host_.ModuleGetTokenSessionIdList(reinterpret_cast<std::uint8_t*>(nodes.data()), &size),
        RESULT_SUCCESS);
    std::vector<std::uint64_t> uids;
    for (const ModuleSessionIdNode& node : nodes)
      uids.push_back(UidOf(node.sessionId));
    return uids;
  }

  static fs::path Image(const cardimage::TokenDescription& token) {
    cardimage::Layout layout;
    layout.dataFileSize = 0xFFFF;  // the largest file the module reads
    const cardimage::CardImage image = cardimage::MakeCardImage(token, layout);
    testrig::CardImageContent content;
    content.uid = ToHex(cardimage::UidBlob(image.uid));
    content.appKey = ToHex(image.appKey);
    for (const auto& [number, bytes] : image.files)
      content.files[number].assign(bytes.begin(), bytes.end());
    return rig->WriteImage(content.uid, content);
  }
  // Presents the card, waits until the module has read it (the property file comes last) and
  // takes it off again.
  void PresentAndTakeOff(std::size_t reader, const fs::path& image) {
    const std::size_t mark = log->Mark();
    rig->Present(reader, image);
    ASSERT_TRUE(log->WaitFor(mark, "Desfire::ReadDataFile 96 bytes read from file 31"));
    rig->Remove(reader);
    ASSERT_TRUE(log->WaitFor(mark, "CheckReaderState Card lost: " + rig->ReaderName(reader)));
  }

  static std::set<std::uint64_t> StoredUids() {
    const auto listing = service->List();
    EXPECT_EQ(listing.exitCode, 0) << listing.error;
    // A line per token: user (id and name), UID in 14 hex digits, label.
    std::istringstream words(listing.output);
    std::set<std::uint64_t> uids;
    for (std::string word; words >> word;) {
      if (word.size() == 14 && word.find_first_not_of("0123456789abcdef") == std::string::npos)
        uids.insert(std::stoull(word, nullptr, 16));
    }
    return uids;
  }
  // Waits until no module is connected to the service: all they sent is handled.
  static void WaitServiceIdle() {
    EXPECT_TRUE(Eventually(
        [] { return service->Status().output.find("\nmodules 0\n") != std::string::npos; }));
  }
  static void StoreInService(const std::vector<std::pair<std::uint64_t, std::string>>& records) {
    testservice::ModuleClient client(service->PipeName());
    for (const auto& [uid, json] : records)
      client.Store(uid, json);
    client.GetAll();  // answered after the stores before it
  }
  static pid_t ServicePid() {
    std::istringstream status(service->Status().output);
    std::string word;
    pid_t pid = 0;
    status >> word >> pid;
    return pid;
  }

  static inline testrig::PcscRig* rig = nullptr;
  static inline testservice::TokendProcess* service = nullptr;
  static inline ModuleLog* log = nullptr;
  static inline testing::ModuleHarness* module = nullptr;

  HostEvents events_;
  ModuleData host_{};
  bool loaded_ = false;
  pid_t stoppedService_ = 0;
  std::size_t threadsBefore_ = 0;
  std::size_t mark_ = 0;
};

// A card already on a reader when the module starts is ignored until presented again; every
// later read toggles its token, and the list follows UID order.
TEST_F(ModuleEndToEndTest, PresentingACardTogglesItsTokenAndTheListFollowsUidOrder) {
  constexpr std::uint64_t kHigh = 0x04E2E000000012, kLow = 0x04E2E000000011;
  const fs::path high = Image(Token(kHigh)), low = Image(Token(kLow));
  rig->Present(1, low);
  ASSERT_EQ(Initialize(), RESULT_SUCCESS);
  std::ostringstream ignored;
  ignored << "PC/SC Callback before initial state - ignored: 0x" << std::hex << kLow;
  ASSERT_TRUE(log->WaitFor(mark_, ignored.str()));

  // First read: one add event and a store; taking the card off changes nothing.
  PresentAndTakeOff(0, high);
  ASSERT_TRUE(events_.WaitFor(1));
  EXPECT_TRUE(Eventually([] { return StoredUids() == std::set{kHigh}; }));
  EXPECT_EQ(events_.Count(), 1u);
  EXPECT_EQ(Listed(), std::vector{kHigh});

  // The lower UID, presented again and read second, is listed first.
  rig->Remove(1);
  rig->Present(1, low);
  ASSERT_TRUE(events_.WaitFor(2));
  EXPECT_EQ(Listed(), (std::vector{kLow, kHigh}));

  // Second read: one remove event, and the service lets the token go.
  rig->Present(0, high);
  ASSERT_TRUE(events_.WaitFor(3));
  EXPECT_EQ(Listed(), std::vector{kLow});
  EXPECT_TRUE(Eventually([] { return StoredUids() == std::set{kLow}; }));

  // Unloading releases the rest on the host's thread; the service keeps them.
  Unload();
  const auto threads = events_.Threads();
  ASSERT_EQ(threads.size(), 4u);
  EXPECT_EQ(threads[3], std::this_thread::get_id());
  EXPECT_NE(threads[0], std::this_thread::get_id());
  WaitServiceIdle();
  EXPECT_EQ(StoredUids(), std::set{kLow});
}

// The worker is kept in the host's callback of another card's add event while a card is read
// twice: both reads wait in the queue and are handled in one pass. Cards still queued when
// unloading begins are dropped without events and never stored.
TEST_F(ModuleEndToEndTest, QueuedReadsAreHandledInOnePassAndDroppedByUnload) {
  constexpr std::uint64_t kCard = 0x04E2E000000021, kOther = 0x04E2E000000022,
                          kQueued = 0x04E2E000000023;
  const fs::path card = Image(Token(kCard));
  ASSERT_EQ(Initialize(), RESULT_SUCCESS);
  events_.HoldAt(1);
  rig->Present(1, Image(Token(kOther)));
  ASSERT_TRUE(events_.WaitFor(1));
  std::size_t mark = log->Mark();
  PresentAndTakeOff(0, card);
  PresentAndTakeOff(0, card);
  events_.Release();
  ASSERT_TRUE(events_.WaitFor(3));
  EXPECT_TRUE(log->WaitFor(mark, "TokenList::ThreadFunction Removing token object."));
  EXPECT_EQ(log->Count(mark, "TokenList::ThreadFunction Adding new token object."), 1u);
  EXPECT_EQ(Listed(), std::vector{kOther});

  events_.HoldAt(4);
  rig->Present(0, card);
  ASSERT_TRUE(events_.WaitFor(4));
  rig->Remove(0);
  PresentAndTakeOff(0, Image(Token(kQueued)));
  mark = log->Mark();
  std::thread releaser([&] {
    // The monitor has stopped only after the stop flag was set.
    EXPECT_TRUE(log->WaitFor(mark,
                             "PcscMonitoring::WorkerThreadFunction PC/SC monitoring "
                             "terminated."));
    events_.Release();
  });
  Unload();
  releaser.join();
  EXPECT_EQ(events_.Count(), 6u);  // kOther and kCard released
  EXPECT_EQ(log->Count(mark_, "Adding new token object."), 3u);
  WaitServiceIdle();
  EXPECT_EQ(StoredUids(), (std::set{kCard, kOther}));
}

TEST_F(ModuleEndToEndTest, WithoutTheServiceStartWaitsOnceAndCardsStillAddTokens) {
  const fs::path empty = rig->Directory() / "no-service";
  fs::create_directories(empty);
  setenv("VARLO_PIPE_DIR", empty.c_str(), 1);
  const auto took = Timed([&] { ASSERT_EQ(Initialize(), RESULT_SUCCESS); });
  EXPECT_GE(took, 750ms);
  EXPECT_LT(took, 3s);
  EXPECT_EQ(log->Count(mark_, "[WARN]"), 1u);
  EXPECT_EQ(log->Count(mark_,
                       "[TokenList] TokenList::StartMonitoring Waiting for localservice "
                       "connection timed out."),
            1u);
  EXPECT_EQ(log->Count(mark_, "Failed to get localservices' stored tokens: No pipe connection."),
            1u);

  constexpr std::uint64_t kUid = 0x04E2E000000041;
  rig->Present(0, Image(Token(kUid)));
  ASSERT_TRUE(events_.WaitFor(1));
  EXPECT_EQ(Listed(), std::vector{kUid});
  EXPECT_TRUE(
      log->WaitFor(mark_, "Failed to store token data in LocalService: No pipe connection."));
}

// Two stored records hold one UID (the document's UID is what the module goes by): the tokens
// restored before the duplicate go again, and none survives.
TEST_F(ModuleEndToEndTest, StoredTokensWithADuplicateUidRestoreNone) {
  constexpr std::uint64_t kFirst = 0x04E2E000000051, kSecond = 0x04E2E000000052,
                          kThird = 0x04E2E000000053;
  const std::string twice = TokenJson(Token(kThird));
  StoreInService({{kFirst, twice}, {kSecond, TokenJson(Token(kSecond))}, {kThird, twice}});
  ASSERT_EQ(Initialize(), RESULT_SUCCESS);
  // Two added, both released again, all on the host's thread inside ModuleInitialize.
  EXPECT_EQ(events_.Threads(), std::vector<std::thread::id>(4, std::this_thread::get_id()));
  EXPECT_TRUE(Listed().empty());
  EXPECT_EQ(log->Count(mark_, "[ERROR]"), 1u);
  EXPECT_EQ(log->Count(mark_,
                       "[TokenList] TokenList::StartMonitoring Failed to get "
                       "localservices' stored tokens: Token duplicate."),
            1u);
  Unload();
  EXPECT_EQ(events_.Count(), 4u);
}

// The operations' boundaries are pinned against the same table in tests/module; here the
// token the service gives back is read through the loaded library.
TEST_F(ModuleEndToEndTest, TokenComesBackFromTheServiceAfterAHostRestart) {
  constexpr std::uint64_t kUid = 0x04E2E000000061;
  ASSERT_EQ(Initialize(), RESULT_SUCCESS);
  rig->Present(0, Image(Token(kUid)));
  ASSERT_TRUE(events_.WaitFor(1));
  rig->Remove(0);
  ASSERT_TRUE(Eventually([] { return StoredUids() == std::set{kUid}; }));
  Unload();
  ASSERT_EQ(events_.Count(), 2u);

  ASSERT_EQ(Initialize(), RESULT_SUCCESS);
  EXPECT_EQ(events_.Count(), 3u);  // restored inside ModuleInitialize
  ASSERT_EQ(Listed(), std::vector{kUid});
  const ModuleSessionId session = Session(kUid);
  std::uint64_t* handles = nullptr;
  std::uint32_t count = 0;
  EXPECT_EQ(host_.ModuleFindObjects(&session, &kPrivate, 1, &handles, &count), RESULT_PIN_REQUIRED);
  EXPECT_EQ(host_.ModuleCheckPIN(&session, &kWrongPin), RESULT_PIN_INCORRECT);
  ASSERT_EQ(host_.ModuleCheckPIN(&session, &kPin), RESULT_SUCCESS);
  ASSERT_EQ(host_.ModuleFindObjects(&session, &kPrivate, 1, &handles, &count), RESULT_SUCCESS);
  ASSERT_EQ(count, 1u);
  std::uint8_t data[70] = {};
  std::uint32_t read = 0;
  EXPECT_EQ(host_.ModuleReadObject(&session, handles[0], 0, data, sizeof data, &read),
            RESULT_SUCCESS);
  EXPECT_EQ(read, sizeof data);
  EXPECT_TRUE(std::all_of(std::begin(data), std::end(data), [](auto b) { return b == 0x5E; }));
  EXPECT_EQ(host_.ModuleFreeObjectHandleList(handles), RESULT_SUCCESS);
}

// The clear command drops every token at once; a token that a host call holds raises its remove
// event only when that call lets it go, on the host's thread. A host thread checks the PIN over
// and over so that the command almost surely lands inside a call; when it lands between two
// calls, the token goes on the module's thread and the attempt is repeated.
TEST_F(ModuleEndToEndTest, ClearCommandDropsEveryTokenAndAHeldOneGoesWhenTheCallEnds) {
  constexpr std::uint64_t kHeld = 0x04E2E000000071, kRestored = 0x04E2E000000072;
  const ModuleSessionId held = Session(kHeld);
  const fs::path card = Image(Token(kHeld));
  StoreInService({{kRestored, TokenJson(Token(kRestored))}});
  ASSERT_EQ(Initialize(), RESULT_SUCCESS);
  ASSERT_EQ(events_.Count(), 1u);
  bool heldByTheCall = false;
  for (int attempt = 0; attempt < 3 && !heldByTheCall; ++attempt) {
    const std::size_t before = events_.Count() + 1;  // with the add event of this read
    PresentAndTakeOff(0, card);
    ASSERT_TRUE(events_.WaitFor(before));
    std::atomic<int> calls{0};
    ModuleResult last = RESULT_SUCCESS;
    std::thread::id caller;
    std::thread checker([&, until = Clock::now() + kDeadline] {
      caller = std::this_thread::get_id();
      while ((last = host_.ModuleCheckPIN(&held, &kPin)) == RESULT_SUCCESS && Clock::now() < until)
        ++calls;
    });
    const bool looping = Eventually([&] { return calls > 0; });
    const auto cleared = service->Clear();
    EXPECT_EQ(cleared.exitCode, 0) << cleared.error;
    EXPECT_TRUE(events_.WaitFor(before + (attempt == 0 ? 2 : 1)));
    checker.join();
    ASSERT_TRUE(looping);
    EXPECT_EQ(last, RESULT_TOKEN_NOT_FOUND);
    EXPECT_TRUE(Listed().empty());
    const auto threads = events_.Threads();
    heldByTheCall = std::find(threads.begin() + before, threads.end(), caller) != threads.end();
  }
  EXPECT_TRUE(heldByTheCall);
}

TEST_F(ModuleEndToEndTest, UnloadWhileACardIsBeingReadReturnsOnceItIsRead) {
  const std::string reader = rig->ReaderName(0);
  ASSERT_EQ(Initialize(), RESULT_SUCCESS);
  rig->Card(0).Set("chunk", "1");  // one byte per answer: a read of about a second
  rig->Card(0).Present(Image(Token(0x04E2E0000000A1, 2000)));
  ASSERT_TRUE(log->WaitFor(mark_, "PcscMonitoring::AddPicc Adding desfire on " + reader));
  const std::size_t mark = log->Mark();
  const auto took = Timed([&] { Unload(); });
  EXPECT_LT(took, 5s);
  // The read went on after unloading began; its card was dropped.
  EXPECT_GE(log->Count(mark, "Desfire::ReadDataFile"), 1u);
  EXPECT_EQ(log->Count(mark_, "Adding new token object."), 0u);
  EXPECT_EQ(events_.Count(), 0u);
}

// A service that has stopped reading: a module started meanwhile runs as without a service and
// unloads at once, its handshake cut; a module connected before holds its worker in the write
// of a large token, which unloading cuts after its grace period.
TEST_F(ModuleEndToEndTest, UnloadReturnsWhileTheServiceHasStoppedReading) {
  stoppedService_ = ServicePid();
  ASSERT_GT(stoppedService_, 0);
  ASSERT_EQ(kill(stoppedService_, SIGSTOP), 0);
  EXPECT_LT(Timed([&] { ASSERT_EQ(Initialize(), RESULT_SUCCESS); }), 3s);
  EXPECT_EQ(log->Count(mark_, "Waiting for localservice connection timed out."), 1u);
  EXPECT_LT(Timed([&] { Unload(); }), 1s);

  ASSERT_EQ(kill(stoppedService_, SIGCONT), 0);
  std::size_t mark = log->Mark();
  ASSERT_EQ(Initialize(), RESULT_SUCCESS);
  ASSERT_EQ(log->Count(mark, "Waiting for localservice connection timed out."), 0u);
  ASSERT_EQ(kill(stoppedService_, SIGSTOP), 0);
  rig->Present(0, Image(Token(0x04E2E0000000B1, 300, 4)));
  ASSERT_TRUE(events_.WaitFor(1));
  mark = log->Mark();
  EXPECT_LT(Timed([&] { Unload(); }), 8s);
  EXPECT_EQ(log->Count(mark, "Failed to store token data in LocalService"), 1u);
  EXPECT_EQ(events_.Count(), 2u);
}

// A compact selection of the operations' boundaries, through the real module and tokens
// restored from the service: the cases against fake parts live with the operations.
TEST_F(ModuleEndToEndTest, OperationBoundariesThroughTheLoadedModule) {
  constexpr std::uint64_t kFirst = 0x04E2E000000081, kSecond = 0x04E2E000000082;
  // Certificate byte i is i mod 256, and a public object of no bytes.
  const auto boundaryToken = [](std::uint64_t uid) {
    cardimage::TokenDescription token = Token(uid);
    for (std::size_t i = 0; i < token.objects[0].content.size(); ++i)
      token.objects[0].content[i] = static_cast<std::uint8_t>(i);
    token.objects.push_back({"empty", 5, false, 3, {}});
    return TokenJson(token);
  };
  StoreInService({{kSecond, boundaryToken(kSecond)}, {kFirst, boundaryToken(kFirst)}});
  const ModuleSessionId first = Session(kFirst), second = Session(kSecond);

  // Before initialization every operation answers "wrong state", whatever its arguments.
  ASSERT_EQ(Initialize(), RESULT_SUCCESS);
  const ModuleData table = host_;
  Unload();
  for (ModuleResult result :
       {table.ModuleGetSerial(nullptr, nullptr, nullptr),
        table.ModuleGetTokenSessionIdList(nullptr, nullptr),
        table.ModuleFindObjects(nullptr, nullptr, 1, nullptr, nullptr),
        table.ModuleReadObject(nullptr, 0, 0, nullptr, 0, nullptr),
        table.ModuleCheckPIN(nullptr, nullptr), table.ModuleGetObjectInfo(nullptr, 0, nullptr),
        table.ModuleGetTokenCapabilities(nullptr, nullptr, nullptr)}) {
    EXPECT_EQ(result, RESULT_WRONG_STATE);
  }
  ASSERT_EQ(Initialize(), RESULT_SUCCESS);

  // Size queries: null buffer, one byte short, exact, larger.
  using Query = std::function<ModuleResult(std::uint8_t*, std::uint32_t*)>;
  const std::pair<Query, bool> queries[] = {
      // the call, and whether success leaves the size as given
      {[&](auto buffer, auto size) { return host_.ModuleGetSerial(&first, buffer, size); }, false},
      {[&](auto buffer, auto size) {
         return host_.ModuleGetTokenCapabilities(&first, buffer, size);
       },
       false},
      {[&](auto buffer, auto size) { return host_.ModuleGetTokenSessionIdList(buffer, size); },
       true}};
  for (const auto& [query, keepsSize] : queries) {
    std::uint32_t needed = 0;
    ASSERT_EQ(query(nullptr, &needed), RESULT_SUCCESS);
    for (std::uint32_t given : {needed - 1, needed, needed + 1}) {
      std::vector<std::uint8_t> buffer(given);
      std::uint32_t size = given;
      EXPECT_EQ(query(buffer.data(), &size),
                given < needed ? RESULT_BUFFER_TOO_SMALL : RESULT_SUCCESS);
      EXPECT_EQ(size, keepsSize && given >= needed ? given : needed);
    }
  }
  // 19-byte nodes with absolute next pointers, ascending UIDs (stored in the other order).
  std::uint8_t nodes[38];
  std::uint32_t size = sizeof nodes;
  ASSERT_EQ(host_.ModuleGetTokenSessionIdList(nodes, &size), RESULT_SUCCESS);
  ModuleSessionIdNode node[2];
  std::memcpy(node, nodes, sizeof nodes);
  EXPECT_EQ(+node[0].next, reinterpret_cast<std::uint64_t>(nodes + 19));
  EXPECT_EQ(+node[1].next, 0u);
  EXPECT_EQ(UidOf(node[0].sessionId), kFirst);
  EXPECT_EQ(UidOf(node[1].sessionId), kSecond);
  for (std::uint32_t length : {6u, 8u}) {
    ModuleSessionId record = first;
    record.length = length;
    EXPECT_EQ(host_.ModuleGetSerial(&record, nullptr, &size), RESULT_INVALID_PARAMETER);
  }

  // Searches before the PIN.
  const std::tuple<std::vector<ModuleSearchCondition>, ModuleResult, std::uint32_t> searches[] = {
      {{}, RESULT_PIN_REQUIRED, 0},
      {{kPublic}, RESULT_SUCCESS, 2},
      {{kPrivate, kPublic}, RESULT_EMPTY, 0},
      {{{KEY_ATTRIBUTES, VALUE_TYPE_BYTE, {.raw = 3}}}, RESULT_INVALID_PARAMETER, 0}};
  std::map<std::string, std::uint64_t> handle;
  for (const auto& [conditions, result, found] : searches) {
    std::uint64_t* handles = nullptr;
    std::uint32_t count = 99;
    EXPECT_EQ(
        host_.ModuleFindObjects(&first, conditions.empty() ? nullptr : conditions.data(),
                                static_cast<std::uint32_t>(conditions.size()), &handles, &count),
        result);
    ASSERT_EQ(count, found);
    for (std::uint32_t i = 0; i < count; ++i) {
      ModuleObjectInfo* info = nullptr;
      ASSERT_EQ(host_.ModuleGetObjectInfo(&first, handles[i], &info), RESULT_SUCCESS);
      handle[info->label] = handles[i];
      EXPECT_EQ(+info->size, std::string(info->label) == "empty" ? 0u : 300u);
      EXPECT_EQ(host_.ModuleFreeObjectInfo(info), RESULT_SUCCESS);
    }
    if (handles != nullptr) {
      EXPECT_EQ(host_.ModuleFreeObjectHandleList(handles), RESULT_SUCCESS);
    }
  }

  // Reads up to the end and one past it, near 2^32, of an object of no bytes.
  const std::uint64_t certificate = handle["certificate"];
  const std::tuple<std::uint64_t, std::uint32_t, std::uint32_t, ModuleResult> reads[] = {
      {certificate, 298, 2, RESULT_SUCCESS},
      {certificate, 0, 300, RESULT_SUCCESS},
      {certificate, 299, 2, RESULT_INVALID_PARAMETER},
      {certificate, 0xFFFFFFFF, 2, RESULT_INVALID_PARAMETER},
      {certificate, 2, 0xFFFFFFFF, RESULT_INVALID_PARAMETER},
      {handle["empty"], 0, 1, RESULT_INVALID_PARAMETER}};
  std::vector<std::uint8_t> buffer(300);
  for (const auto& [object, offset, toRead, result] : reads) {
    std::uint32_t read = 99;
    EXPECT_EQ(host_.ModuleReadObject(&first, object, offset, buffer.data(), toRead, &read), result);
    EXPECT_EQ(read, result == RESULT_SUCCESS ? toRead : 0u);
    if (result == RESULT_SUCCESS) {
      EXPECT_EQ(buffer[toRead - 1], static_cast<std::uint8_t>(offset + toRead - 1));
    }
  }

  // The fifth wrong PIN is incorrect, the sixth finds the PIN locked, and so does the right one.
  for (int wrong = 1; wrong <= 6; ++wrong) {
    EXPECT_EQ(host_.ModuleCheckPIN(&second, &kWrongPin),
              wrong <= 5 ? RESULT_PIN_INCORRECT : RESULT_PIN_LOCKED);
  }
  EXPECT_EQ(host_.ModuleCheckPIN(&second, &kPin), RESULT_PIN_LOCKED);
  EXPECT_EQ(host_.ModuleCheckPIN(&first, &kPin), RESULT_SUCCESS);
}

}  // namespace
}  // namespace varlo
