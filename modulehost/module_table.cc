#include "modulehost/module_table.h"

#include <cstring>
#include <memory>

#include "modulehost/results.h"

namespace varlo::host {
namespace {

// Tokens may come or go between a size query and the call that fills the buffer; after this
// many answers of "too small" in a row the module is not settling and the call fails.
constexpr int kSizeQueryAttempts = 8;

void Check(const char* operation, ModuleResult code) {
  if (code != RESULT_SUCCESS)
    throw HostError(operation, code);
}

[[noreturn]] void Malformed(const std::string& what) {
  throw CommandError(ExitCode::kFailure, "the module handed out " + what);
}

// The size-query protocol: ask with a null buffer, then fill a buffer of the size given, asking
// again while the module answers that it is too small. `call(buffer, size)` is the operation.
// RESULT_EMPTY is an empty answer. The answer is cut to the size the module writes back only
// when `sizeOnSuccess` says the operation writes one on success.
template <typename Call>
std::vector<std::uint8_t> QuerySized(const char* operation, bool sizeOnSuccess, Call call) {
  std::uint32_t size = 0;
  ModuleResult code = call(nullptr, &size);
  if (code == RESULT_EMPTY)
    return {};
  Check(operation, code);
  for (int attempt = 0; attempt < kSizeQueryAttempts; ++attempt) {
    // Never pass a null buffer for a fill: the module would take it for another size query.
    if (size == 0)
      return {};
    std::vector<std::uint8_t> buffer(size);
    std::uint32_t given = size;
    code = call(buffer.data(), &size);
    if (code == RESULT_BUFFER_TOO_SMALL) {
      if (size <= given)
        Malformed(std::string("a size that does not grow from ") + operation);
      continue;
    }
    if (code == RESULT_EMPTY)
      return {};
    Check(operation, code);
    if (sizeOnSuccess) {
      if (size > given)
        Malformed(std::string("more bytes than it wrote from ") + operation);
      buffer.resize(size);
    }
    return buffer;
  }
  throw CommandError(ExitCode::kFailure,
                     std::string(operation) + ": the answer's size keeps changing");
}

// A text of the object info record: at most `size` bytes, up to the first zero.
std::string InfoText(const char* text, std::uint32_t size) {
  if (text == nullptr)
    return {};
  return std::string(text, ::strnlen(text, size));
}

}  // namespace

std::vector<ModuleSessionId> ModuleTable::SessionIds() const {
  auto list = QuerySized("ModuleGetTokenSessionIdList", false, [this](uint8_t* b, uint32_t* s) {
    return data_.ModuleGetTokenSessionIdList(b, s);
  });
  // The nodes lie back to back; each points at the next, the last holds 0.
  std::vector<ModuleSessionId> ids;
  for (std::size_t offset = 0; offset < list.size(); offset += sizeof(ModuleSessionIdNode)) {
    if (list.size() - offset < sizeof(ModuleSessionIdNode))
      Malformed("a token list without an end");
    ModuleSessionIdNode node;
    std::memcpy(&node, list.data() + offset, sizeof node);
    if (node.sessionId.length != sizeof node.sessionId.id)
      Malformed("a session id that is not 7 bytes long");
    ids.push_back(node.sessionId);
    if (node.next == 0)
      return ids;
    const auto following = reinterpret_cast<std::uintptr_t>(list.data() + offset + sizeof node);
    if (node.next != following)
      Malformed("a token list whose nodes do not follow each other");
  }
  if (!list.empty())
    Malformed("a token list without an end");
  return ids;
}

std::vector<std::uint8_t> ModuleTable::Serial(const ModuleSessionId& token) const {
  auto serial = QuerySized("ModuleGetSerial", true, [&](uint8_t* b, uint32_t* s) {
    return data_.ModuleGetSerial(&token, b, s);
  });
  if (serial.empty())
    Malformed("an empty serial");
  return serial;
}

std::vector<std::uint8_t> ModuleTable::Capabilities(const ModuleSessionId& token) const {
  return QuerySized("ModuleGetTokenCapabilities", true, [&](uint8_t* b, uint32_t* s) {
    return data_.ModuleGetTokenCapabilities(&token, b, s);
  });
}

void ModuleTable::CheckPIN(const ModuleSessionId& token, const SecureBytes& pin) const {
  const ModuleUtf8String text{reinterpret_cast<const char*>(pin.data()),
                              static_cast<std::uint32_t>(pin.size())};
  Check("ModuleCheckPIN", data_.ModuleCheckPIN(&token, &text));
}

std::vector<std::uint64_t> ModuleTable::FindObjects(const ModuleSessionId& token,
                                                    const ObjectSearch& search) const {
  std::vector<ModuleSearchCondition> conditions;
  auto add = [&conditions](std::uint32_t key, std::uint32_t type) -> ModuleSearchCondition& {
    ModuleSearchCondition& condition = conditions.emplace_back();
    condition.fieldKey = key;
    condition.valueType = type;
    condition.value.raw = 0;
    return condition;
  };
  if (search.hasLabel)
    add(KEY_LABEL, VALUE_TYPE_TEXT).value.text = search.label.c_str();
  if (search.hasApplication)
    add(KEY_APPID, VALUE_TYPE_TEXT).value.text = search.application.c_str();
  if (search.attributes != 0)
    add(KEY_ATTRIBUTES, VALUE_TYPE_BYTE).value.byte = search.attributes;

  std::uint64_t* list = nullptr;
  std::uint32_t count = 0;
  const ModuleResult code =
      data_.ModuleFindObjects(&token, conditions.empty() ? nullptr : conditions.data(),
                              static_cast<std::uint32_t>(conditions.size()), &list, &count);
  // Whatever the module allocated goes back to it, whatever the result.
  std::unique_ptr<std::uint64_t, ModuleFreeObjectHandleListFn> owned(
      list, data_.ModuleFreeObjectHandleList);
  if (code == RESULT_EMPTY)
    return {};
  Check("ModuleFindObjects", code);
  if (count != 0 && list == nullptr)
    Malformed("no handle list for a search that found objects");
  return std::vector<std::uint64_t>(list, list + count);
}

ObjectInfo ModuleTable::GetObjectInfo(const ModuleSessionId& token, std::uint64_t handle) const {
  ModuleObjectInfo* record = nullptr;
  const ModuleResult code = data_.ModuleGetObjectInfo(&token, handle, &record);
  std::unique_ptr<ModuleObjectInfo, ModuleFreeObjectInfoFn> owned(record,
                                                                  data_.ModuleFreeObjectInfo);
  Check("ModuleGetObjectInfo", code);
  if (record == nullptr)
    Malformed("no object info record");
  ObjectInfo info;
  info.handle = handle;
  info.application = InfoText(record->application, record->applicationSize);
  info.label = InfoText(record->label, record->labelSize);
  info.isPrivate = record->attributes == OBJECT_ATTRIBUTE_PRIVATE;
  info.size = record->size;
  return info;
}

SecureBytes ModuleTable::ReadObject(const ModuleSessionId& token, std::uint64_t handle,
                                    std::uint32_t size) const {
  SecureBytes content(size);
  // The module refuses to read 0 bytes; an empty object has nothing to read.
  if (size == 0)
    return content;
  std::uint32_t read = 0;
  Check("ModuleReadObject", data_.ModuleReadObject(&token, handle, 0, content.data(), size, &read));
  if (read != size)
    Malformed("a short read from ModuleReadObject");
  return content;
}

}  // namespace varlo::host
