// The PKCS#11 entry points of libvarlo-pkcs11.so: argument checks, the one Bridge between
// C_Initialize and C_Finalize, and the function list. No exception crosses this boundary.
#include <p11-kit/pkcs11.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <new>
#include <thread>

#include "modulehost/module_path.h"
#include "modulehost/results.h"
#include "pkcs11/bridge.h"
#include "pkcs11/mapping.h"
#include "platform/dynlib/shared_library.h"
#include "platform/system/system.h"

namespace varlo::pkcs11 {
namespace {

std::mutex gMutex;
std::shared_ptr<Bridge> gBridge;  // set between C_Initialize and C_Finalize

// The module named by VARLO_MODULE, else the one built or installed with this library.
std::string ModulePath() {
  std::string path = platform::EnvironmentValue("VARLO_MODULE");
  if (!path.empty())
    return path;
  return host::DefaultModulePath(
      platform::PathOfLoadedFile(reinterpret_cast<const void*>(&ModulePath)),
      {VARLO_BUILD_BRIDGE_DIR, VARLO_BUILD_MODULE_PATH, VARLO_MODULE_FROM_BRIDGE,
       VARLO_MODULE_FILE_NAME});
}

std::shared_ptr<Bridge> Current() {
  std::lock_guard lock(gMutex);
  return gBridge;
}

// Runs `call` on the current bridge and turns whatever it throws into a PKCS#11 result.
template <typename Call>
CK_RV Guarded(Call call) noexcept {
  try {
    const std::shared_ptr<Bridge> bridge = Current();
    if (!bridge)
      return CKR_CRYPTOKI_NOT_INITIALIZED;
    return call(*bridge);
  } catch (const host::HostError& e) {
    return ResultFor(e.Code());
  } catch (const std::bad_alloc&) {
    return CKR_HOST_MEMORY;
  } catch (...) {
    return CKR_GENERAL_ERROR;
  }
}

CK_RV Initialize(CK_VOID_PTR argument) noexcept {
  if (argument != nullptr) {
    const auto* args = static_cast<const CK_C_INITIALIZE_ARGS*>(argument);
    if (args->pReserved != nullptr)
      return CKR_ARGUMENTS_BAD;
    const bool allLocks =
        args->CreateMutex && args->DestroyMutex && args->LockMutex && args->UnlockMutex;
    const bool noLocks =
        !args->CreateMutex && !args->DestroyMutex && !args->LockMutex && !args->UnlockMutex;
    if (!allLocks && !noLocks)
      return CKR_ARGUMENTS_BAD;
    // The bridge locks with the system's mutexes only.
    if (allLocks && (args->flags & CKF_OS_LOCKING_OK) == 0)
      return CKR_CANT_LOCK;
    // CKF_LIBRARY_CANT_CREATE_OS_THREADS is not honoured: the module cannot watch readers
    // without threads of its own, and p11-kit sets the flag for every module it loads.
  }
  try {
    std::lock_guard lock(gMutex);
    if (gBridge)
      return CKR_CRYPTOKI_ALREADY_INITIALIZED;
    gBridge = std::make_shared<Bridge>(ModulePath());
    return CKR_OK;
  } catch (const std::bad_alloc&) {
    return CKR_HOST_MEMORY;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "libvarlo-pkcs11: %s\n", e.what());
    return CKR_GENERAL_ERROR;
  } catch (...) {
    return CKR_GENERAL_ERROR;
  }
}

CK_RV Finalize(CK_VOID_PTR reserved) noexcept {
  if (reserved != nullptr)
    return CKR_ARGUMENTS_BAD;
  try {
    std::shared_ptr<Bridge> bridge;
    {
      std::lock_guard lock(gMutex);
      if (!gBridge)
        return CKR_CRYPTOKI_NOT_INITIALIZED;
      bridge.swap(gBridge);
    }
    // Waiting threads return at once, calls under way when they end; then the module is
    // unloaded here, so that a C_Initialize after this call finds it unloaded.
    bridge->Interrupt();
    while (bridge.use_count() > 1)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    bridge.reset();
    return CKR_OK;
  } catch (...) {
    return CKR_GENERAL_ERROR;
  }
}

CK_RV GetInfo(CK_INFO_PTR info) noexcept {
  if (info == nullptr)
    return CKR_ARGUMENTS_BAD;
  return Guarded([info](Bridge&) {
    *info = {};
    info->cryptokiVersion = {CRYPTOKI_VERSION_MAJOR, CRYPTOKI_VERSION_MINOR};
    Pad(info->manufacturerID, kManufacturer);
    Pad(info->libraryDescription, "Varlo DESFire tokens");
    info->libraryVersion = {1, 0};
    return CKR_OK;
  });
}

CK_RV GetFunctionList(CK_FUNCTION_LIST_PTR_PTR list) noexcept;

CK_RV GetSlotList(CK_BBOOL, CK_SLOT_ID_PTR list, CK_ULONG_PTR count) noexcept {
  if (count == nullptr)
    return CKR_ARGUMENTS_BAD;
  // Every slot holds a token: the list is the same with or without tokenPresent.
  return Guarded([&](Bridge& b) { return b.GetSlotList(list, count); });
}

CK_RV GetSlotInfo(CK_SLOT_ID slot, CK_SLOT_INFO_PTR info) noexcept {
  if (info == nullptr)
    return CKR_ARGUMENTS_BAD;
  return Guarded([&](Bridge& b) { return b.GetSlotInfo(slot, info); });
}

CK_RV GetTokenInfo(CK_SLOT_ID slot, CK_TOKEN_INFO_PTR info) noexcept {
  if (info == nullptr)
    return CKR_ARGUMENTS_BAD;
  return Guarded([&](Bridge& b) { return b.GetTokenInfo(slot, info); });
}

CK_RV GetMechanismList(CK_SLOT_ID slot, CK_MECHANISM_TYPE_PTR, CK_ULONG_PTR count) noexcept {
  if (count == nullptr)
    return CKR_ARGUMENTS_BAD;
  return Guarded([&](Bridge& b) {
    const CK_RV result = b.CheckSlot(slot);
    if (result == CKR_OK)
      *count = 0;  // the tokens hold data only
    return result;
  });
}

CK_RV GetMechanismInfo(CK_SLOT_ID slot, CK_MECHANISM_TYPE, CK_MECHANISM_INFO_PTR) noexcept {
  return Guarded([&](Bridge& b) {
    const CK_RV result = b.CheckSlot(slot);
    return result == CKR_OK ? CKR_MECHANISM_INVALID : result;
  });
}

CK_RV OpenSession(CK_SLOT_ID slot, CK_FLAGS flags, CK_VOID_PTR, CK_NOTIFY,
                  CK_SESSION_HANDLE_PTR session) noexcept {
  if (session == nullptr)
    return CKR_ARGUMENTS_BAD;
  return Guarded([&](Bridge& b) { return b.OpenSession(slot, flags, session); });
}

CK_RV CloseSession(CK_SESSION_HANDLE session) noexcept {
  return Guarded([&](Bridge& b) { return b.CloseSession(session); });
}

CK_RV CloseAllSessions(CK_SLOT_ID slot) noexcept {
  return Guarded([&](Bridge& b) { return b.CloseAllSessions(slot); });
}

CK_RV GetSessionInfo(CK_SESSION_HANDLE session, CK_SESSION_INFO_PTR info) noexcept {
  if (info == nullptr)
    return CKR_ARGUMENTS_BAD;
  return Guarded([&](Bridge& b) { return b.GetSessionInfo(session, info); });
}

CK_RV Login(CK_SESSION_HANDLE session, CK_USER_TYPE user, CK_UTF8CHAR_PTR pin,
            CK_ULONG length) noexcept {
  return Guarded([&](Bridge& b) { return b.Login(session, user, pin, length); });
}

CK_RV Logout(CK_SESSION_HANDLE session) noexcept {
  return Guarded([&](Bridge& b) { return b.Logout(session); });
}

CK_RV GetAttributeValue(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object,
                        CK_ATTRIBUTE_PTR attributes, CK_ULONG count) noexcept {
  if (attributes == nullptr && count != 0)
    return CKR_ARGUMENTS_BAD;
  return Guarded(
      [&](Bridge& b) { return b.GetAttributeValue(session, object, attributes, count); });
}

CK_RV FindObjectsInit(CK_SESSION_HANDLE session, CK_ATTRIBUTE_PTR pattern,
                      CK_ULONG count) noexcept {
  if (pattern == nullptr && count != 0)
    return CKR_ARGUMENTS_BAD;
  return Guarded([&](Bridge& b) { return b.FindObjectsInit(session, pattern, count); });
}

CK_RV FindObjects(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE_PTR objects, CK_ULONG maxCount,
                  CK_ULONG_PTR count) noexcept {
  if (objects == nullptr || count == nullptr)
    return CKR_ARGUMENTS_BAD;
  return Guarded([&](Bridge& b) { return b.FindObjects(session, objects, maxCount, count); });
}

CK_RV FindObjectsFinal(CK_SESSION_HANDLE session) noexcept {
  return Guarded([&](Bridge& b) { return b.FindObjectsFinal(session); });
}

CK_RV WaitForSlotEvent(CK_FLAGS flags, CK_SLOT_ID_PTR slot, CK_VOID_PTR reserved) noexcept {
  if (slot == nullptr || reserved != nullptr)
    return CKR_ARGUMENTS_BAD;
  return Guarded(
      [&](Bridge& b) { return b.WaitForSlotEvent((flags & CKF_DONT_BLOCK) == 0, slot); });
}

// Every function the tokens have no use for: writing, keys, cryptography.
template <typename Function>
struct NotSupported;
template <typename... Args>
struct NotSupported<CK_RV (*)(Args...)> {
  static CK_RV Call(Args...) noexcept { return CKR_FUNCTION_NOT_SUPPORTED; }
};
#define VARLO_NOT_SUPPORTED(name) &NotSupported<CK_##name>::Call

CK_FUNCTION_LIST gFunctions = {
    {CRYPTOKI_VERSION_MAJOR, CRYPTOKI_VERSION_MINOR},
    Initialize,
    Finalize,
    GetInfo,
    GetFunctionList,
    GetSlotList,
    GetSlotInfo,
    GetTokenInfo,
    GetMechanismList,
    GetMechanismInfo,
    VARLO_NOT_SUPPORTED(C_InitToken),
    VARLO_NOT_SUPPORTED(C_InitPIN),
    VARLO_NOT_SUPPORTED(C_SetPIN),
    OpenSession,
    CloseSession,
    CloseAllSessions,
    GetSessionInfo,
    VARLO_NOT_SUPPORTED(C_GetOperationState),
    VARLO_NOT_SUPPORTED(C_SetOperationState),
    Login,
    Logout,
    VARLO_NOT_SUPPORTED(C_CreateObject),
    VARLO_NOT_SUPPORTED(C_CopyObject),
    VARLO_NOT_SUPPORTED(C_DestroyObject),
    VARLO_NOT_SUPPORTED(C_GetObjectSize),
    GetAttributeValue,
    VARLO_NOT_SUPPORTED(C_SetAttributeValue),
    FindObjectsInit,
    FindObjects,
    FindObjectsFinal,
    VARLO_NOT_SUPPORTED(C_EncryptInit),
    VARLO_NOT_SUPPORTED(C_Encrypt),
    VARLO_NOT_SUPPORTED(C_EncryptUpdate),
    VARLO_NOT_SUPPORTED(C_EncryptFinal),
    VARLO_NOT_SUPPORTED(C_DecryptInit),
    VARLO_NOT_SUPPORTED(C_Decrypt),
    VARLO_NOT_SUPPORTED(C_DecryptUpdate),
    VARLO_NOT_SUPPORTED(C_DecryptFinal),
    VARLO_NOT_SUPPORTED(C_DigestInit),
    VARLO_NOT_SUPPORTED(C_Digest),
    VARLO_NOT_SUPPORTED(C_DigestUpdate),
    VARLO_NOT_SUPPORTED(C_DigestKey),
    VARLO_NOT_SUPPORTED(C_DigestFinal),
    VARLO_NOT_SUPPORTED(C_SignInit),
    VARLO_NOT_SUPPORTED(C_Sign),
    VARLO_NOT_SUPPORTED(C_SignUpdate),
    VARLO_NOT_SUPPORTED(C_SignFinal),
    VARLO_NOT_SUPPORTED(C_SignRecoverInit),
    VARLO_NOT_SUPPORTED(C_SignRecover),
    VARLO_NOT_SUPPORTED(C_VerifyInit),
    VARLO_NOT_SUPPORTED(C_Verify),
    VARLO_NOT_SUPPORTED(C_VerifyUpdate),
    VARLO_NOT_SUPPORTED(C_VerifyFinal),
    VARLO_NOT_SUPPORTED(C_VerifyRecoverInit),
    VARLO_NOT_SUPPORTED(C_VerifyRecover),
    VARLO_NOT_SUPPORTED(C_DigestEncryptUpdate),
    VARLO_NOT_SUPPORTED(C_DecryptDigestUpdate),
    VARLO_NOT_SUPPORTED(C_SignEncryptUpdate),
    VARLO_NOT_SUPPORTED(C_DecryptVerifyUpdate),
    VARLO_NOT_SUPPORTED(C_GenerateKey),
    VARLO_NOT_SUPPORTED(C_GenerateKeyPair),
    VARLO_NOT_SUPPORTED(C_WrapKey),
    VARLO_NOT_SUPPORTED(C_UnwrapKey),
    VARLO_NOT_SUPPORTED(C_DeriveKey),
    VARLO_NOT_SUPPORTED(C_SeedRandom),
    VARLO_NOT_SUPPORTED(C_GenerateRandom),
    VARLO_NOT_SUPPORTED(C_GetFunctionStatus),
    VARLO_NOT_SUPPORTED(C_CancelFunction),
    WaitForSlotEvent,
};

CK_RV GetFunctionList(CK_FUNCTION_LIST_PTR_PTR list) noexcept {
  if (list == nullptr)
    return CKR_ARGUMENTS_BAD;
  *list = &gFunctions;
  return CKR_OK;
}

}  // namespace
}  // namespace varlo::pkcs11

// The one export: PKCS#11 programs find every other function through its list.
extern "C" __attribute__((visibility("default"))) CK_RV C_GetFunctionList(
    CK_FUNCTION_LIST_PTR_PTR list) {
  return varlo::pkcs11::GetFunctionList(list);
}
