// What the token list needs of a reader monitor: start it, and destroy it to stop it.
//
// `PcscMonitoring` is the real one; tests of the token list put a fake in its place. The
// monitor calls its card callback once for each DESFire card it has read.
#ifndef VARLO_CARD_CARD_MONITOR_H_
#define VARLO_CARD_CARD_MONITOR_H_

namespace varlo {

class ICardMonitor {
 public:
  virtual ~ICardMonitor() = default;
  virtual void StartMonitoring() = 0;
};

}  // namespace varlo

#endif  // VARLO_CARD_CARD_MONITOR_H_
