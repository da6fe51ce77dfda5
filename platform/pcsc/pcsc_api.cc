#include "platform/pcsc/pcsc_api.h"

namespace varlo {
namespace {

class PcscLite final : public IPcsc {
 public:
  LONG EstablishContext(DWORD scope, SCARDCONTEXT* context) override {
    return SCardEstablishContext(scope, nullptr, nullptr, context);
  }
  LONG ReleaseContext(SCARDCONTEXT context) override { return SCardReleaseContext(context); }
  LONG IsValidContext(SCARDCONTEXT context) override { return SCardIsValidContext(context); }

  LONG ListReaders(SCARDCONTEXT context, std::string& readers) override {
    readers.clear();
    char* buffer = nullptr;
    DWORD length = SCARD_AUTOALLOCATE;
    LONG rv = SCardListReaders(context, nullptr, reinterpret_cast<char*>(&buffer), &length);
    if (rv == SCARD_S_SUCCESS && buffer != nullptr) {
      readers.assign(buffer, length);
    }
    if (buffer != nullptr) {
      SCardFreeMemory(context, buffer);
    }
    return rv;
  }

  LONG GetStatusChange(SCARDCONTEXT context, DWORD timeout, SCARD_READERSTATE* states,
                       DWORD count) override {
    return SCardGetStatusChange(context, timeout, states, count);
  }
  LONG Cancel(SCARDCONTEXT context) override { return SCardCancel(context); }

  LONG Connect(SCARDCONTEXT context, const char* reader, DWORD shareMode, DWORD preferredProtocols,
               SCARDHANDLE* card, DWORD* activeProtocol) override {
    return SCardConnect(context, reader, shareMode, preferredProtocols, card, activeProtocol);
  }
  LONG Reconnect(SCARDHANDLE card, DWORD shareMode, DWORD preferredProtocols, DWORD initialization,
                 DWORD* activeProtocol) override {
    return SCardReconnect(card, shareMode, preferredProtocols, initialization, activeProtocol);
  }
  LONG Disconnect(SCARDHANDLE card, DWORD disposition) override {
    return SCardDisconnect(card, disposition);
  }
  LONG BeginTransaction(SCARDHANDLE card) override { return SCardBeginTransaction(card); }
  LONG EndTransaction(SCARDHANDLE card, DWORD disposition) override {
    return SCardEndTransaction(card, disposition);
  }

  LONG Transmit(SCARDHANDLE card, DWORD protocol, std::span<const std::uint8_t> command,
                std::span<std::uint8_t> response, DWORD* responseLength) override {
    const SCARD_IO_REQUEST* pci = SCARD_PCI_T1;
    if (protocol == SCARD_PROTOCOL_T0) {
      pci = SCARD_PCI_T0;
    } else if (protocol == SCARD_PROTOCOL_RAW) {
      pci = SCARD_PCI_RAW;
    }
    DWORD length = static_cast<DWORD>(response.size());
    LONG rv = SCardTransmit(card, pci, command.data(), static_cast<DWORD>(command.size()), nullptr,
                            response.data(), &length);
    *responseLength = rv == SCARD_S_SUCCESS ? length : 0;
    return rv;
  }
};

}  // namespace

IPcsc& SystemPcsc() {
  static PcscLite pcsc;
  return pcsc;
}

}  // namespace varlo
