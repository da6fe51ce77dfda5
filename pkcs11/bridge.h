// The PKCS#11 face of one loaded module: a slot per token, sessions, the login state of each
// token and object searches. One Bridge lives from C_Initialize to C_Finalize.
//
// Every call may come from any thread and takes the bridge's lock for its whole length, module
// calls included. The wait for a slot event is the exception: it waits on the module's event
// count outside the lock, so that the module's callback (which only counts) never waits for it.
// Results other than success come back as CK_RV; a module call that fails throws
// host::HostError, which the caller at the C boundary turns into a CK_RV.
#ifndef VARLO_PKCS11_BRIDGE_H_
#define VARLO_PKCS11_BRIDGE_H_

#include <p11-kit/pkcs11.h>

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "modulehost/loaded_module.h"
#include "modulehost/module_table.h"

namespace varlo::pkcs11 {

class Bridge {
 public:
  // Loads and initializes the module at `modulePath`; throws host::CommandError when it cannot.
  explicit Bridge(const std::string& modulePath);
  // Unloads the module.
  ~Bridge();
  Bridge(const Bridge&) = delete;
  Bridge& operator=(const Bridge&) = delete;

  // Ends every wait for a slot event, now and later (C_Finalize).
  void Interrupt();

  CK_RV GetSlotList(CK_SLOT_ID* list, CK_ULONG* count);
  CK_RV GetSlotInfo(CK_SLOT_ID slot, CK_SLOT_INFO* info);
  CK_RV GetTokenInfo(CK_SLOT_ID slot, CK_TOKEN_INFO* info);
  CK_RV WaitForSlotEvent(bool block, CK_SLOT_ID* slot);
  CK_RV CheckSlot(CK_SLOT_ID slot);

  CK_RV OpenSession(CK_SLOT_ID slot, CK_FLAGS flags, CK_SESSION_HANDLE* session);
  CK_RV CloseSession(CK_SESSION_HANDLE session);
  CK_RV CloseAllSessions(CK_SLOT_ID slot);
  CK_RV GetSessionInfo(CK_SESSION_HANDLE session, CK_SESSION_INFO* info);
  CK_RV Login(CK_SESSION_HANDLE session, CK_USER_TYPE user, const std::uint8_t* pin,
              CK_ULONG pinLength);
  CK_RV Logout(CK_SESSION_HANDLE session);

  CK_RV GetAttributeValue(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object,
                          CK_ATTRIBUTE* attributes, CK_ULONG count);
  CK_RV FindObjectsInit(CK_SESSION_HANDLE session, const CK_ATTRIBUTE* pattern, CK_ULONG count);
  CK_RV FindObjects(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE* objects, CK_ULONG maxCount,
                    CK_ULONG* count);
  CK_RV FindObjectsFinal(CK_SESSION_HANDLE session);

 private:
  struct Slot {
    CK_SLOT_ID id = 0;
    ModuleSessionId token{};
    // Wrong PINs this bridge has seen since the last right one: the module does not publish
    // its own count, only whether the PIN is locked.
    int pinFailures = 0;
    bool loggedIn = false;
  };
  struct Session {
    CK_SLOT_ID slot = 0;
    std::optional<std::vector<CK_OBJECT_HANDLE>> found;  // set between FindObjectsInit and Final
  };

  // Brings the slots in line with the module's tokens, queueing a slot event per change.
  void Refresh();
  Slot* FindSlot(CK_SLOT_ID id);
  // The session and its token's slot; nullptr when either is gone.
  std::pair<Session*, Slot*> Find(CK_SESSION_HANDLE handle);
  // The object's info when this session may see it (private ones only after login).
  std::optional<host::ObjectInfo> Visible(const Slot& slot, CK_OBJECT_HANDLE object);
  bool Matches(const Slot& slot, const host::ObjectInfo& info, const CK_ATTRIBUTE* pattern,
               CK_ULONG count);
  void DropSessions(CK_SLOT_ID slot);

  std::mutex mutex_;
  host::LoadedModule module_;
  host::ModuleTable table_;
  std::vector<Slot> slots_;         // the tokens at the last look, in the module's order
  std::deque<CK_SLOT_ID> pending_;  // slots that came or went, not yet reported by a wait
  std::map<CK_SESSION_HANDLE, Session> sessions_;
  CK_SLOT_ID nextSlot_ = 1;
  CK_SESSION_HANDLE nextSession_ = 1;
};

}  // namespace varlo::pkcs11

#endif  // VARLO_PKCS11_BRIDGE_H_
