// The module's one set of tokens, and the place where cards become tokens.
//
// A `TokenList` owns a reader monitor, the connection to the local token service and a pool of
// three threads, one of which runs the worker for the list's whole life. Presenting a card
// toggles its token: the first read of a UID adds a token (and stores it in the service), the
// next read of that UID removes it (and removes it from the service). At start-up the tokens the
// service kept are restored; the service's clear command drops every token.
//
// Events: every token calls the event relay when it is created and when its last holder drops
// it, on whichever thread that happens (the worker, a pool thread running the clear command, or
// the thread that starts or destroys the list), with the token mutex held when the list itself
// creates or drops it. A token handed out by `GetToken` stays alive while the caller holds it.
//
// Tokens are filed by UID, and a token's session id is its UID's low seven bytes; a UID of 0 or
// one that does not fit seven bytes gives no session id of its own, so such cards and stored
// tokens are logged and never enter the list.
//
// Threads: `GetList` and `GetToken` from any thread; the card callback from the monitor's
// thread; the clear callback from the service's. The token mutex and the card-queue mutex are
// never held together, and the service is called only with neither held. Destruction stops the
// monitor, waits for the worker to leave, and only then destroys the service connection. Log
// context "TokenList".
#ifndef VARLO_TOKEN_TOKEN_LIST_H_
#define VARLO_TOKEN_TOKEN_LIST_H_

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "card/card_monitor.h"
#include "localservice/local_service.h"
#include "token/token.h"

namespace ravcore {
class ThreadPool;
}

namespace varlo {

class TokenList {
 public:
  // What the list builds on; tests replace the service and the monitor and shorten the waits.
  struct Parts {
    std::function<std::unique_ptr<ILocalService>(ClearCallback)> makeService;
    std::function<std::unique_ptr<ICardMonitor>(std::function<void(DesfireData)>)> makeMonitor;
    std::chrono::milliseconds serviceWait{800};  // start-up's wait for the service connection
    std::chrono::milliseconds idlePause{250};    // the worker's pause while no card is queued
  };
  // A `LocalServiceConnection` and a `PcscMonitoring`, with the designed waits.
  static Parts DefaultParts();

  // Creates the pool, the service connection (which starts connecting) and the monitor; starts
  // nothing else. Throws std::invalid_argument when a factory yields nothing.
  explicit TokenList(EventRelay eventRelay, Parts parts = DefaultParts());
  // Stops the monitor and the worker, destroys the service connection, drops queued cards
  // unprocessed and releases every token (each raising its remove event here).
  ~TokenList();
  TokenList(const TokenList&) = delete;
  TokenList& operator=(const TokenList&) = delete;

  // Waits for the service connection, restores the stored tokens, starts the worker and the
  // monitor. Failures of the service are logged; a failure to start a thread is thrown.
  void StartMonitoring();

  // The session ids of all tokens, in ascending UID order.
  std::vector<SessionId> GetList() const;
  // The token of the host's session id record. ModuleException: null record "Token session id
  // is nullptr.", length not 7 "Token session id length mismatch." (RESULT_INVALID_PARAMETER);
  // "Token list is empty.", "Token not found." (RESULT_TOKEN_NOT_FOUND).
  std::shared_ptr<Token> GetToken(const ModuleSessionId* sessionId) const;

  // The card callback: queues the card for the worker and returns at once.
  void OnPiccDetected(DesfireData data);
  // The clear callback: drops every token on a pool thread; the service is not told.
  void OnClearCmd();

 private:
  // A service call the worker owes for one card, sent after the token mutex is released.
  struct ServiceCall {
    bool store = false;  // StoreToken with `data`, else RemoveToken with `data.uid`
    DesfireData data;
  };
  using TokenMap = std::map<std::uint64_t, std::shared_ptr<Token>>;

  void HandleNewPicc(DesfireData data);
  void ThreadFunction();
  // Toggles each card's token under the token mutex; returns the service calls owed.
  std::vector<ServiceCall> ToggleTokens(std::vector<DesfireData>& batch);
  void SendToService(std::vector<ServiceCall>& calls);
  void RestoreStoredTokens();
  template <typename Task>
  void Submit(const char* caller, Task task);

  // Everything a callback may reach is created before the service and the monitor, which may
  // call back as soon as they exist.
  const EventRelay eventRelay_;
  const std::chrono::milliseconds idlePause_;

  mutable std::mutex tokenMutex_;
  TokenMap tokens_;

  std::mutex queueMutex_;  // the card queue and the worker's state
  std::condition_variable queueSignal_;
  std::vector<DesfireData> cardQueue_;
  bool stop_ = false;
  bool workerRunning_ = false;  // from the worker's submission to its exit

  std::unique_ptr<ravcore::ThreadPool> pool_;
  std::unique_ptr<ILocalService> service_;
  std::unique_ptr<ICardMonitor> monitor_;
  const std::chrono::milliseconds serviceWait_;
};

}  // namespace varlo

#endif  // VARLO_TOKEN_TOKEN_LIST_H_
