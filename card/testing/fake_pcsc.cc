#include "card/testing/fake_pcsc.h"

#include <algorithm>
#include <cstring>

namespace varlo::testing {

namespace {
constexpr DWORD kCountShift = 16;
}  // namespace

LONG FakePcsc::Take(std::deque<LONG>& queue) {
  LONG rv = queue.front();
  queue.pop_front();
  return rv;
}

void FakePcsc::Note(const std::string& call) {
  ++counts_[call];
  changed_.notify_all();
}

void FakePcsc::Changed() {
  ++generation_;
  idle_ = false;
  changed_.notify_all();
}

void FakePcsc::AddReader(const std::string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  readers_[name] = Reader{};
  readerOrder_.push_back(name);
  Changed();
}

void FakePcsc::RemoveReader(const std::string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  readers_.erase(name);
  std::erase(readerOrder_, name);
  Changed();
}

void FakePcsc::InsertCard(const std::string& reader, std::shared_ptr<SimulatedDesfire> card,
                          const Bytes& atr) {
  std::lock_guard<std::mutex> lock(mutex_);
  Reader& r = readers_.at(reader);
  r.card = std::move(card);
  r.atr = atr;
  ++r.events;
  Changed();
}

void FakePcsc::RemoveCard(const std::string& reader) {
  std::lock_guard<std::mutex> lock(mutex_);
  Reader& r = readers_.at(reader);
  r.card.reset();
  r.atr.clear();
  ++r.events;
  Changed();
}

void FakePcsc::SetServiceRunning(bool running) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (running_ && !running) {
    ++epoch_;
    cards_.clear();
  }
  running_ = running;
  Changed();
}

void FakePcsc::QueueConnectResults(std::vector<LONG> results) {
  std::lock_guard<std::mutex> lock(mutex_);
  connectResults_.insert(connectResults_.end(), results.begin(), results.end());
}
void FakePcsc::QueueTransmitResults(std::vector<LONG> results) {
  std::lock_guard<std::mutex> lock(mutex_);
  transmitResults_.insert(transmitResults_.end(), results.begin(), results.end());
}
void FakePcsc::QueueStatusChangeResults(std::vector<LONG> results) {
  std::lock_guard<std::mutex> lock(mutex_);
  statusChangeResults_.insert(statusChangeResults_.end(), results.begin(), results.end());
}
void FakePcsc::SetReconnectResult(LONG result) {
  std::lock_guard<std::mutex> lock(mutex_);
  reconnectResult_ = result;
}
void FakePcsc::SetBeginTransactionResult(LONG result) {
  std::lock_guard<std::mutex> lock(mutex_);
  beginResult_ = result;
}
void FakePcsc::SetEstablishResult(LONG result) {
  std::lock_guard<std::mutex> lock(mutex_);
  establishResult_ = result;
}

std::vector<Bytes> FakePcsc::Sent() {
  std::lock_guard<std::mutex> lock(mutex_);
  return sent_;
}
std::vector<DWORD> FakePcsc::ConnectShareModes() {
  std::lock_guard<std::mutex> lock(mutex_);
  return shareModes_;
}
std::vector<DWORD> FakePcsc::ReconnectShareModes() {
  std::lock_guard<std::mutex> lock(mutex_);
  return reconnectShareModes_;
}
int FakePcsc::Count(const std::string& call) {
  std::lock_guard<std::mutex> lock(mutex_);
  return counts_[call];
}
int FakePcsc::OpenContexts() {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<int>(contexts_.size());
}
int FakePcsc::OpenCards() {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<int>(cards_.size());
}

bool FakePcsc::WaitUntilIdle(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, timeout, [this] { return idle_; });
}

bool FakePcsc::WaitForCount(const std::string& call, int count, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return counts_[call] >= count; });
}

LONG FakePcsc::ContextState(SCARDCONTEXT context) {
  if (!running_) {
    return SCARD_E_NO_SERVICE;
  }
  auto it = contexts_.find(context);
  if (it == contexts_.end()) {
    return SCARD_E_INVALID_HANDLE;
  }
  return it->second == epoch_ ? SCARD_S_SUCCESS : SCARD_E_NO_SERVICE;
}

LONG FakePcsc::EstablishContext(DWORD, SCARDCONTEXT* context) {
  std::lock_guard<std::mutex> lock(mutex_);
  Note("EstablishContext");
  if (establishResult_ != SCARD_S_SUCCESS) {
    return establishResult_;
  }
  if (!running_) {
    return SCARD_E_NO_SERVICE;
  }
  *context = nextContext_++;
  contexts_[*context] = epoch_;
  return SCARD_S_SUCCESS;
}

LONG FakePcsc::ReleaseContext(SCARDCONTEXT context) {
  std::lock_guard<std::mutex> lock(mutex_);
  Note("ReleaseContext");
  return contexts_.erase(context) ? SCARD_S_SUCCESS : SCARD_E_INVALID_HANDLE;
}

LONG FakePcsc::IsValidContext(SCARDCONTEXT context) {
  std::lock_guard<std::mutex> lock(mutex_);
  Note("IsValidContext");
  return contexts_.contains(context) ? SCARD_S_SUCCESS : SCARD_E_INVALID_HANDLE;
}

LONG FakePcsc::ListReaders(SCARDCONTEXT context, std::string& readers) {
  std::lock_guard<std::mutex> lock(mutex_);
  Note("ListReaders");
  changed_.notify_all();
  readers.clear();
  if (LONG rv = ContextState(context); rv != SCARD_S_SUCCESS) {
    return rv;
  }
  if (readerOrder_.empty()) {
    return SCARD_E_NO_READERS_AVAILABLE;
  }
  for (const std::string& name : readerOrder_) {
    readers += name;
    readers.push_back('\0');
  }
  readers.push_back('\0');
  return SCARD_S_SUCCESS;
}

bool FakePcsc::FillStates(SCARD_READERSTATE* states, DWORD count) {
  bool any = false;
  for (DWORD i = 0; i < count; ++i) {
    SCARD_READERSTATE& s = states[i];
    const DWORD current = s.dwCurrentState;
    DWORD event = 0;
    bool changed = false;
    if (std::strcmp(s.szReader, "\\\\?PnP?\\Notification") == 0) {
      event = static_cast<DWORD>(readerOrder_.size()) << kCountShift;
      changed = (current >> kCountShift) != readerOrder_.size();
    } else if (auto it = readers_.find(s.szReader); it == readers_.end()) {
      event = SCARD_STATE_UNKNOWN;
      changed = !(current & SCARD_STATE_UNKNOWN);
    } else {
      const Reader& r = it->second;
      const DWORD presence = r.card ? SCARD_STATE_PRESENT : SCARD_STATE_EMPTY;
      event = presence | (r.events << kCountShift);
      changed = (current & (SCARD_STATE_PRESENT | SCARD_STATE_EMPTY)) != presence ||
                (current >> kCountShift) != r.events;
      s.cbAtr = static_cast<DWORD>(r.atr.size());
      std::copy(r.atr.begin(), r.atr.end(), s.rgbAtr);
    }
    s.dwEventState = event | (changed ? SCARD_STATE_CHANGED : 0);
    any = any || changed;
  }
  return any;
}

LONG FakePcsc::GetStatusChange(SCARDCONTEXT context, DWORD timeout, SCARD_READERSTATE* states,
                               DWORD count) {
  std::unique_lock<std::mutex> lock(mutex_);
  Note("GetStatusChange");
  changed_.notify_all();
  if (LONG rv = ContextState(context); rv != SCARD_S_SUCCESS) {
    return rv;
  }
  if (!statusChangeResults_.empty()) {
    return Take(statusChangeResults_);
  }
  const std::uint64_t cancels = cancels_;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout);
  for (;;) {
    if (FillStates(states, count)) {
      return SCARD_S_SUCCESS;
    }
    const std::uint64_t generation = generation_;
    idle_ = true;
    changed_.notify_all();
    auto woken = [&] { return generation_ != generation || cancels_ != cancels || !running_; };
    if (timeout == INFINITE) {
      changed_.wait(lock, woken);
    } else if (!changed_.wait_until(lock, deadline, woken)) {
      idle_ = false;
      return SCARD_E_TIMEOUT;
    }
    idle_ = false;
    if (cancels_ != cancels) {
      return SCARD_E_CANCELLED;
    }
    if (LONG rv = ContextState(context); rv != SCARD_S_SUCCESS) {
      return rv;
    }
  }
}

LONG FakePcsc::Cancel(SCARDCONTEXT) {
  std::lock_guard<std::mutex> lock(mutex_);
  Note("Cancel");
  ++cancels_;
  changed_.notify_all();
  return SCARD_S_SUCCESS;
}

LONG FakePcsc::Connect(SCARDCONTEXT context, const char* reader, DWORD shareMode, DWORD,
                       SCARDHANDLE* card, DWORD* activeProtocol) {
  std::lock_guard<std::mutex> lock(mutex_);
  Note("Connect");
  changed_.notify_all();
  shareModes_.push_back(shareMode);
  if (LONG rv = ContextState(context); rv != SCARD_S_SUCCESS) {
    return rv;
  }
  if (!connectResults_.empty()) {
    return Take(connectResults_);
  }
  auto it = readers_.find(reader);
  if (it == readers_.end()) {
    return SCARD_E_UNKNOWN_READER;
  }
  if (!it->second.card) {
    return SCARD_E_NO_SMARTCARD;
  }
  *card = nextCard_++;
  cards_[*card] = reader;
  *activeProtocol = SCARD_PROTOCOL_T1;
  return SCARD_S_SUCCESS;
}

LONG FakePcsc::Reconnect(SCARDHANDLE card, DWORD shareMode, DWORD, DWORD, DWORD* activeProtocol) {
  std::lock_guard<std::mutex> lock(mutex_);
  Note("Reconnect");
  reconnectShareModes_.push_back(shareMode);
  if (reconnectResult_ != SCARD_S_SUCCESS) {
    return reconnectResult_;
  }
  auto it = cards_.find(card);
  if (it == cards_.end()) {
    return SCARD_E_INVALID_HANDLE;
  }
  if (auto& sim = readers_.at(it->second).card) {
    sim->Reset();
  }
  *activeProtocol = SCARD_PROTOCOL_T1;
  return SCARD_S_SUCCESS;
}

LONG FakePcsc::Disconnect(SCARDHANDLE card, DWORD) {
  std::lock_guard<std::mutex> lock(mutex_);
  Note("Disconnect");
  return cards_.erase(card) ? SCARD_S_SUCCESS : SCARD_E_INVALID_HANDLE;
}

LONG FakePcsc::BeginTransaction(SCARDHANDLE) {
  std::lock_guard<std::mutex> lock(mutex_);
  Note("BeginTransaction");
  return beginResult_;
}

LONG FakePcsc::EndTransaction(SCARDHANDLE card, DWORD) {
  std::lock_guard<std::mutex> lock(mutex_);
  Note("EndTransaction");
  return cards_.contains(card) ? SCARD_S_SUCCESS : SCARD_E_INVALID_HANDLE;
}

LONG FakePcsc::Transmit(SCARDHANDLE card, DWORD, std::span<const std::uint8_t> command,
                        std::span<std::uint8_t> response, DWORD* responseLength) {
  std::lock_guard<std::mutex> lock(mutex_);
  Note("Transmit");
  *responseLength = 0;
  sent_.emplace_back(command.begin(), command.end());
  if (!transmitResults_.empty()) {
    return Take(transmitResults_);
  }
  auto it = cards_.find(card);
  if (it == cards_.end()) {
    return SCARD_E_INVALID_HANDLE;
  }
  auto& sim = readers_.at(it->second).card;
  if (!sim) {
    return SCARD_W_REMOVED_CARD;
  }
  Bytes answer = sim->Process(Bytes(command.begin(), command.end()));
  if (answer.size() > response.size()) {
    return SCARD_E_INSUFFICIENT_BUFFER;  // as pcsc-lite answers an answer longer than the buffer
  }
  std::copy(answer.begin(), answer.end(), response.begin());
  *responseLength = static_cast<DWORD>(answer.size());
  return SCARD_S_SUCCESS;
}

}  // namespace varlo::testing
