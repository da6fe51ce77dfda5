#include "apps/host/module_host.h"

#include <cstring>
#include <sstream>

namespace varlo::host {

std::string ResultName(ModuleResult code) {
  switch (code) {
    case RESULT_SUCCESS:
      return "RESULT_SUCCESS";
    case RESULT_EMPTY:
      return "RESULT_EMPTY";
    case RESULT_PIN_REQUIRED:
      return "RESULT_PIN_REQUIRED";
    case RESULT_PIN_INCORRECT:
      return "RESULT_PIN_INCORRECT";
    case RESULT_TOKEN_NOT_FOUND:
      return "RESULT_TOKEN_NOT_FOUND";
    case RESULT_INVALID_PARAMETER:
      return "RESULT_INVALID_PARAMETER";
    case RESULT_OBJECT_NOT_FOUND:
      return "RESULT_OBJECT_NOT_FOUND";
    case RESULT_WRONG_STATE:
      return "RESULT_WRONG_STATE";
    case RESULT_FAILURE:
      return "RESULT_FAILURE";
    case RESULT_BUFFER_TOO_SMALL:
      return "RESULT_BUFFER_TOO_SMALL";
    case RESULT_NOT_SUPPORTED:
      return "RESULT_NOT_SUPPORTED";
    case RESULT_PIN_LOCKED:
      return "RESULT_PIN_LOCKED";
    case RESULT_OBJECT_CRC_MISMATCH:
      return "RESULT_OBJECT_CRC_MISMATCH";
    case RESULT_API_VERSION_UNSUPPORTED:
      return "RESULT_API_VERSION_UNSUPPORTED";
  }
  std::ostringstream text;
  text << "0x" << std::hex << code;
  return text.str();
}

HostError::HostError(const std::string& operation, ModuleResult code)
    : std::runtime_error(operation + ": " + ResultName(code)), code_(code) {}

namespace {

void Check(const char* operation, ModuleResult code) {
  if (code != RESULT_SUCCESS)
    throw HostError(operation, code);
}

}  // namespace

ModuleHost::ModuleHost(const std::string& modulePath, const std::u16string& registryKey)
    : library_(modulePath) {
  auto initialize = library_.Get<ModuleInitializeFn>(MODULE_INITIALIZE_SYMBOL);
  if (initialize == nullptr)
    throw std::runtime_error(modulePath + " exports no ModuleInitialize");
  data_.apiVersion = MODULE_API_VERSION;
  data_.structVersion = 2;
  data_.pfnEventCallback.invoke = &ModuleHost::OnEvent;
  data_.pfnEventCallback.context = this;
  data_.pfnEventCallback.targetHandle = reinterpret_cast<std::uint64_t>(&ModuleHost::OnEvent);
  Check("ModuleInitialize",
        initialize(registryKey.empty() ? nullptr
                                       : reinterpret_cast<const std::uint16_t*>(registryKey.data()),
                   static_cast<std::uint32_t>(registryKey.size()), &data_));
}

ModuleHost::~ModuleHost() {
  data_.ModuleUnload();
}

void ModuleHost::OnEvent(void* context, std::uint64_t) {
  auto* self = static_cast<ModuleHost*>(context);
  {
    std::lock_guard lock(self->mutex_);
    ++self->events_;
  }
  self->changed_.notify_all();
}

int ModuleHost::WaitForEvent(int seen, std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  changed_.wait_for(lock, timeout, [&] { return events_ > seen; });
  return events_;
}

std::vector<ModuleSessionId> ModuleHost::SessionIds() {
  std::uint32_t size = 0;
  ModuleResult code = data_.ModuleGetTokenSessionIdList(nullptr, &size);
  if (code == RESULT_EMPTY)
    return {};
  Check("ModuleGetTokenSessionIdList", code);
  // Tokens may come between the two calls: ask again while the buffer is too small.
  std::vector<std::uint8_t> buffer;
  do {
    buffer.resize(size);
    code = data_.ModuleGetTokenSessionIdList(buffer.data(), &size);
  } while (code == RESULT_BUFFER_TOO_SMALL);
  if (code == RESULT_EMPTY)
    return {};
  Check("ModuleGetTokenSessionIdList", code);
  std::vector<ModuleSessionId> ids;
  for (std::size_t offset = 0; offset + sizeof(ModuleSessionIdNode) <= buffer.size();
       offset += sizeof(ModuleSessionIdNode)) {
    ModuleSessionIdNode node;
    std::memcpy(&node, buffer.data() + offset, sizeof node);
    ids.push_back(node.sessionId);
    if (node.next == 0)
      break;
  }
  return ids;
}

std::vector<std::uint8_t> ModuleHost::Capabilities(const ModuleSessionId& token) {
  std::uint32_t size = 0;
  Check("ModuleGetTokenCapabilities", data_.ModuleGetTokenCapabilities(&token, nullptr, &size));
  std::vector<std::uint8_t> block(size);
  Check("ModuleGetTokenCapabilities",
        data_.ModuleGetTokenCapabilities(&token, block.data(), &size));
  block.resize(size);
  return block;
}

void ModuleHost::CheckPIN(const ModuleSessionId& token, const SecureBytes& pin) {
  ModuleUtf8String text{reinterpret_cast<const char*>(pin.data()),
                        static_cast<std::uint32_t>(pin.size())};
  Check("ModuleCheckPIN", data_.ModuleCheckPIN(&token, &text));
}

std::vector<ObjectInfo> ModuleHost::FindObjects(const ModuleSessionId& token, bool publicOnly) {
  ModuleSearchCondition condition{};
  condition.fieldKey = KEY_ATTRIBUTES;
  condition.valueType = VALUE_TYPE_BYTE;
  condition.value.byte = OBJECT_ATTRIBUTE_PUBLIC;
  std::uint64_t* handles = nullptr;
  std::uint32_t count = 0;
  ModuleResult code = data_.ModuleFindObjects(&token, publicOnly ? &condition : nullptr,
                                              publicOnly ? 1 : 0, &handles, &count);
  if (code == RESULT_EMPTY)
    return {};
  Check("ModuleFindObjects", code);
  std::vector<std::uint64_t> found(handles, handles + count);
  data_.ModuleFreeObjectHandleList(handles);

  std::vector<ObjectInfo> objects;
  for (std::uint64_t handle : found) {
    ModuleObjectInfo* info = nullptr;
    Check("ModuleGetObjectInfo", data_.ModuleGetObjectInfo(&token, handle, &info));
    objects.push_back({handle, info->label, info->application,
                       info->attributes == OBJECT_ATTRIBUTE_PRIVATE, info->size});
    data_.ModuleFreeObjectInfo(info);
  }
  return objects;
}

SecureBytes ModuleHost::ReadObject(const ModuleSessionId& token, const ObjectInfo& object) {
  SecureBytes content(object.size);
  if (content.empty())
    return content;
  std::uint32_t read = 0;
  Check("ModuleReadObject",
        data_.ModuleReadObject(&token, object.handle, 0, content.data(), object.size, &read));
  content.resize(read);
  return content;
}

}  // namespace varlo::host
