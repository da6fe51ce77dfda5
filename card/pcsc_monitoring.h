// Watches every PC/SC reader of the machine from one worker thread.
//
// When a card with the DESFire ATR (3B 81 80 01 80 80, exactly) arrives on a reader, the worker
// makes a `Desfire` for it and reads it at once; the card's `DesfireData` reaches the owner
// through the card callback, on the worker thread, while the monitor's lock is held. Cards
// already on a reader when monitoring starts are read but not reported: the owner hears of
// them only once they have been taken off and put back. Removal is noticed and logged but not
// reported. A card swapped between two waits (still present, but the reader's event count in
// the high 16 bits of its state has moved) counts as taken off and put on. The plug-and-play
// pseudo reader tells the worker when readers come and go.
//
// PC/SC failures never end the worker: it logs them, pauses (1 s, or 3 s while the smart-card
// service is absent) and tries again, establishing a new context when the old one was lost.
// The destructor stops the worker (cancelling a pending wait) and joins it; it must not run on
// the worker thread, so the card callback must not destroy its monitor.
#ifndef VARLO_CARD_PCSC_MONITORING_H_
#define VARLO_CARD_PCSC_MONITORING_H_

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "card/card_monitor.h"
#include "card/desfire.h"
#include "card/pcsc_base.h"

namespace varlo {

inline constexpr std::array<std::uint8_t, 6> kDesfireAtr = {0x3B, 0x81, 0x80, 0x01, 0x80, 0x80};
inline constexpr const char* kPnpReaderName = "\\\\?PnP?\\Notification";

// Reader names from a PC/SC multi-string of `length` characters (each name ends in a zero).
std::vector<std::string> SplitReaderNames(std::string_view multiString);

struct MonitorTimings {
  std::chrono::milliseconds errorPause{1000};    // after a PC/SC error
  std::chrono::milliseconds servicePause{3000};  // while the smart-card service is absent
  DesfireTimings desfire;
};

class PcscMonitoring : public PcscBase, public ICardMonitor {
 public:
  explicit PcscMonitoring(CardCallback callback, IPcsc& pcsc = SystemPcsc(),
                          MonitorTimings timings = {});
  ~PcscMonitoring() override;

  // Starts the worker. Called once; a second call throws std::logic_error.
  void StartMonitoring() override;
  // Stops the worker and joins it (the destructor does the same). A pending wait for a status
  // change is cancelled and a pause is cut short; a card being read is read to the end.
  // Throws std::system_error when called on the worker thread.
  void StopMonitoring();
  // Waits until the worker has handled its first status change: from then on a card put on a
  // reader is reported. False if that has not happened within `timeout`.
  bool WaitForInitialState(std::chrono::milliseconds timeout);

 private:
  struct ReaderEntry {
    std::unique_ptr<std::string> name;      // owns the text `SCARD_READERSTATE` points to
    std::unique_ptr<std::uint32_t> piccId;  // the user data: set while a card is registered
  };

  void WorkerThreadFunction();
  void CheckReaderState();
  void MergeReaderList(const std::vector<std::string>& names);
  void AddPicc(std::size_t index);
  void RemovePicc(std::size_t index);

  void AppendEntry(const std::string& name);
  void EraseEntry(std::size_t index);
  // Waits `duration` or until the monitor is stopped.
  void Pause(std::chrono::milliseconds duration);
  static bool IsServiceGone(LONG rv);

  CardCallback callback_;
  MonitorTimings timings_;
  std::atomic<bool> stop_{false};
  bool initialState_ = false;  // the worker's; `initialStateSeen_` tells other threads
  std::thread worker_;
  std::recursive_mutex lock_;
  // Entry 0 is the plug-and-play pseudo reader; the two vectors run in step.
  std::vector<SCARD_READERSTATE> readerStates_;
  std::vector<ReaderEntry> readers_;
  std::map<std::uint32_t, std::shared_ptr<Desfire>> cards_;
  // Set when a call reported the service gone: the context it used is dead even where PC/SC
  // still calls it valid, so the next pass establishes a new one.
  bool contextLost_ = false;

  std::mutex stopMutex_;
  std::condition_variable stopSignal_;
  bool workerDone_ = false;
  bool initialStateSeen_ = false;
};

}  // namespace varlo

#endif  // VARLO_CARD_PCSC_MONITORING_H_
