// An `IPcsc` that passes every call on to another one (by default the system's PC/SC). Tests
// and benchmarks derive from it to watch or time a few calls without restating the others.
#ifndef VARLO_CARD_TESTING_FORWARDING_PCSC_H_
#define VARLO_CARD_TESTING_FORWARDING_PCSC_H_

#include "platform/pcsc/pcsc_api.h"

namespace varlo::testing {

class ForwardingPcsc : public IPcsc {
 public:
  explicit ForwardingPcsc(IPcsc& target = SystemPcsc()) : target_(target) {}

  LONG EstablishContext(DWORD scope, SCARDCONTEXT* context) override {
    return target_.EstablishContext(scope, context);
  }
  LONG ReleaseContext(SCARDCONTEXT context) override { return target_.ReleaseContext(context); }
  LONG IsValidContext(SCARDCONTEXT context) override { return target_.IsValidContext(context); }
  LONG ListReaders(SCARDCONTEXT context, std::string& readers) override {
    return target_.ListReaders(context, readers);
  }
  LONG GetStatusChange(SCARDCONTEXT context, DWORD timeout, SCARD_READERSTATE* states,
                       DWORD count) override {
    return target_.GetStatusChange(context, timeout, states, count);
  }
  LONG Cancel(SCARDCONTEXT context) override { return target_.Cancel(context); }
  LONG Connect(SCARDCONTEXT context, const char* reader, DWORD shareMode, DWORD protocols,
               SCARDHANDLE* card, DWORD* activeProtocol) override {
    return target_.Connect(context, reader, shareMode, protocols, card, activeProtocol);
  }
  LONG Reconnect(SCARDHANDLE card, DWORD shareMode, DWORD protocols, DWORD initialization,
                 DWORD* activeProtocol) override {
    return target_.Reconnect(card, shareMode, protocols, initialization, activeProtocol);
  }
  LONG Disconnect(SCARDHANDLE card, DWORD disposition) override {
    return target_.Disconnect(card, disposition);
  }
  LONG BeginTransaction(SCARDHANDLE card) override { return target_.BeginTransaction(card); }
  LONG EndTransaction(SCARDHANDLE card, DWORD disposition) override {
    return target_.EndTransaction(card, disposition);
  }
  LONG Transmit(SCARDHANDLE card, DWORD protocol, std::span<const std::uint8_t> command,
                std::span<std::uint8_t> response, DWORD* responseLength) override {
    return target_.Transmit(card, protocol, command, response, responseLength);
  }

 private:
  IPcsc& target_;
};

}  // namespace varlo::testing

#endif  // VARLO_CARD_TESTING_FORWARDING_PCSC_H_
