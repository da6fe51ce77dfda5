/*
 * MDesfireVarloLibrary: the public interface for module hosts.
 *
 * A host loads the library, fills a ModuleData with the interface version it speaks, the number
 * of table generations it has room for and its event callback, and calls ModuleInitialize. On
 * success the module has written the addresses of its operations into the table; from then on
 * the host calls only through the table and hears of token changes through the callback.
 * ModuleUnload tears the module down; ModuleInitialize may then be called again.
 *
 * The module keeps the ModuleData pointer and calls the callback through it: the structure and
 * everything its callback refers to must stay valid until ModuleUnload has returned (or, when
 * ModuleInitialize fails, until it has returned). The callback, invoke(context, 0), comes from
 * the module's own threads as well as from the host's thread inside ModuleInitialize,
 * ModuleUnload and the table operations, possibly while another host thread holds the module
 * in a call; it must return before its thread calls into the module again.
 *
 * Every operation returns a 64-bit result code (RESULT_*). Buffers follow a size-query
 * protocol: a null buffer asks for the size, a buffer too small gives RESULT_BUFFER_TOO_SMALL
 * with the needed size written back. Memory the module hands out is released only through the
 * matching Free operation, which may be called in any state, also after ModuleUnload. All
 * integers are little-endian; the records below are packed.
 *
 * This header compiles as C11 and as C++.
 */
#ifndef VARLO_MODULE_H_
#define VARLO_MODULE_H_

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#define VARLO_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#else
#define VARLO_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif

/* Result codes. */
#define RESULT_SUCCESS 0x20000000200F0000ULL
#define RESULT_EMPTY 0x6000000060030009ULL
#define RESULT_PIN_REQUIRED 0xE0000000E00F0001ULL
#define RESULT_PIN_INCORRECT 0xE0000000E00F0002ULL
#define RESULT_TOKEN_NOT_FOUND 0xE0000000E00F0003ULL
#define RESULT_INVALID_PARAMETER 0xE0000000E00F0004ULL
#define RESULT_OBJECT_NOT_FOUND 0xE0000000E00F0005ULL
#define RESULT_WRONG_STATE 0xE0000000E00F0007ULL
#define RESULT_FAILURE 0xE0000000E00F000BULL
#define RESULT_BUFFER_TOO_SMALL 0xE0000000E00F000DULL
#define RESULT_NOT_SUPPORTED 0xE0000000E00F0011ULL
#define RESULT_PIN_LOCKED 0xE0000000E00F0021ULL
#define RESULT_OBJECT_CRC_MISMATCH 0xE00000D1E00F000BULL
#define RESULT_API_VERSION_UNSUPPORTED 0x000000000000000EULL

typedef uint64_t ModuleResult;

/* The interface version a host must ask for. */
#define MODULE_API_VERSION 2

/* Search condition field keys and value types (ModuleFindObjects). */
#define KEY_LABEL 1
#define KEY_ATTRIBUTES 2
#define KEY_APPID 3
#define VALUE_TYPE_BYTE 1
#define VALUE_TYPE_TEXT 11

/* Object attributes (ModuleSearchCondition with KEY_ATTRIBUTES, ModuleObjectInfo). */
#define OBJECT_ATTRIBUTE_PRIVATE 1
#define OBJECT_ATTRIBUTE_PUBLIC 2

#pragma pack(push, 1)

/* Names a token: length (always 7) and the token's session id. */
typedef struct ModuleSessionId {
  uint32_t length;
  uint8_t id[7];
} ModuleSessionId;

/* One node of the list written by ModuleGetTokenSessionIdList; nodes lie back to back. */
typedef struct ModuleSessionIdNode {
  uint64_t next; /* address of the next node, 0 in the last */
  ModuleSessionId sessionId;
} ModuleSessionIdNode;

typedef struct ModuleSearchCondition {
  uint32_t fieldKey;  /* KEY_LABEL, KEY_ATTRIBUTES, KEY_APPID */
  uint32_t valueType; /* VALUE_TYPE_BYTE or VALUE_TYPE_TEXT */
  union {
    const char* text; /* zero-terminated, VALUE_TYPE_TEXT */
    uint8_t byte;     /* VALUE_TYPE_BYTE */
    uint64_t raw;
  } value;
} ModuleSearchCondition;

/* Allocated by ModuleGetObjectInfo, released by ModuleFreeObjectInfo. */
typedef struct ModuleObjectInfo {
  char* application; /* zero-terminated */
  uint32_t applicationSize;
  char* label; /* zero-terminated */
  uint32_t labelSize;
  uint8_t attributes; /* OBJECT_ATTRIBUTE_PRIVATE or OBJECT_ATTRIBUTE_PUBLIC */
  uint32_t size;
} ModuleObjectInfo;

#pragma pack(pop)

/* A text the host passes in (the PIN): bytes, not terminated, and their count. */
typedef struct ModuleUtf8String {
  const char* bytes;
  uint32_t count;
} ModuleUtf8String;

/* The host's event callback. The module calls invoke(context, 0) whenever the set of tokens
 * changes; targetHandle must be non-zero for a callback to be present. */
typedef struct ModuleEventCallback {
  void (*invoke)(void* context, uint64_t argument);
  void* context;
  uint64_t reserved;
  uint64_t targetHandle;
} ModuleEventCallback;

typedef ModuleResult (*ModuleGetSerialFn)(const ModuleSessionId* sessionId, uint8_t* buffer,
                                          uint32_t* size);
typedef ModuleResult (*ModuleGetTokenSessionIdListFn)(uint8_t* buffer, uint32_t* size);
typedef ModuleResult (*ModuleFindObjectsFn)(const ModuleSessionId* sessionId,
                                            const ModuleSearchCondition* conditions,
                                            uint32_t conditionCount, uint64_t** handleList,
                                            uint32_t* handleCount);
/* Copies bytes offset .. offset + bytesToRead - 1 of the object's plain data, or nothing when the
 * range runs past its end; bytesRead must not be null. */
typedef ModuleResult (*ModuleReadObjectFn)(const ModuleSessionId* sessionId, uint64_t handle,
                                           uint32_t offset, uint8_t* buffer, uint32_t bytesToRead,
                                           uint32_t* bytesRead);
typedef ModuleResult (*ModuleCheckPINFn)(const ModuleSessionId* sessionId,
                                         const ModuleUtf8String* pin);
typedef ModuleResult (*ModuleFreeObjectHandleListFn)(uint64_t* handleList);
typedef ModuleResult (*ModuleGetTokenCapabilitiesFn)(const ModuleSessionId* sessionId,
                                                     uint8_t* buffer, uint32_t* size);
typedef ModuleResult (*ModuleUnloadFn)(void);
/* Allocates a ModuleObjectInfo and stores its address through info (not null). */
typedef ModuleResult (*ModuleGetObjectInfoFn)(const ModuleSessionId* sessionId, uint64_t handle,
                                              ModuleObjectInfo** info);
typedef ModuleResult (*ModuleFreeObjectInfoFn)(ModuleObjectInfo* info);
/* The operations the module does not support ignore their arguments and return
 * RESULT_NOT_SUPPORTED; a host may call them with whatever arguments its own interface has. */
typedef ModuleResult (*ModuleNotSupportedFn)(void);

typedef struct ModuleData {
  uint32_t apiVersion;    /* in: must be MODULE_API_VERSION */
  uint32_t structVersion; /* in: table generations the host has room for; out: filled (1 or 2) */
  ModuleEventCallback pfnEventCallback;
  /* generation 1 */
  ModuleGetSerialFn ModuleGetSerial;
  ModuleGetTokenSessionIdListFn ModuleGetTokenSessionIdList;
  ModuleFindObjectsFn ModuleFindObjects;
  ModuleNotSupportedFn ModuleCreateObject;
  ModuleNotSupportedFn ModuleDeleteObject;
  ModuleReadObjectFn ModuleReadObject;
  ModuleNotSupportedFn ModuleWriteObject;
  ModuleNotSupportedFn ModuleCopyObject;
  ModuleCheckPINFn ModuleCheckPIN;
  ModuleNotSupportedFn ModuleAskPIN;
  ModuleFreeObjectHandleListFn ModuleFreeObjectHandleList;
  ModuleGetTokenCapabilitiesFn ModuleGetTokenCapabilities;
  ModuleNotSupportedFn ModuleKoGenerateKeypair;
  ModuleNotSupportedFn ModuleKoEncrypt;
  ModuleNotSupportedFn ModuleKoDecrypt;
  ModuleUnloadFn ModuleUnload;
  ModuleNotSupportedFn ModuleChangePIN;
  ModuleNotSupportedFn ModuleInitToken;
  ModuleNotSupportedFn ModuleFormatToken;
  ModuleGetObjectInfoFn ModuleGetObjectInfo;
  ModuleFreeObjectInfoFn ModuleFreeObjectInfo;
  ModuleNotSupportedFn ModuleKoFindKeys;
  ModuleNotSupportedFn ModuleKoGetAttributeValue;
  ModuleNotSupportedFn ModuleKoFreeAttributeTemplate;
  ModuleNotSupportedFn ModuleKoGetRelatedKey;
  ModuleNotSupportedFn ModuleMoGetCapabilities;
  /* generation 2 */
  ModuleNotSupportedFn ModuleSetPIN;
  ModuleNotSupportedFn ModuleChangePUK;
} ModuleData;

/* The only export. settingsPath is the module's registry key in UTF-16 (not terminated, may be
 * null), settingsPathLength its length in UTF-16 units. */
typedef ModuleResult (*ModuleInitializeFn)(const uint16_t* settingsPath,
                                           uint32_t settingsPathLength, ModuleData* moduleData);
#define MODULE_INITIALIZE_SYMBOL "ModuleInitialize"

VARLO_STATIC_ASSERT(sizeof(void*) == 8, "the host interface is 64-bit");
VARLO_STATIC_ASSERT(sizeof(ModuleSessionId) == 11, "session id record");
VARLO_STATIC_ASSERT(sizeof(ModuleSessionIdNode) == 19, "session id list node");
VARLO_STATIC_ASSERT(sizeof(ModuleSearchCondition) == 16, "search condition");
VARLO_STATIC_ASSERT(sizeof(ModuleObjectInfo) == 29, "object info record");
VARLO_STATIC_ASSERT(offsetof(ModuleObjectInfo, attributes) == 24, "object info attributes");
VARLO_STATIC_ASSERT(offsetof(ModuleObjectInfo, size) == 25, "object info size");
VARLO_STATIC_ASSERT(offsetof(ModuleUtf8String, count) == 8, "utf-8 string count");
VARLO_STATIC_ASSERT(sizeof(ModuleEventCallback) == 32, "event callback");
VARLO_STATIC_ASSERT(offsetof(ModuleData, structVersion) == 0x04, "structVersion");
VARLO_STATIC_ASSERT(offsetof(ModuleData, pfnEventCallback) == 0x08, "pfnEventCallback");
VARLO_STATIC_ASSERT(offsetof(ModuleData, pfnEventCallback.targetHandle) == 0x20, "target handle");
VARLO_STATIC_ASSERT(offsetof(ModuleData, ModuleGetSerial) == 0x28, "ModuleGetSerial");
VARLO_STATIC_ASSERT(offsetof(ModuleData, ModuleGetTokenSessionIdList) == 0x30, "session ids");
VARLO_STATIC_ASSERT(offsetof(ModuleData, ModuleFindObjects) == 0x38, "ModuleFindObjects");
VARLO_STATIC_ASSERT(offsetof(ModuleData, ModuleCreateObject) == 0x40, "ModuleCreateObject");
VARLO_STATIC_ASSERT(offsetof(ModuleData, ModuleDeleteObject) == 0x48, "ModuleDeleteObject");
VARLO_STATIC_ASSERT(offsetof(ModuleData, ModuleReadObject) == 0x50, "ModuleReadObject");
VARLO_STATIC_ASSERT(offsetof(ModuleData, ModuleWriteObject) == 0x58, "ModuleWriteObject");
VARLO_STATIC_ASSERT(offsetof(ModuleData, ModuleCopyObject) == 0x60, "ModuleCopyObject");
VARLO_STATIC_ASSERT(offsetof(ModuleData, ModuleCheckPIN) == 0x68, "ModuleCheckPIN");
VARLO_STATIC_ASSERT(offsetof(ModuleData, ModuleAskPIN) == 0x70, "ModuleAskPIN");
VARLO_STATIC_ASSERT(offsetof(ModuleData, ModuleFreeObjectHandleList) == 0x78, "free handles");
VARLO_STATIC_ASSERT(offsetof(ModuleData, ModuleGetTokenCapabilities) == 0x80, "capabilities");
VARLO_STATIC_ASSERT(offsetof(ModuleData, ModuleKoGenerateKeypair) == 0x88, "KoGenerateKeypair");
VARLO_STATIC_ASSERT(offsetof(ModuleData, ModuleKoEncrypt) == 0x90, "ModuleKoEncrypt");
VARLO_STATIC_ASSERT(offsetof(ModuleData, ModuleKoDecrypt) == 0x98, "ModuleKoDecrypt");
VARLO_STATIC_ASSERT(offsetof(ModuleData, ModuleUnload) == 0xA0, "ModuleUnload");
VARLO_STATIC_ASSERT(offsetof(ModuleData, ModuleChangePIN) == 0xA8, "ModuleChangePIN");
VARLO_STATIC_ASSERT(offsetof(ModuleData, ModuleInitToken) == 0xB0, "ModuleInitToken");
VARLO_STATIC_ASSERT(offsetof(ModuleData, ModuleFormatToken) == 0xB8, "ModuleFormatToken");
VARLO_STATIC_ASSERT(offsetof(ModuleData, ModuleGetObjectInfo) == 0xC0, "ModuleGetObjectInfo");
VARLO_STATIC_ASSERT(offsetof(ModuleData, ModuleFreeObjectInfo) == 0xC8, "ModuleFreeObjectInfo");
VARLO_STATIC_ASSERT(offsetof(ModuleData, ModuleKoFindKeys) == 0xD0, "ModuleKoFindKeys");
VARLO_STATIC_ASSERT(offsetof(ModuleData, ModuleKoGetAttributeValue) == 0xD8, "KoGetAttribute");
VARLO_STATIC_ASSERT(offsetof(ModuleData, ModuleKoFreeAttributeTemplate) == 0xE0, "KoFreeAttr");
VARLO_STATIC_ASSERT(offsetof(ModuleData, ModuleKoGetRelatedKey) == 0xE8, "KoGetRelatedKey");
VARLO_STATIC_ASSERT(offsetof(ModuleData, ModuleMoGetCapabilities) == 0xF0, "MoGetCapabilities");
VARLO_STATIC_ASSERT(offsetof(ModuleData, ModuleSetPIN) == 0xF8, "ModuleSetPIN");
VARLO_STATIC_ASSERT(offsetof(ModuleData, ModuleChangePUK) == 0x100, "ModuleChangePUK");
VARLO_STATIC_ASSERT(sizeof(ModuleData) == 0x108, "ModuleData size");

#ifdef __cplusplus
}
#endif

#endif /* VARLO_MODULE_H_ */
