#include "module/utf8_string.h"

#include <gtest/gtest.h>

#include "common/module_exception.h"

namespace varlo {
namespace {

void ExpectRefused(const ModuleUtf8String* record, const char* message) {
  try {
    Utf8StringBytes(record);
    FAIL() << "accepted";
  } catch (const ModuleException& e) {
    EXPECT_STREQ(e.what(), message);
    EXPECT_EQ(e.Code(), RESULT_INVALID_PARAMETER);
  }
}

// Refused: a null record, null bytes and empty text, checked in that order. Other bytes are
// copied as counted, unchecked.
TEST(Utf8StringTest, RefusesWhatHoldsNoTextAndCopiesTheRestUnchecked) {
  ExpectRefused(nullptr, "Utf8 string is nullptr.");
  ModuleUtf8String nullBytes{nullptr, 0};
  ExpectRefused(&nullBytes, "Utf8 string contains nullptr.");
  ModuleUtf8String empty{"1234", 0};
  ExpectRefused(&empty, "Utf8 string is empty.");
  ModuleUtf8String pin{"12\xFF\0005", 5};  // the zero byte too
  EXPECT_EQ(Utf8StringBytes(&pin), (SecureBytes{'1', '2', 0xFF, 0, '5'}));
}

}  // namespace
}  // namespace varlo
