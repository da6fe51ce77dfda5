// The operation table of an initialized module as C++ calls: the size-query protocol, the Free
// operations and the records of the public header are handled here, once. Every result other
// than success becomes a HostError naming the operation; RESULT_EMPTY from a list or a search is
// an empty answer.
//
// The table belongs to whoever initialized the module (a loaded library or a test's fake); it
// must stay initialized while a ModuleTable uses it. Calls are made on the caller's thread.
#ifndef VARLO_MODULEHOST_MODULE_TABLE_H_
#define VARLO_MODULEHOST_MODULE_TABLE_H_

#include <cstdint>
#include <string>
#include <vector>

#include "common/secure_bytes.h"
#include "include/varlo_module.h"

namespace varlo::host {

struct ObjectInfo {
  std::uint64_t handle = 0;
  std::string label;
  std::string application;
  bool isPrivate = false;
  std::uint32_t size = 0;
};

// What a search asks for; empty fields do not restrict it.
struct ObjectSearch {
  std::string label;
  std::string application;
  std::uint8_t attributes = 0;  // 0, OBJECT_ATTRIBUTE_PRIVATE or OBJECT_ATTRIBUTE_PUBLIC
  bool hasLabel = false;
  bool hasApplication = false;
};

class ModuleTable {
 public:
  explicit ModuleTable(const ModuleData& data) : data_(data) {}

  std::vector<ModuleSessionId> SessionIds() const;
  std::vector<std::uint8_t> Serial(const ModuleSessionId& token) const;
  // The packed capability block, as the module hands it out.
  std::vector<std::uint8_t> Capabilities(const ModuleSessionId& token) const;
  void CheckPIN(const ModuleSessionId& token, const SecureBytes& pin) const;
  // Handles in the module's order.
  std::vector<std::uint64_t> FindObjects(const ModuleSessionId& token,
                                         const ObjectSearch& search) const;
  ObjectInfo GetObjectInfo(const ModuleSessionId& token, std::uint64_t handle) const;
  // The whole object, `size` bytes (as its info record gives it).
  SecureBytes ReadObject(const ModuleSessionId& token, std::uint64_t handle,
                         std::uint32_t size) const;

 private:
  const ModuleData& data_;
};

}  // namespace varlo::host

#endif  // VARLO_MODULEHOST_MODULE_TABLE_H_
