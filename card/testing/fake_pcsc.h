// An in-memory PC/SC for the card subsystem's tests: readers that appear and vanish, cards
// (`SimulatedDesfire`) put on and taken off, a status-change wait that blocks until something
// changes or is cancelled, a service that can be stopped and started, and scripted failures.
// Every frame sent to a card is recorded. Thread-safe: the monitor's worker and the test's
// thread use it together.
#ifndef VARLO_CARD_TESTING_FAKE_PCSC_H_
#define VARLO_CARD_TESTING_FAKE_PCSC_H_

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "card/testing/simulated_desfire.h"
#include "platform/pcsc/pcsc_api.h"

namespace varlo::testing {

inline const Bytes kTestDesfireAtr = {0x3B, 0x81, 0x80, 0x01, 0x80, 0x80};

class FakePcsc : public IPcsc {
 public:
  // The machine.
  void AddReader(const std::string& name);
  void RemoveReader(const std::string& name);
  void InsertCard(const std::string& reader, std::shared_ptr<SimulatedDesfire> card,
                  const Bytes& atr = kTestDesfireAtr);
  void RemoveCard(const std::string& reader);
  // A stopped service fails every call with SCARD_E_NO_SERVICE and wakes every wait; contexts
  // established before a stop stay "valid" to IsValidContext but fail every other call, as
  // pcsc-lite's do after its daemon restarts.
  void SetServiceRunning(bool running);

  // Scripted results, each used once, before the normal behaviour.
  void QueueConnectResults(std::vector<LONG> results);
  void QueueTransmitResults(std::vector<LONG> results);
  void QueueStatusChangeResults(std::vector<LONG> results);
  void SetReconnectResult(LONG result);
  void SetBeginTransactionResult(LONG result);
  void SetEstablishResult(LONG result);

  // Observations.
  std::vector<Bytes> Sent();
  std::vector<DWORD> ConnectShareModes();
  std::vector<DWORD> ReconnectShareModes();
  int Count(const std::string& call);
  int OpenContexts();
  int OpenCards();
  // Waits until a status-change wait is blocked with nothing left to report.
  bool WaitUntilIdle(std::chrono::milliseconds timeout);
  // Waits until `call` has been made at least `count` times.
  bool WaitForCount(const std::string& call, int count, std::chrono::milliseconds timeout);

  LONG EstablishContext(DWORD scope, SCARDCONTEXT* context) override;
  LONG ReleaseContext(SCARDCONTEXT context) override;
  LONG IsValidContext(SCARDCONTEXT context) override;
  LONG ListReaders(SCARDCONTEXT context, std::string& readers) override;
  LONG GetStatusChange(SCARDCONTEXT context, DWORD timeout, SCARD_READERSTATE* states,
                       DWORD count) override;
  LONG Cancel(SCARDCONTEXT context) override;
  LONG Connect(SCARDCONTEXT context, const char* reader, DWORD shareMode, DWORD preferredProtocols,
               SCARDHANDLE* card, DWORD* activeProtocol) override;
  LONG Reconnect(SCARDHANDLE card, DWORD shareMode, DWORD preferredProtocols, DWORD initialization,
                 DWORD* activeProtocol) override;
  LONG Disconnect(SCARDHANDLE card, DWORD disposition) override;
  LONG BeginTransaction(SCARDHANDLE card) override;
  LONG EndTransaction(SCARDHANDLE card, DWORD disposition) override;
  LONG Transmit(SCARDHANDLE card, DWORD protocol, std::span<const std::uint8_t> command,
                std::span<std::uint8_t> response, DWORD* responseLength) override;

 private:
  struct Reader {
    std::shared_ptr<SimulatedDesfire> card;
    Bytes atr;
    DWORD events = 0;  // insertions and removals, as pcsc-lite counts them
  };
  LONG ContextState(SCARDCONTEXT context);  // caller holds mutex_
  bool FillStates(SCARD_READERSTATE* states, DWORD count);
  void Changed();
  void Note(const std::string& call);  // counts a call and wakes the test's waits
  static LONG Take(std::deque<LONG>& queue);

  std::mutex mutex_;
  std::condition_variable changed_;
  std::map<std::string, Reader> readers_;
  std::vector<std::string> readerOrder_;
  bool running_ = true;
  int epoch_ = 0;
  std::map<SCARDCONTEXT, int> contexts_;  // context → epoch it was made in
  SCARDCONTEXT nextContext_ = 0x1000;
  std::map<SCARDHANDLE, std::string> cards_;  // card handle → reader
  SCARDHANDLE nextCard_ = 0x2000;
  std::uint64_t generation_ = 0;
  std::uint64_t cancels_ = 0;
  bool idle_ = false;
  std::deque<LONG> connectResults_, transmitResults_, statusChangeResults_;
  LONG reconnectResult_ = SCARD_S_SUCCESS;
  LONG beginResult_ = SCARD_S_SUCCESS;
  LONG establishResult_ = SCARD_S_SUCCESS;
  std::vector<Bytes> sent_;
  std::vector<DWORD> shareModes_, reconnectShareModes_;
  std::map<std::string, int> counts_;
};

}  // namespace varlo::testing

#endif  // VARLO_CARD_TESTING_FAKE_PCSC_H_
