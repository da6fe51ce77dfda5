#include "pkcs11/bridge.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "common/hex.h"
#include "common/secure_bytes.h"
#include "modulehost/item_block.h"
#include "modulehost/results.h"
#include "pkcs11/mapping.h"

namespace varlo::pkcs11 {
namespace {

// The module locks a PIN after this many wrong ones in a row.
constexpr int kPinTries = 5;

// What the capability block says about a token.
struct TokenFacts {
  std::string label;
  std::string model;
  bool initialized = false;
  bool pinSet = false;
  bool pinLocked = false;
};

TokenFacts Facts(const host::ModuleTable& table, const ModuleSessionId& token) {
  const std::optional<host::Item> root = host::ReadItemBlock(table.Capabilities(token));
  if (!root)
    throw host::HostError("ModuleGetTokenCapabilities", RESULT_FAILURE);
  TokenFacts facts;
  for (const host::Item& item : root->children) {
    if (item.name == "tcl")
      facts.label.assign(item.bytes.begin(), item.bytes.end());
    else if (item.name == "tcm")
      facts.model = item.text;
    else if (item.name == "tcii")
      facts.initialized = item.boolean;
    else if (item.name == "tcinpu")
      facts.pinSet = !item.boolean;
    else if (item.name == "tcipil")
      facts.pinLocked = item.boolean;
  }
  return facts;
}

bool SameToken(const ModuleSessionId& a, const ModuleSessionId& b) {
  return std::memcmp(a.id, b.id, sizeof a.id) == 0;
}

// Copies `value` into a template entry as C_GetAttributeValue asks: the size for a null buffer,
// CKR_BUFFER_TOO_SMALL for a short one.
template <typename Bytes>
CK_RV Answer(CK_ATTRIBUTE& attribute, const Bytes& value) {
  if (attribute.pValue == nullptr) {
    attribute.ulValueLen = value.size();
    return CKR_OK;
  }
  if (attribute.ulValueLen < value.size()) {
    attribute.ulValueLen = CK_UNAVAILABLE_INFORMATION;
    return CKR_BUFFER_TOO_SMALL;
  }
  std::copy(value.begin(), value.end(), static_cast<std::uint8_t*>(attribute.pValue));
  attribute.ulValueLen = value.size();
  return CKR_OK;
}

template <typename Bytes>
bool Equal(const CK_ATTRIBUTE& attribute, const Bytes& value) {
  return attribute.ulValueLen == value.size() &&
         (value.empty() || (attribute.pValue != nullptr &&
                            std::memcmp(attribute.pValue, value.data(), value.size()) == 0));
}

}  // namespace

Bridge::Bridge(const std::string& modulePath)
    : module_(modulePath, std::u16string()), table_(module_.Data()) {
  Refresh();
  pending_.clear();  // the tokens there from the start are no events
}

Bridge::~Bridge() = default;

void Bridge::Interrupt() {
  module_.Interrupt();
}

void Bridge::Refresh() {
  const std::vector<ModuleSessionId> tokens = table_.SessionIds();
  std::vector<Slot> slots;
  for (const ModuleSessionId& token : tokens) {
    auto known = std::find_if(slots_.begin(), slots_.end(),
                              [&](const Slot& slot) { return SameToken(slot.token, token); });
    if (known != slots_.end()) {
      slots.push_back(*known);
    } else {
      slots.push_back(Slot{nextSlot_++, token});
      pending_.push_back(slots.back().id);
    }
  }
  for (const Slot& slot : slots_) {
    if (std::none_of(slots.begin(), slots.end(), [&](const Slot& s) { return s.id == slot.id; })) {
      pending_.push_back(slot.id);
      DropSessions(slot.id);
    }
  }
  slots_ = std::move(slots);
}

Bridge::Slot* Bridge::FindSlot(CK_SLOT_ID id) {
  auto it = std::find_if(slots_.begin(), slots_.end(), [id](const Slot& s) { return s.id == id; });
  return it == slots_.end() ? nullptr : &*it;
}

std::pair<Bridge::Session*, Bridge::Slot*> Bridge::Find(CK_SESSION_HANDLE handle) {
  auto it = sessions_.find(handle);
  if (it == sessions_.end())
    return {nullptr, nullptr};
  return {&it->second, FindSlot(it->second.slot)};
}

void Bridge::DropSessions(CK_SLOT_ID slot) {
  std::erase_if(sessions_, [slot](const auto& entry) { return entry.second.slot == slot; });
  if (Slot* known = FindSlot(slot))
    known->loggedIn = false;  // login lasts while the token has sessions
}

CK_RV Bridge::GetSlotList(CK_SLOT_ID* list, CK_ULONG* count) {
  std::lock_guard lock(mutex_);
  Refresh();
  const CK_ULONG given = *count;
  *count = slots_.size();
  if (list == nullptr)
    return CKR_OK;
  if (given < slots_.size())
    return CKR_BUFFER_TOO_SMALL;
  for (std::size_t i = 0; i < slots_.size(); ++i)
    list[i] = slots_[i].id;
  return CKR_OK;
}

CK_RV Bridge::CheckSlot(CK_SLOT_ID slot) {
  std::lock_guard lock(mutex_);
  return FindSlot(slot) != nullptr ? CKR_OK : CKR_SLOT_ID_INVALID;
}

CK_RV Bridge::GetSlotInfo(CK_SLOT_ID id, CK_SLOT_INFO* info) {
  std::lock_guard lock(mutex_);
  const Slot* slot = FindSlot(id);
  if (slot == nullptr)
    return CKR_SLOT_ID_INVALID;
  const TokenFacts facts = Facts(table_, slot->token);
  *info = {};
  Pad(info->slotDescription, facts.label);
  Pad(info->manufacturerID, kManufacturer);
  info->flags = CKF_TOKEN_PRESENT;
  return CKR_OK;
}

CK_RV Bridge::GetTokenInfo(CK_SLOT_ID id, CK_TOKEN_INFO* info) {
  std::lock_guard lock(mutex_);
  const Slot* slot = FindSlot(id);
  if (slot == nullptr)
    return CKR_SLOT_ID_INVALID;
  const TokenFacts facts = Facts(table_, slot->token);
  *info = {};
  Pad(info->label, facts.label);
  Pad(info->manufacturerID, kManufacturer);
  Pad(info->model, facts.model);
  Pad(info->serialNumber, ToHex(slot->token.id));
  Pad(info->utcTime, "");  // no clock on the token
  info->flags = CKF_WRITE_PROTECTED;
  if (facts.initialized)
    info->flags |= CKF_TOKEN_INITIALIZED;
  if (facts.pinSet)
    info->flags |= CKF_USER_PIN_INITIALIZED;
  if (facts.pinLocked)
    info->flags |= CKF_USER_PIN_LOCKED;
  else if (slot->pinFailures > 0)
    info->flags |=
        CKF_USER_PIN_COUNT_LOW | (slot->pinFailures == kPinTries - 1 ? CKF_USER_PIN_FINAL_TRY : 0);
  info->ulMaxSessionCount = CK_EFFECTIVELY_INFINITE;
  info->ulSessionCount = static_cast<CK_ULONG>(std::count_if(
      sessions_.begin(), sessions_.end(), [id](const auto& s) { return s.second.slot == id; }));
  info->ulMaxRwSessionCount = 0;
  info->ulRwSessionCount = 0;
  info->ulMinPinLen = 1;
  info->ulMaxPinLen = 255;
  info->ulTotalPublicMemory = CK_UNAVAILABLE_INFORMATION;
  info->ulFreePublicMemory = CK_UNAVAILABLE_INFORMATION;
  info->ulTotalPrivateMemory = CK_UNAVAILABLE_INFORMATION;
  info->ulFreePrivateMemory = CK_UNAVAILABLE_INFORMATION;
  return CKR_OK;
}

CK_RV Bridge::WaitForSlotEvent(bool block, CK_SLOT_ID* slot) {
  for (;;) {
    // Counted before looking, so that an event during the look ends the wait below at once.
    const int seen = module_.Events();
    {
      std::lock_guard lock(mutex_);
      if (module_.Interrupted())
        return CKR_CRYPTOKI_NOT_INITIALIZED;
      Refresh();
      if (!pending_.empty()) {
        *slot = pending_.front();
        pending_.pop_front();
        return CKR_OK;
      }
    }
    if (!block)
      return CKR_NO_EVENT;
    module_.WaitForEvent(seen);
  }
}

CK_RV Bridge::OpenSession(CK_SLOT_ID slot, CK_FLAGS flags, CK_SESSION_HANDLE* session) {
  std::lock_guard lock(mutex_);
  if (FindSlot(slot) == nullptr)
    return CKR_SLOT_ID_INVALID;
  if ((flags & CKF_SERIAL_SESSION) == 0)
    return CKR_SESSION_PARALLEL_NOT_SUPPORTED;
  if ((flags & CKF_RW_SESSION) != 0)
    return CKR_TOKEN_WRITE_PROTECTED;
  *session = nextSession_++;
  sessions_[*session] = Session{slot, std::nullopt};
  return CKR_OK;
}

CK_RV Bridge::CloseSession(CK_SESSION_HANDLE handle) {
  std::lock_guard lock(mutex_);
  auto [session, slot] = Find(handle);
  if (session == nullptr)
    return CKR_SESSION_HANDLE_INVALID;
  const CK_SLOT_ID id = session->slot;
  sessions_.erase(handle);
  if (slot != nullptr && std::none_of(sessions_.begin(), sessions_.end(),
                                      [id](const auto& s) { return s.second.slot == id; }))
    slot->loggedIn = false;
  return CKR_OK;
}

CK_RV Bridge::CloseAllSessions(CK_SLOT_ID slot) {
  std::lock_guard lock(mutex_);
  if (FindSlot(slot) == nullptr)
    return CKR_SLOT_ID_INVALID;
  DropSessions(slot);
  return CKR_OK;
}

CK_RV Bridge::GetSessionInfo(CK_SESSION_HANDLE handle, CK_SESSION_INFO* info) {
  std::lock_guard lock(mutex_);
  auto [session, slot] = Find(handle);
  if (session == nullptr)
    return CKR_SESSION_HANDLE_INVALID;
  if (slot == nullptr)
    return CKR_DEVICE_REMOVED;
  *info = {};
  info->slotID = slot->id;
  info->state = slot->loggedIn ? CKS_RO_USER_FUNCTIONS : CKS_RO_PUBLIC_SESSION;
  info->flags = CKF_SERIAL_SESSION;
  return CKR_OK;
}

CK_RV Bridge::Login(CK_SESSION_HANDLE handle, CK_USER_TYPE user, const std::uint8_t* pin,
                    CK_ULONG pinLength) {
  std::lock_guard lock(mutex_);
  auto [session, slot] = Find(handle);
  if (session == nullptr)
    return CKR_SESSION_HANDLE_INVALID;
  if (slot == nullptr)
    return CKR_DEVICE_REMOVED;
  if (user == CKU_CONTEXT_SPECIFIC)
    return CKR_OPERATION_NOT_INITIALIZED;
  if (user != CKU_USER)
    return CKR_USER_TYPE_INVALID;  // a token has no security officer
  if (slot->loggedIn)
    return CKR_USER_ALREADY_LOGGED_IN;
  if (pin == nullptr)
    return CKR_ARGUMENTS_BAD;  // no protected authentication path
  try {
    table_.CheckPIN(slot->token, SecureBytes(pin, pin + pinLength));
  } catch (const host::HostError& e) {
    if (e.Code() == RESULT_PIN_INCORRECT)
      slot->pinFailures = std::min(slot->pinFailures + 1, kPinTries);
    return ResultFor(e.Code());
  }
  slot->pinFailures = 0;
  slot->loggedIn = true;
  return CKR_OK;
}

CK_RV Bridge::Logout(CK_SESSION_HANDLE handle) {
  std::lock_guard lock(mutex_);
  auto [session, slot] = Find(handle);
  if (session == nullptr)
    return CKR_SESSION_HANDLE_INVALID;
  if (slot == nullptr)
    return CKR_DEVICE_REMOVED;
  if (!slot->loggedIn)
    return CKR_USER_NOT_LOGGED_IN;
  slot->loggedIn = false;
  return CKR_OK;
}

std::optional<host::ObjectInfo> Bridge::Visible(const Slot& slot, CK_OBJECT_HANDLE object) {
  if (object == CK_INVALID_HANDLE)
    return std::nullopt;
  try {
    host::ObjectInfo info = table_.GetObjectInfo(slot.token, object);
    if (info.isPrivate && !slot.loggedIn)
      return std::nullopt;
    return info;
  } catch (const host::HostError& e) {
    if (e.Code() == RESULT_OBJECT_NOT_FOUND || e.Code() == RESULT_PIN_REQUIRED)
      return std::nullopt;
    throw;
  }
}

CK_RV Bridge::GetAttributeValue(CK_SESSION_HANDLE handle, CK_OBJECT_HANDLE object,
                                CK_ATTRIBUTE* attributes, CK_ULONG count) {
  std::lock_guard lock(mutex_);
  auto [session, slot] = Find(handle);
  if (session == nullptr)
    return CKR_SESSION_HANDLE_INVALID;
  if (slot == nullptr)
    return CKR_DEVICE_REMOVED;
  const std::optional<host::ObjectInfo> info = Visible(*slot, object);
  if (!info)
    return CKR_OBJECT_HANDLE_INVALID;
  CK_RV result = CKR_OK;
  for (CK_ATTRIBUTE& attribute : std::span(attributes, count)) {
    CK_RV answer = CKR_OK;
    if (attribute.type == CKA_VALUE) {
      answer = Answer(attribute, table_.ReadObject(slot->token, object, info->size));
    } else if (auto value = FixedAttribute(*info, attribute.type)) {
      answer = Answer(attribute, *value);
    } else {
      attribute.ulValueLen = CK_UNAVAILABLE_INFORMATION;
      answer = CKR_ATTRIBUTE_TYPE_INVALID;
    }
    if (result == CKR_OK)
      result = answer;
  }
  return result;
}

bool Bridge::Matches(const Slot& slot, const host::ObjectInfo& info, const CK_ATTRIBUTE* pattern,
                     CK_ULONG count) {
  for (const CK_ATTRIBUTE& attribute : std::span(pattern, count)) {
    if (attribute.type == CKA_VALUE) {
      if (!Equal(attribute, table_.ReadObject(slot.token, info.handle, info.size)))
        return false;
    } else if (auto value = FixedAttribute(info, attribute.type);
               !value || !Equal(attribute, *value)) {
      return false;
    }
  }
  return true;
}

CK_RV Bridge::FindObjectsInit(CK_SESSION_HANDLE handle, const CK_ATTRIBUTE* pattern,
                              CK_ULONG count) {
  std::lock_guard lock(mutex_);
  auto [session, slot] = Find(handle);
  if (session == nullptr)
    return CKR_SESSION_HANDLE_INVALID;
  if (slot == nullptr)
    return CKR_DEVICE_REMOVED;
  if (session->found)
    return CKR_OPERATION_ACTIVE;
  SearchPlan plan = PlanSearch(std::span(pattern, count));
  if (!slot->loggedIn) {  // private objects stay out of sight until login
    if (plan.search.attributes == OBJECT_ATTRIBUTE_PRIVATE)
      plan.none = true;
    plan.search.attributes = OBJECT_ATTRIBUTE_PUBLIC;
  }
  std::vector<CK_OBJECT_HANDLE> found;
  if (!plan.none) {
    for (std::uint64_t object : table_.FindObjects(slot->token, plan.search)) {
      if (Matches(*slot, table_.GetObjectInfo(slot->token, object), pattern, count))
        found.push_back(object);
    }
  }
  // The list is kept in reverse so that FindObjects takes from its end.
  std::reverse(found.begin(), found.end());
  session->found = std::move(found);
  return CKR_OK;
}

CK_RV Bridge::FindObjects(CK_SESSION_HANDLE handle, CK_OBJECT_HANDLE* objects, CK_ULONG maxCount,
                          CK_ULONG* count) {
  std::lock_guard lock(mutex_);
  auto [session, slot] = Find(handle);
  if (session == nullptr)
    return CKR_SESSION_HANDLE_INVALID;
  if (!session->found)
    return CKR_OPERATION_NOT_INITIALIZED;
  std::vector<CK_OBJECT_HANDLE>& found = *session->found;
  *count = 0;
  while (*count < maxCount && !found.empty()) {
    objects[(*count)++] = found.back();
    found.pop_back();
  }
  return CKR_OK;
}

CK_RV Bridge::FindObjectsFinal(CK_SESSION_HANDLE handle) {
  std::lock_guard lock(mutex_);
  auto [session, slot] = Find(handle);
  if (session == nullptr)
    return CKR_SESSION_HANDLE_INVALID;
  if (!session->found)
    return CKR_OPERATION_NOT_INITIALIZED;
  session->found.reset();
  return CKR_OK;
}

}  // namespace varlo::pkcs11
