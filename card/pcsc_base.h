// Owner of one PC/SC context. The reader monitor and every card connection derive from it, so
// each has a context of its own. A failure to establish the context is logged and leaves the
// object usable without one (context 0); `RefreshContext` tries again.
#ifndef VARLO_CARD_PCSC_BASE_H_
#define VARLO_CARD_PCSC_BASE_H_

#include <atomic>
#include <string>

#include "platform/pcsc/pcsc_api.h"

namespace varlo {

class PcscBase {
 public:
  explicit PcscBase(IPcsc& pcsc = SystemPcsc());
  virtual ~PcscBase();
  PcscBase(const PcscBase&) = delete;
  PcscBase& operator=(const PcscBase&) = delete;

  // Releases the held context and establishes a new one; false (logged) when that fails.
  bool RefreshContext();

 protected:
  IPcsc& pcsc_;
  // Read by another thread only to cancel a wait (the reader monitor's stop).
  std::atomic<SCARDCONTEXT> context_{0};
};

// "0x" and the PC/SC code in lower-case hexadecimal, as codes are logged.
std::string PcscCode(LONG code);

}  // namespace varlo

#endif  // VARLO_CARD_PCSC_BASE_H_
