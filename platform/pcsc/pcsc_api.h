// The handful of PC/SC calls the card subsystem makes, behind one small interface.
//
// `IPcsc` mirrors the SCard* functions one to one (same arguments, same return codes), so the
// code above it reads like plain PC/SC code. `SystemPcsc()` is the process-wide implementation
// over pcsc-lite (WinSCard on Windows, where DWORD and LONG are 32 bits wide and reader names
// go through the ANSI functions), the only code of the module that calls the PC/SC library; tests
// hand the card classes a scripted implementation instead. Every method may be called from any
// thread, as the underlying PC/SC functions may.
#ifndef VARLO_PLATFORM_PCSC_PCSC_API_H_
#define VARLO_PLATFORM_PCSC_PCSC_API_H_

#include <winscard.h>

#include <cstdint>
#include <span>
#include <string>

namespace varlo {

class IPcsc {
 public:
  virtual ~IPcsc() = default;

  virtual LONG EstablishContext(DWORD scope, SCARDCONTEXT* context) = 0;
  virtual LONG ReleaseContext(SCARDCONTEXT context) = 0;
  virtual LONG IsValidContext(SCARDCONTEXT context) = 0;
  // The reader names as PC/SC returns them: each name ends in a zero character and the list
  // ends in one more. `readers` receives exactly the returned characters (the library's
  // buffer is released before this returns).
  virtual LONG ListReaders(SCARDCONTEXT context, std::string& readers) = 0;
  virtual LONG GetStatusChange(SCARDCONTEXT context, DWORD timeout, SCARD_READERSTATE* states,
                               DWORD count) = 0;
  virtual LONG Cancel(SCARDCONTEXT context) = 0;
  virtual LONG Connect(SCARDCONTEXT context, const char* reader, DWORD shareMode,
                       DWORD preferredProtocols, SCARDHANDLE* card, DWORD* activeProtocol) = 0;
  virtual LONG Reconnect(SCARDHANDLE card, DWORD shareMode, DWORD preferredProtocols,
                         DWORD initialization, DWORD* activeProtocol) = 0;
  virtual LONG Disconnect(SCARDHANDLE card, DWORD disposition) = 0;
  virtual LONG BeginTransaction(SCARDHANDLE card) = 0;
  virtual LONG EndTransaction(SCARDHANDLE card, DWORD disposition) = 0;
  // Sends `command` with the protocol control information of `protocol` (SCARD_PROTOCOL_T0,
  // SCARD_PROTOCOL_T1 or SCARD_PROTOCOL_RAW); the answer fills the front of `response` and
  // its length goes to `responseLength`.
  virtual LONG Transmit(SCARDHANDLE card, DWORD protocol, std::span<const std::uint8_t> command,
                        std::span<std::uint8_t> response, DWORD* responseLength) = 0;
};

// The PC/SC implementation of this machine (pcsc-lite or WinSCard).
IPcsc& SystemPcsc();

}  // namespace varlo

#endif  // VARLO_PLATFORM_PCSC_PCSC_API_H_
