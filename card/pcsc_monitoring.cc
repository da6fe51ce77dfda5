#include "card/pcsc_monitoring.h"

#include <algorithm>
#include <sstream>
#include <stdexcept>
#include <system_error>

#include "common/exception_text.h"
#include "log/logger.h"

namespace varlo {

namespace {

constexpr const char* kContext = "PcscMonitoring";
// How often a stop repeats its cancel until the worker has noticed it: a cancel only ends a
// wait that has already begun.
constexpr std::chrono::milliseconds kCancelRepeat{50};

bool IsDesfireAtr(const SCARD_READERSTATE& state) {
  return state.cbAtr == kDesfireAtr.size() &&
         std::equal(kDesfireAtr.begin(), kDesfireAtr.end(), state.rgbAtr);
}

// The high 16 bits of a reader's state count the cards put on and taken off it. A card that is
// still present but with another count was swapped between two waits.
constexpr int kEventCountShift = 16;

bool CardSwapped(const SCARD_READERSTATE& state) {
  return (state.dwEventState >> kEventCountShift) != (state.dwCurrentState >> kEventCountShift);
}

}  // namespace

std::vector<std::string> SplitReaderNames(std::string_view multiString) {
  std::vector<std::string> names;
  if (multiString.size() < 3) {
    return names;
  }
  std::string current;
  for (char c : multiString) {
    if (c != '\0') {
      current.push_back(c);
    } else if (!current.empty()) {
      names.push_back(std::move(current));
      current.clear();
    }
  }
  return names;
}

PcscMonitoring::PcscMonitoring(CardCallback callback, IPcsc& pcsc, MonitorTimings timings)
    : PcscBase(pcsc), callback_(std::move(callback)), timings_(timings) {
  TraceScope trace("PcscMonitoring::PcscMonitoring");
}

PcscMonitoring::~PcscMonitoring() {
  TraceScope trace("PcscMonitoring::~PcscMonitoring");
  StopMonitoring();
}

void PcscMonitoring::StartMonitoring() {
  TraceScope trace("PcscMonitoring::StartMonitoring");
  if (worker_.joinable()) {
    throw std::logic_error("PcscMonitoring: monitoring has already been started.");
  }
  worker_ = std::thread([this] { WorkerThreadFunction(); });
}

void PcscMonitoring::StopMonitoring() {
  {
    std::lock_guard<std::mutex> guard(stopMutex_);
    stop_ = true;
  }
  stopSignal_.notify_all();
  if (!worker_.joinable()) {
    return;
  }
  if (worker_.get_id() == std::this_thread::get_id()) {
    throw std::system_error(std::make_error_code(std::errc::resource_deadlock_would_occur),
                            "PcscMonitoring: the worker thread cannot stop itself");
  }
  std::unique_lock<std::mutex> lock(stopMutex_);
  while (!workerDone_) {
    pcsc_.Cancel(context_);
    stopSignal_.wait_for(lock, kCancelRepeat, [this] { return workerDone_; });
  }
  lock.unlock();
  worker_.join();
}

bool PcscMonitoring::WaitForInitialState(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(stopMutex_);
  return stopSignal_.wait_for(lock, timeout, [this] { return initialStateSeen_; });
}

void PcscMonitoring::Pause(std::chrono::milliseconds duration) {
  std::unique_lock<std::mutex> lock(stopMutex_);
  stopSignal_.wait_for(lock, duration, [this] { return stop_.load(); });
}

bool PcscMonitoring::IsServiceGone(LONG rv) {
  return rv == SCARD_E_NO_SERVICE || rv == SCARD_E_SERVICE_STOPPED;
}

void PcscMonitoring::WorkerThreadFunction() {
  TraceScope trace("PcscMonitoring::WorkerThreadFunction");
  AppendEntry(kPnpReaderName);
  readerStates_[0].dwEventState = SCARD_STATE_CHANGED;
  LogInfo(kContext) << "PcscMonitoring::WorkerThreadFunction PC/SC monitoring started.";

  while (!stop_) {
    SCARD_READERSTATE& pnp = readerStates_[0];
    if (pnp.dwEventState & SCARD_STATE_CHANGED) {
      if (contextLost_ || pcsc_.IsValidContext(context_) != SCARD_S_SUCCESS) {
        if (!RefreshContext()) {
          Pause(timings_.errorPause);
          continue;
        }
        LogInfo(kContext)
            << "PcscMonitoring::WorkerThreadFunction Smartcard context reestablished.";
        contextLost_ = false;
      }
      pnp.dwCurrentState = pnp.dwEventState;
      std::string multiString;
      LONG rv = pcsc_.ListReaders(context_, multiString);
      if (IsServiceGone(rv) || rv == SCARD_E_NO_READERS_AVAILABLE) {
        LogDebug(kContext)
            << "PcscMonitoring::WorkerThreadFunction Smart card service not running.";
        contextLost_ = IsServiceGone(rv);
        Pause(timings_.servicePause);
        continue;
      }
      if (rv != SCARD_S_SUCCESS) {
        LogError(kContext) << "PcscMonitoring::WorkerThreadFunction SCardListReaders returned "
                           << PcscCode(rv);
        Pause(timings_.errorPause);
        continue;
      }
      MergeReaderList(SplitReaderNames(multiString));
    }

    LogDebug(kContext) << "PcscMonitoring::WorkerThreadFunction Waiting for changes...";
    LONG rv = pcsc_.GetStatusChange(context_, INFINITE, readerStates_.data(),
                                    static_cast<DWORD>(readerStates_.size()));
    if (rv == SCARD_S_SUCCESS) {
      try {
        CheckReaderState();
      } catch (...) {
        // Reading a card never throws; what is left (no memory, say) must not end the worker.
        LogError(kContext) << "PcscMonitoring::WorkerThreadFunction Handling a status change "
                              "failed: "
                           << CurrentExceptionText();
        Pause(timings_.errorPause);
      }
      if (!initialState_) {
        initialState_ = true;
        std::lock_guard<std::mutex> guard(stopMutex_);
        initialStateSeen_ = true;
        stopSignal_.notify_all();
      }
      continue;
    }
    // After a failed wait (other than our own cancel) the context is renewed and the readers
    // listed again before the next wait. After a restart of the service pcsc-lite reports a
    // communication error and then "no service" for the old context forever, while still
    // calling it valid, so without this the monitor would never see a reader again.
    readerStates_[0].dwEventState |= SCARD_STATE_CHANGED;
    contextLost_ = rv != SCARD_E_CANCELLED;
    if (IsServiceGone(rv)) {
      LogDebug(kContext) << "PcscMonitoring::WorkerThreadFunction Smart card service not running.";
      Pause(timings_.servicePause);
    } else {
      LogError(kContext) << "PcscMonitoring::WorkerThreadFunction SCardGetStatusChange returned "
                         << PcscCode(rv);
      Pause(timings_.errorPause);
    }
  }

  LogInfo(kContext) << "PcscMonitoring::WorkerThreadFunction PC/SC monitoring terminated.";
  {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    for (auto& [id, card] : cards_) {
      card->DisableCallback();
    }
    cards_.clear();
    for (const ReaderEntry& entry : readers_) {
      LogDebug(kContext) << "PcscMonitoring::WorkerThreadFunction Cleaning up " << *entry.name;
    }
    readerStates_.clear();
    readers_.clear();
  }
  {
    std::lock_guard<std::mutex> guard(stopMutex_);
    workerDone_ = true;
  }
  stopSignal_.notify_all();
}

void PcscMonitoring::AppendEntry(const std::string& name) {
  ReaderEntry entry{std::make_unique<std::string>(name), nullptr};
  SCARD_READERSTATE state{};
  state.szReader = entry.name->c_str();
  state.dwCurrentState = SCARD_STATE_UNAWARE;
  readers_.push_back(std::move(entry));
  readerStates_.push_back(state);
}

void PcscMonitoring::EraseEntry(std::size_t index) {
  readerStates_.erase(readerStates_.begin() + static_cast<std::ptrdiff_t>(index));
  readers_.erase(readers_.begin() + static_cast<std::ptrdiff_t>(index));
}

void PcscMonitoring::MergeReaderList(const std::vector<std::string>& names) {
  TraceScope trace("PcscMonitoring::MergeReaderList");
  std::lock_guard<std::recursive_mutex> guard(lock_);
  for (std::size_t i = 1; i < readers_.size();) {
    if (std::find(names.begin(), names.end(), *readers_[i].name) != names.end()) {
      ++i;
      continue;
    }
    // A reader that vanished between two waits: its card goes with it.
    if (readers_[i].piccId) {
      cards_.erase(*readers_[i].piccId);
    }
    EraseEntry(i);
  }
  for (const std::string& name : names) {
    auto known = std::find_if(readers_.begin() + 1, readers_.end(),
                              [&](const ReaderEntry& entry) { return *entry.name == name; });
    if (known == readers_.end()) {
      AppendEntry(name);
    }
  }
  LogDebug(kContext) << "PcscMonitoring::MergeReaderList currently " << readers_.size() - 1
                     << " readers known.";
}

void PcscMonitoring::CheckReaderState() {
  TraceScope trace("PcscMonitoring::CheckReaderState");
  std::lock_guard<std::recursive_mutex> guard(lock_);
  for (std::size_t i = 1; i < readerStates_.size();) {
    SCARD_READERSTATE& state = readerStates_[i];
    const std::string& reader = *readers_[i].name;
    const DWORD event = state.dwEventState;
    if (!(event & SCARD_STATE_CHANGED)) {
      LogDebug(kContext) << "PcscMonitoring::CheckReaderState No changes: " << reader;
    } else if (event & (SCARD_STATE_UNKNOWN | SCARD_STATE_UNAVAILABLE | SCARD_STATE_EMPTY)) {
      if (readers_[i].piccId) {
        LogDebug(kContext) << "PcscMonitoring::CheckReaderState Card lost: " << reader;
        RemovePicc(i);
      }
      if (event & (SCARD_STATE_UNKNOWN | SCARD_STATE_UNAVAILABLE)) {
        LogDebug(kContext) << "PcscMonitoring::CheckReaderState Reader lost: " << reader;
        RemovePicc(i);
        EraseEntry(i);
        continue;
      }
    } else if (event & SCARD_STATE_PRESENT) {
      if (readers_[i].piccId && CardSwapped(state)) {
        LogDebug(kContext) << "PcscMonitoring::CheckReaderState Card lost: " << reader;
        RemovePicc(i);
      }
      if (readers_[i].piccId) {
        LogDebug(kContext) << "PcscMonitoring::CheckReaderState Already card present for: "
                           << reader;
      } else {
        LogDebug(kContext) << "PcscMonitoring::CheckReaderState New card detected: " << reader;
        AddPicc(i);
      }
    }
    readerStates_[i].dwCurrentState = readerStates_[i].dwEventState;
    ++i;
  }
}

void PcscMonitoring::AddPicc(std::size_t index) {
  const std::string& reader = *readers_[index].name;
  if (readers_[index].piccId) {
    LogWarn(kContext) << "PcscMonitoring::AddPicc Already picc present for " << reader;
    return;
  }
  if (!IsDesfireAtr(readerStates_[index])) {
    LogInfo(kContext) << "PcscMonitoring::AddPicc ATR missmatch on " << reader;
    return;
  }
  LogInfo(kContext) << "PcscMonitoring::AddPicc Adding desfire on " << reader;

  std::uint32_t piccId = static_cast<std::uint32_t>(cards_.size());
  do {
    ++piccId;
  } while (cards_.contains(piccId));

  CardCallback callback = callback_;
  if (!initialState_) {
    callback = [](DesfireData data) {
      std::ostringstream uid;
      uid << std::hex << data.uid;
      LogDebug(kContext) << "PcscMonitoring::AddPicc PC/SC Callback before initial state - "
                            "ignored: 0x"
                         << uid.str();
    };
  }
  auto card = std::make_shared<Desfire>(reader, std::move(callback), pcsc_, timings_.desfire);
  cards_[piccId] = card;
  readers_[index].piccId = std::make_unique<std::uint32_t>(piccId);
  readerStates_[index].pvUserData = readers_[index].piccId.get();
  card->Load();
}

void PcscMonitoring::RemovePicc(std::size_t index) {
  ReaderEntry& entry = readers_[index];
  if (!entry.piccId) {
    LogWarn(kContext) << "PcscMonitoring::RemovePicc No picc present for " << *entry.name;
    return;
  }
  cards_.erase(*entry.piccId);
  entry.piccId.reset();
  readerStates_[index].pvUserData = nullptr;
}

}  // namespace varlo
