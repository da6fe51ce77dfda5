#include "token/token_list.h"

#include <cstring>
#include <exception>
#include <stdexcept>
#include <string>
#include <utility>

#include "card/pcsc_monitoring.h"
#include "common/exception_text.h"
#include "common/module_exception.h"
#include "localservice/local_service_connection.h"
#include "log/logger.h"
#include "ravcore/thread_pool.h"

namespace varlo {
namespace {

constexpr char kContext[] = "TokenList";
// The worker holds one thread for the list's whole life; the other two run the short tasks.
constexpr std::size_t kPoolThreads = 3;
// A session id carries the UID's low seven bytes: a larger UID would share its session id with
// another, and UID 0 stands for "no UID".
constexpr std::uint64_t kLargestUid = 0x00FF'FFFF'FFFF'FFFFull;
// How long unloading lets the worker finish its service calls before it cuts the connection.
constexpr std::chrono::seconds kWorkerGrace{5};

bool HasSessionId(std::uint64_t uid) {
  return uid != 0 && uid <= kLargestUid;
}

}  // namespace

TokenList::Parts TokenList::DefaultParts() {
  Parts parts;
  parts.makeService = [](ClearCallback onClear) -> std::unique_ptr<ILocalService> {
    return std::make_unique<LocalServiceConnection>(std::move(onClear));
  };
  parts.makeMonitor = [](std::function<void(DesfireData)> onCard) -> std::unique_ptr<ICardMonitor> {
    return std::make_unique<PcscMonitoring>(std::move(onCard));
  };
  return parts;
}

TokenList::TokenList(EventRelay eventRelay, Parts parts)
    : eventRelay_(std::move(eventRelay)),
      idlePause_(parts.idlePause),
      pool_(std::make_unique<ravcore::ThreadPool>(kPoolThreads)),
      serviceWait_(parts.serviceWait) {
  service_ = parts.makeService([this] { OnClearCmd(); });
  if (!service_)
    throw std::invalid_argument("TokenList: no local service connection.");
  monitor_ = parts.makeMonitor([this](DesfireData data) { OnPiccDetected(std::move(data)); });
  if (!monitor_)
    throw std::invalid_argument("TokenList: no reader monitor.");
  TraceScope trace("TokenList::TokenList");
}

TokenList::~TokenList() {
  TraceScope trace("TokenList::~TokenList");
  {
    std::lock_guard lock(queueMutex_);
    stop_ = true;
  }
  queueSignal_.notify_all();
  monitor_.reset();  // no more cards
  // The worker may be sending to the service; the connection goes only once it has left. A
  // service that has stopped reading would hold the worker in its write: after a grace period
  // the connection is shut down, which ends that write, so unloading never hangs on it.
  {
    std::unique_lock lock(queueMutex_);
    if (!queueSignal_.wait_for(lock, kWorkerGrace, [this] { return !workerRunning_; })) {
      lock.unlock();
      service_->Shutdown();
      lock.lock();
      queueSignal_.wait(lock, [this] { return !workerRunning_; });
    }
  }
  service_.reset();
  pool_.reset();  // runs what is queued (cards land in the queue, a clear command clears)
  cardQueue_.clear();
  std::lock_guard lock(tokenMutex_);
  tokens_.clear();
}

void TokenList::StartMonitoring() {
  TraceScope trace("TokenList::StartMonitoring");
  if (!service_->WaitUntilConnected(serviceWait_)) {
    LogWarn(kContext) << "TokenList::StartMonitoring "
                      << "Waiting for localservice connection timed out.";
  }
  RestoreStoredTokens();
  {
    std::lock_guard lock(queueMutex_);
    workerRunning_ = true;
  }
  try {
    pool_->enqueue([this] { ThreadFunction(); });
  } catch (...) {
    std::lock_guard lock(queueMutex_);
    workerRunning_ = false;
    throw;
  }
  monitor_->StartMonitoring();
}

void TokenList::RestoreStoredTokens() {
  std::lock_guard lock(tokenMutex_);
  tokens_.clear();
  try {
    TokenMap restored;
    // Each document's data moves into its token: 10,000 stored tokens are held once, not twice.
    for (DesfireData& data : service_->RequestStoredTokens()) {
      const std::uint64_t uid = data.uid;
      if (!HasSessionId(uid)) {
        LogError(kContext) << "TokenList::StartMonitoring "
                           << "Stored token without a usable UID skipped: 0x" << std::hex << uid;
        continue;
      }
      if (restored.contains(uid))
        throw std::runtime_error("Token duplicate.");
      restored.emplace(uid, std::make_shared<Token>(std::move(data), eventRelay_));
    }
    tokens_.swap(restored);
  } catch (...) {
    // Tokens built before the failure are released again, each raising its remove event.
    LogError(kContext) << "TokenList::StartMonitoring "
                       << "Failed to get localservices' stored tokens: " << CurrentExceptionText();
  }
}

std::vector<SessionId> TokenList::GetList() const {
  TraceScope trace("TokenList::GetList");
  std::lock_guard lock(tokenMutex_);
  std::vector<SessionId> sessionIds;
  sessionIds.reserve(tokens_.size());
  for (const auto& entry : tokens_)
    sessionIds.push_back(entry.second->GetUidAsBlob());
  return sessionIds;
}

std::shared_ptr<Token> TokenList::GetToken(const ModuleSessionId* sessionId) const {
  TraceScope trace("TokenList::GetToken");
  if (sessionId == nullptr)
    throw ModuleException("Token session id is nullptr.", RESULT_INVALID_PARAMETER);
  if (sessionId->length != kSessionIdSize)
    throw ModuleException("Token session id length mismatch.", RESULT_INVALID_PARAMETER);
  // Every token in the map has a UID of seven bytes, so the session id names one UID.
  std::uint64_t uid = 0;
  for (std::uint8_t byte : sessionId->id)
    uid = uid << 8 | byte;
  std::lock_guard lock(tokenMutex_);
  if (tokens_.empty())
    throw ModuleException("Token list is empty.", RESULT_TOKEN_NOT_FOUND);
  auto it = tokens_.find(uid);
  if (it == tokens_.end())
    throw ModuleException("Token not found.", RESULT_TOKEN_NOT_FOUND);
  return it->second;
}

template <typename Task>
void TokenList::Submit(const char* caller, Task task) {
  // A task's future is dropped, so its failures are logged here or seen by nobody.
  try {
    pool_->enqueue([caller, task = std::move(task)]() mutable {
      try {
        task();
      } catch (...) {
        LogError(kContext) << caller << " " << CurrentExceptionText();
      }
    });
  } catch (...) {
    LogError(kContext) << caller << " " << CurrentExceptionText();
  }
}

void TokenList::OnPiccDetected(DesfireData data) {
  TraceScope trace("TokenList::OnPiccDetected");
  Submit("TokenList::OnPiccDetected",
         [this, data = std::move(data)]() mutable { HandleNewPicc(std::move(data)); });
}

void TokenList::HandleNewPicc(DesfireData data) {
  TraceScope trace("TokenList::HandleNewPicc");
  {
    std::lock_guard lock(queueMutex_);
    cardQueue_.push_back(std::move(data));
  }
  queueSignal_.notify_all();
}

void TokenList::OnClearCmd() {
  TraceScope trace("TokenList::OnClearCmd");
  Submit("TokenList::OnClearCmd", [this] {
    LogDebug(kContext) << "TokenList::OnClearCmd "
                       << "Waiting for token list mutex.";
    std::lock_guard lock(tokenMutex_);
    LogDebug(kContext) << "TokenList::OnClearCmd "
                       << "Clearing token list.";
    tokens_.clear();
  });
}

void TokenList::ThreadFunction() {
  TraceScope trace("TokenList::ThreadFunction");
  for (;;) {
    try {
      std::vector<DesfireData> batch;
      {
        std::unique_lock lock(queueMutex_);
        queueSignal_.wait_for(lock, idlePause_, [this] { return stop_ || !cardQueue_.empty(); });
        if (stop_)
          break;
        batch.swap(cardQueue_);
      }
      if (batch.empty())
        continue;
      std::vector<ServiceCall> calls = ToggleTokens(batch);
      batch.clear();
      SendToService(calls);
    } catch (...) {
      LogError(kContext) << "TokenList::ThreadFunction " << CurrentExceptionText();
    }
  }
  std::lock_guard lock(queueMutex_);
  workerRunning_ = false;
  queueSignal_.notify_all();
}

std::vector<TokenList::ServiceCall> TokenList::ToggleTokens(std::vector<DesfireData>& batch) {
  std::vector<ServiceCall> calls;
  calls.reserve(batch.size());
  std::lock_guard lock(tokenMutex_);
  for (DesfireData& data : batch) {
    try {
      if (!HasSessionId(data.uid)) {
        LogError(kContext) << "TokenList::ThreadFunction "
                           << "Card without a usable UID ignored: 0x" << std::hex << data.uid;
        continue;
      }
      auto it = tokens_.find(data.uid);
      if (it != tokens_.end()) {
        LogInfo(kContext) << "TokenList::ThreadFunction "
                          << "Removing token object.";
        // Released here unless a host call still holds it; then its event comes later.
        tokens_.erase(it);
        calls.push_back({false, std::move(data)});
      } else {
        LogInfo(kContext) << "TokenList::ThreadFunction "
                          << "Adding new token object.";
        tokens_.emplace(data.uid, std::make_shared<Token>(data, eventRelay_));
        calls.push_back({true, std::move(data)});
      }
    } catch (...) {
      LogError(kContext) << "TokenList::ThreadFunction "
                         << "Failed to modify token list or to transfer changes to localservice.";
    }
  }
  return calls;
}

void TokenList::SendToService(std::vector<ServiceCall>& calls) {
  for (ServiceCall& call : calls) {
    try {
      if (call.store)
        service_->StoreToken(call.data);
      else
        service_->RemoveToken(call.data.uid);
    } catch (...) {
      LogError(kContext) << "TokenList::ThreadFunction "
                         << "Failed to modify token list or to transfer changes to localservice.";
    }
  }
}

}  // namespace varlo
