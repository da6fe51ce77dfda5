#include <type_traits>

#include "platform/pcsc/pcsc_api.h"

namespace varlo {
namespace {

// The card code hands reader names over as char text, so the ANSI forms of the structures and
// functions are the ones it must meet.
static_assert(std::is_same_v<SCARD_READERSTATE, SCARD_READERSTATEA>,
              "build without UNICODE: the card code passes reader names as char text");

// WinSCard (DWORD and LONG are 32 bits wide here, unlike pcsc-lite on 64-bit Linux; the
// interface uses the system's own types, so nothing is narrowed on the way).
class WinScard final : public IPcsc {
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
    LONG rv = SCardListReadersA(context, nullptr, reinterpret_cast<LPSTR>(&buffer), &length);
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
    return SCardGetStatusChangeA(context, timeout, states, count);
  }
  LONG Cancel(SCARDCONTEXT context) override { return SCardCancel(context); }

  LONG Connect(SCARDCONTEXT context, const char* reader, DWORD shareMode, DWORD preferredProtocols,
               SCARDHANDLE* card, DWORD* activeProtocol) override {
    return SCardConnectA(context, reader, shareMode, preferredProtocols, card, activeProtocol);
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
    *responseLength = 0;
    // DWORD is 32 bits: a buffer beyond that cannot be described to the call.
    if (command.size() > MAXDWORD || response.size() > MAXDWORD)
      return SCARD_E_INVALID_PARAMETER;
    const SCARD_IO_REQUEST* pci = SCARD_PCI_T1;
    if (protocol == SCARD_PROTOCOL_T0) {
      pci = SCARD_PCI_T0;
    } else if (protocol == SCARD_PROTOCOL_RAW) {
      pci = SCARD_PCI_RAW;
    }
    DWORD length = static_cast<DWORD>(response.size());
    LONG rv = SCardTransmit(card, pci, command.data(), static_cast<DWORD>(command.size()), nullptr,
                            response.data(), &length);
    if (rv == SCARD_S_SUCCESS)
      *responseLength = length;
    return rv;
  }
};

}  // namespace

IPcsc& SystemPcsc() {
  static WinScard pcsc;
  return pcsc;
}

}  // namespace varlo
