// The module as a host meets it: the built library loaded through the public header, the pcscd
// test rig with a virtual card, and a running varlo-tokend holding the stored tokens. Every
// figure is also given as a ratio (counter "ratio") to a reference measured in the same run (the
// label names it):
//   BM_PresentedToHostCallback    card presented -> the host's callback for the added token,
//                                 against pcscd's wake-up: card presented -> a plain PC/SC
//                                 client's SCardGetStatusChange reporting it present;
//   BM_Initialize/N               ModuleInitialize until the table lists the N stored tokens,
//                                 against BM_Reference_ParseDocuments/N: the same documents
//                                 parsed in this process as the module parses them;
//   BM_ResidentMemory/N           peak resident memory of a fresh process (varlo_module_memory)
//                                 initializing the module with N stored tokens, less that
//                                 process before loading, against the size of the documents;
//   BM_Table{FindObjects,ReadObject} through the table, against BM_Reference_Token* on a token
//                                 built from the same document.
// Needs pcscd and the vpcd driver; takes the machine's pcscd like the end-to-end tests do.
#include <PCSC/winscard.h>
#include <benchmark/benchmark.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <future>
#include <map>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "apps/cardimage/card_image_writer.h"
#include "common/hex.h"
#include "platform/process/child_process.h"
#include "tests/harness/module_harness.h"
#include "tests/rig/pcsc_rig.h"
#include "tests/service/module_client.h"
#include "tests/service/tokend_process.h"
#include "token/token.h"

namespace varlo {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr auto kDeadline = 10s;
constexpr std::uint64_t kCardUid = 0x04C0C1C2C3C4C5;
// The stored tokens: the first with its own UID (its objects can be read), the others copies of
// it under the following UIDs.
constexpr std::uint64_t kStoredUid = 0x04D00000000000;
constexpr int kMostStored = 10000;
const ModuleSearchCondition kPublicObjects{KEY_ATTRIBUTES, VALUE_TYPE_BYTE, {.raw = 2}};

double Seconds(Clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

// A token as a card would carry it: a certificate and a note, public, and a private key.
cardimage::TokenDescription Description(std::uint64_t uid) {
  cardimage::TokenDescription token;
  token.uid = uid;
  token.label = "Benchmark";
  token.pin = ToSecure(std::vector<std::uint8_t>{'4', '7', '1', '1'});
  token.objects = {{"certificate", 5, false, 1, SecureBytes(1024, 0xCE)},
                   {"private key", 5, true, 3, SecureBytes(256, 0x5E)},
                   {"note", 5, false, 3, SecureBytes(64, 0x40)}};
  return token;
}

// pcscd with the virtual readers, the local token service, and the module's environment: no
// registry settings (so no log), the service's pipe folder. One of each for the whole run.
struct Machine {
  testrig::PcscRig rig;
  testservice::TokendProcess service;
  fs::path cardImage;
  std::vector<std::string> documents;  // of the stored tokens, kMostStored of them
  int stored = -1;                     // of `documents` in the service; -1: not known

  Machine() {
    setenv("VARLO_USER_REGISTRY", (rig.Directory() / "none.reg").c_str(), 1);
    setenv("VARLO_MACHINE_REGISTRY", (rig.Directory() / "none.reg").c_str(), 1);
    setenv("VARLO_PIPE_DIR", service.PipeDirectory().c_str(), 1);

    const cardimage::CardImage card = cardimage::MakeCardImage(Description(kCardUid));
    testrig::CardImageContent content;
    content.uid = ToHex(cardimage::UidBlob(card.uid));
    content.appKey = ToHex(card.appKey);
    for (const auto& [number, bytes] : card.files)
      content.files[number].assign(bytes.begin(), bytes.end());
    cardImage = rig.WriteImage("card", content);

    const cardimage::CardImage image = cardimage::MakeCardImage(Description(kStoredUid));
    DesfireData token(image.uid, image.files);
    for (int i = 0; i < kMostStored; ++i) {
      token.uid = kStoredUid + static_cast<std::uint64_t>(i);
      documents.emplace_back(std::string_view(token.ToJson()));
    }
  }

  // Makes the service hold the first `count` documents and no other token.
  void Store(int count) {
    if (stored == count)
      return;
    if (stored > count || stored < 0) {
      service.Clear();
      stored = 0;
    }
    testservice::ModuleClient client(service.PipeName());
    for (; stored < count; ++stored)
      client.Store(kStoredUid + static_cast<std::uint64_t>(stored), documents[stored]);
    client.GetAll(600s);  // answered once the stores before it are on disk
  }
};

Machine& TheMachine() {
  static Machine machine;
  return machine;
}

// Mean seconds per iteration of each reference measured so far in this run.
std::map<std::string, double>& References() {
  static std::map<std::string, double> references;
  return references;
}

void ReportRatio(benchmark::State& state, const std::string& reference, double seconds) {
  const auto it = References().find(reference);
  if (it == References().end() || it->second <= 0) {
    state.SetLabel("no reference " + reference);
    return;
  }
  state.counters["ratio"] = seconds / it->second;
  state.SetLabel("ratio to " + reference);
}

// The host's event callback: counts the events and notes when the last one came.
class HostEvents {
 public:
  static void Invoke(void* context, std::uint64_t) {
    auto* self = static_cast<HostEvents*>(context);
    {
      std::lock_guard lock(self->mutex_);
      ++self->count_;
      self->lastAt_ = Clock::now();
    }
    self->changed_.notify_all();
  }
  std::size_t Count() {
    std::lock_guard lock(mutex_);
    return count_;
  }
  // The time of event number `count` (or a later one); nullopt at the deadline.
  std::optional<Clock::time_point> WaitFor(std::size_t count) {
    std::unique_lock lock(mutex_);
    if (!changed_.wait_for(lock, kDeadline, [&] { return count_ >= count; }))
      return std::nullopt;
    return lastAt_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::size_t count_ = 0;
  Clock::time_point lastAt_;
};

// The module loaded and initialized for one benchmark, unloaded at its end.
class Host {
 public:
  Host() {
    data_ = testing::NewModuleData(nullptr);
    data_.pfnEventCallback.invoke = &HostEvents::Invoke;
    data_.pfnEventCallback.context = &events_;
  }
  ~Host() { Unload(); }
  Host(const Host&) = delete;
  Host& operator=(const Host&) = delete;

  bool Initialize() {
    initialized_ = Module().Initialize(&data_) == RESULT_SUCCESS;
    return initialized_;
  }
  void Unload() {
    if (initialized_)
      data_.ModuleUnload();
    initialized_ = false;
  }
  std::size_t Listed() {
    std::uint32_t size = 0;
    if (data_.ModuleGetTokenSessionIdList(nullptr, &size) != RESULT_SUCCESS)
      return 0;
    return size / sizeof(ModuleSessionIdNode);
  }
  const ModuleData& Table() const { return data_; }
  HostEvents& Events() { return events_; }

 private:
  static testing::ModuleHarness& Module() {
    static testing::ModuleHarness module;
    return module;
  }

  HostEvents events_;
  ModuleData data_;
  bool initialized_ = false;
};

ModuleSessionId SessionOf(std::uint64_t uid) {
  ModuleSessionId session{7, {}};
  const auto blob = cardimage::UidBlob(uid);
  std::memcpy(session.id, blob.data(), blob.size());
  return session;
}

// A plain PC/SC client of its own on one reader: pcscd's own notice of a card.
class PcscClient {
 public:
  explicit PcscClient(std::string reader) : reader_(std::move(reader)) {
    ok_ = SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context_) == SCARD_S_SUCCESS;
  }
  ~PcscClient() {
    if (ok_)
      SCardReleaseContext(context_);
  }
  PcscClient(const PcscClient&) = delete;
  PcscClient& operator=(const PcscClient&) = delete;

  bool Ok() const { return ok_; }
  // The reader's state as pcscd reports it now.
  SCARD_READERSTATE Now() {
    SCARD_READERSTATE state{};
    state.szReader = reader_.c_str();
    state.dwCurrentState = SCARD_STATE_UNAWARE;
    SCardGetStatusChange(context_, 0, &state, 1);
    return state;
  }
  // Waits from `state` until pcscd reports a card present: when it did; nullopt on a failure.
  std::optional<Clock::time_point> WaitForCard(SCARD_READERSTATE state) {
    while ((state.dwEventState & SCARD_STATE_PRESENT) == 0) {
      state.dwCurrentState = state.dwEventState & ~SCARD_STATE_CHANGED;
      if (SCardGetStatusChange(context_, 10000, &state, 1) != SCARD_S_SUCCESS)
        return std::nullopt;
    }
    return Clock::now();
  }

 private:
  std::string reader_;
  SCARDCONTEXT context_ = 0;
  bool ok_ = false;
};

// Each presentation adds the card's token; clearing the service's store drops it again (not
// timed), so that the next presentation adds it anew. The reference is pcscd's wake-up in the
// same presentations: a plain PC/SC client waits for the card beside the module (counter
// "pcscd_ms"), so both share pcscd's polling phase, which varies by hundreds of milliseconds.
void BM_PresentedToHostCallback(benchmark::State& state) {
  Machine& machine = TheMachine();
  PcscClient client(machine.rig.ReaderName(0));
  Host host;
  if (!client.Ok() || !host.Initialize()) {
    state.SkipWithError("no PC/SC context or ModuleInitialize failed");
    return;
  }
  std::size_t events = host.Events().Count();
  double total = 0, pcscd = 0;
  for (auto _ : state) {
    const SCARD_READERSTATE empty = client.Now();
    const Clock::time_point presented = Clock::now();
    auto noticed = std::async(std::launch::async, [&] { return client.WaitForCard(empty); });
    machine.rig.Card(0).Present(machine.cardImage);
    const auto added = host.Events().WaitFor(++events);
    const auto woke = noticed.get();
    if (!added || !woke || host.Listed() != 1) {
      state.SkipWithError("no token added");
      break;
    }
    state.SetIterationTime(Seconds(*added - presented));
    total += Seconds(*added - presented);
    pcscd += Seconds(*woke - presented);
    machine.rig.Remove(0);
    machine.service.Clear();
    if (!host.Events().WaitFor(++events)) {
      state.SkipWithError("the token was not dropped");
      break;
    }
  }
  machine.stored = -1;
  state.counters["pcscd_ms"] = pcscd * 1000 / static_cast<double>(state.iterations());
  if (pcscd > 0)
    state.counters["ratio"] = total / pcscd;
  state.SetLabel("ratio to pcscd's wake-up");
}
BENCHMARK(BM_PresentedToHostCallback)
    ->UseManualTime()
    ->Iterations(30)
    ->Unit(benchmark::kMillisecond);

void BM_Reference_ParseDocuments(benchmark::State& state) {
  const auto count = static_cast<std::size_t>(state.range(0));
  const std::vector<std::string>& documents = TheMachine().documents;
  const Clock::time_point begin = Clock::now();
  for (auto _ : state) {
    for (std::size_t i = 0; i < count; ++i) {
      DesfireData token(nlohmann::json::parse(documents[i]));
      benchmark::DoNotOptimize(token.objects.size());
    }
  }
  References()["parse " + std::to_string(count)] =
      Seconds(Clock::now() - begin) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_Reference_ParseDocuments)->Arg(1000)->Arg(kMostStored)->Unit(benchmark::kMillisecond);

void BM_Initialize(benchmark::State& state) {
  Machine& machine = TheMachine();
  const auto count = static_cast<int>(state.range(0));
  machine.Store(count);
  double total = 0;
  for (auto _ : state) {
    Host host;
    const Clock::time_point begin = Clock::now();
    const bool initialized = host.Initialize();
    const std::size_t listed = host.Listed();
    const double seconds = Seconds(Clock::now() - begin);
    if (!initialized || listed != static_cast<std::size_t>(count)) {
      state.SkipWithError("the module did not list the stored tokens");
      break;
    }
    state.SetIterationTime(seconds);
    total += seconds;
  }
  ReportRatio(state, "parse " + std::to_string(count),
              total / static_cast<double>(state.iterations()));
}
BENCHMARK(BM_Initialize)
    ->Arg(0)
    ->Arg(1000)
    ->Arg(kMostStored)
    ->UseManualTime()
    ->Iterations(5)
    ->Unit(benchmark::kMillisecond);

// Counters in MB: "peak" and "resident" of the process less its resident memory before loading,
// "documents" the stored documents' text; "ratio" is peak / documents.
void BM_ResidentMemory(benchmark::State& state) {
  Machine& machine = TheMachine();
  const auto count = static_cast<int>(state.range(0));
  machine.Store(count);
  double documents = 0;
  for (int i = 0; i < count; ++i)
    documents += static_cast<double>(machine.documents[i].size()) / (1 << 20);
  double peak = 0, resident = 0;
  for (auto _ : state) {
    platform::SpawnOptions options;
    options.argv = {VARLO_MODULE_MEMORY_PROGRAM};
    options.pipeStdout = true;
    auto child = platform::ChildProcess::Spawn(options);
    const auto line = child->ReadLine(Clock::now() + kDeadline);
    std::uint64_t beforeKb = 0, peakKb = 0, residentKb = 0, listed = 0;
    if (line)
      std::istringstream(*line) >> beforeKb >> peakKb >> residentKb >> listed;
    if (child->WaitExit(Clock::now() + kDeadline) != 0 || listed != std::uint64_t(count)) {
      state.SkipWithError("varlo_module_memory failed");
      break;
    }
    peak = static_cast<double>(peakKb - beforeKb) / 1024;
    resident = static_cast<double>(residentKb - beforeKb) / 1024;
  }
  state.counters["peak_MB"] = peak;
  state.counters["resident_MB"] = resident;
  state.counters["documents_MB"] = documents;
  if (count > 0)
    state.counters["ratio"] = peak / documents;
}
BENCHMARK(BM_ResidentMemory)->Arg(kMostStored)->Arg(0)->Iterations(1)->Unit(benchmark::kSecond);

// The first stored token, built in this process from its document as the module builds it.
Token& LocalToken() {
  static Token token(DesfireData(nlohmann::json::parse(TheMachine().documents[0])), {});
  return token;
}

std::uint64_t CertificateOf(const Token& token) {
  SearchCondition label;
  label.fieldKey = KEY_LABEL;
  label.text = "certificate";
  return token.FindObjects({label}).at(0);
}

void BM_Reference_TokenFindObjects(benchmark::State& state) {
  const Token& token = LocalToken();
  const std::vector<SearchCondition> search{SearchCondition::FromHost(kPublicObjects)};
  const Clock::time_point begin = Clock::now();
  for (auto _ : state)
    benchmark::DoNotOptimize(token.FindObjects(search));
  References()["token FindObjects"] =
      Seconds(Clock::now() - begin) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_Reference_TokenFindObjects);

void BM_Reference_TokenReadObject(benchmark::State& state) {
  const Token& token = LocalToken();
  const std::uint64_t certificate = CertificateOf(token);
  const Clock::time_point begin = Clock::now();
  for (auto _ : state)
    benchmark::DoNotOptimize(token.ReadObject(certificate));
  References()["token ReadObject"] =
      Seconds(Clock::now() - begin) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_Reference_TokenReadObject);

void BM_TableFindObjects(benchmark::State& state) {
  TheMachine().Store(1);
  Host host;
  const ModuleSessionId session = SessionOf(kStoredUid);
  if (!host.Initialize() || host.Listed() != 1) {
    state.SkipWithError("the module did not list the stored token");
    return;
  }
  const Clock::time_point begin = Clock::now();
  for (auto _ : state) {
    std::uint64_t* handles = nullptr;
    std::uint32_t count = 0;
    if (host.Table().ModuleFindObjects(&session, &kPublicObjects, 1, &handles, &count) !=
        RESULT_SUCCESS) {
      state.SkipWithError("ModuleFindObjects failed");
      break;
    }
    host.Table().ModuleFreeObjectHandleList(handles);
  }
  ReportRatio(state, "token FindObjects",
              Seconds(Clock::now() - begin) / static_cast<double>(state.iterations()));
}
BENCHMARK(BM_TableFindObjects);

void BM_TableReadObject(benchmark::State& state) {
  TheMachine().Store(1);
  Host host;
  const ModuleSessionId session = SessionOf(kStoredUid);
  const ModuleSearchCondition certificate[] = {
      kPublicObjects, {KEY_LABEL, VALUE_TYPE_TEXT, {.text = "certificate"}}};
  std::uint64_t* handles = nullptr;
  std::uint32_t count = 0;
  if (!host.Initialize() || host.Table().ModuleFindObjects(&session, certificate, 2, &handles,
                                                           &count) != RESULT_SUCCESS) {
    state.SkipWithError("the module did not find the certificate");
    return;
  }
  const std::uint64_t handle = handles[0];
  host.Table().ModuleFreeObjectHandleList(handles);
  std::vector<std::uint8_t> buffer(1024);
  const Clock::time_point begin = Clock::now();
  for (auto _ : state) {
    std::uint32_t read = 0;
    if (host.Table().ModuleReadObject(&session, handle, 0, buffer.data(),
                                      static_cast<std::uint32_t>(buffer.size()),
                                      &read) != RESULT_SUCCESS) {
      state.SkipWithError("ModuleReadObject failed");
      break;
    }
  }
  ReportRatio(state, "token ReadObject",
              Seconds(Clock::now() - begin) / static_cast<double>(state.iterations()));
}
BENCHMARK(BM_TableReadObject);

}  // namespace
}  // namespace varlo

BENCHMARK_MAIN();
