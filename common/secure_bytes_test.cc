#include "common/secure_bytes.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace varlo {
namespace {

TEST(SecureBytesTest, BehavesAsAByteVector) {
  SecureBytes key = ToSecure(std::vector<std::uint8_t>{1, 2, 3});
  key.push_back(4);
  EXPECT_EQ(key.size(), 4u);
  EXPECT_EQ(key[3], 4);
  SecureBytes copy = key;
  EXPECT_EQ(copy, key);
}

TEST(SecureBytesTest, WipeClearsABufferInPlace) {
  std::uint8_t buffer[16];
  std::fill(std::begin(buffer), std::end(buffer), 0xA5);
  Wipe(buffer);
  EXPECT_TRUE(std::all_of(std::begin(buffer), std::end(buffer), [](auto b) { return b == 0; }));
}

}  // namespace
}  // namespace varlo
