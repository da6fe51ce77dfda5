#include "common/utf.h"

#include <gtest/gtest.h>

namespace varlo {
namespace {

TEST(UtfTest, RoundTripsAsciiBmpAndAstralText) {
  const std::string text = "SOFTWARE\\Vendor \xC3\xA4\xE2\x82\xAC \xF0\x9F\x94\x91";
  std::u16string wide = Utf8ToUtf16(text);
  EXPECT_EQ(wide, u"SOFTWARE\\Vendor \u00E4\u20AC \U0001F511");
  EXPECT_EQ(Utf16ToUtf8(wide), text);
}

TEST(UtfTest, ReplacesMalformedSequences) {
  EXPECT_EQ(Utf8ToUtf16("a\x80"
                        "b"),
            u"a\uFFFDb");
  EXPECT_EQ(Utf8ToUtf16("\xC3"), u"\uFFFD");                  // truncated
  EXPECT_EQ(Utf8ToUtf16("\xC0\xAF"), u"\uFFFD\uFFFD");        // overlong
  EXPECT_EQ(Utf8ToUtf16("\xED\xA0\x80").front(), u'\uFFFD');  // encoded surrogate
  EXPECT_EQ(Utf16ToUtf8(std::u16string(1, char16_t(0xD800))), "\xEF\xBF\xBD");
}

}  // namespace
}  // namespace varlo
