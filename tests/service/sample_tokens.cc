#include "tests/service/sample_tokens.h"

#include <string>

namespace varlo::testservice {

DesfireData SampleToken(std::uint64_t uid, std::size_t objectBytes) {
  DesfireData data;
  data.uid = uid;
  data.label = "token " + std::to_string(uid);
  data.initialized = true;
  data.pinData.assign(kPinDataSize, static_cast<std::uint8_t>(uid));
  data.pinErrorCount = uid % 3;
  TokenObject object;
  object.label = "blob";
  object.type = 3;
  object.size = objectBytes;
  object.value.resize(objectBytes);
  for (std::size_t i = 0; i < objectBytes; ++i)
    object.value[i] = static_cast<std::uint8_t>(uid * 131 + i * 7 + (i >> 8));
  data.AddObject(object);
  return data;
}

}  // namespace varlo::testservice
