#include "apps/vcard/card_image.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "card/application_key.h"
#include "common/hex.h"

namespace varlo::vcard {
namespace {

std::string ErrorOf(const std::string& json) {
  try {
    ParseCardImage(json);
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "no error";
}

TEST(CardImageTest, ReadsUidKeyAndFilesByNumber) {
  auto image = ParseCardImage(
      R"({"uid": "04A1B2C3D4E5F6", "appKey": "00112233445566778899aabbccddeeff",
          "files": {"2": "0102", "10": "", "31": "ff"}, "comment": "ignored"})");
  EXPECT_EQ(ToHex(image.uid), "04a1b2c3d4e5f6");
  EXPECT_EQ(ToHex(image.appKey), "00112233445566778899aabbccddeeff");
  ASSERT_EQ(image.files.size(), 3u);
  // Numbers, not the text order of the keys ("10" < "2").
  EXPECT_EQ(image.files.begin()->first, 2);
  EXPECT_EQ(ToHex(image.files.at(2)), "0102");
  EXPECT_TRUE(image.files.at(10).empty());
  EXPECT_EQ(ToHex(image.files.at(31)), "ff");

  image = ParseCardImage(R"({"uid": "04000000000001"})");
  EXPECT_EQ(ToHex(image.appKey), ToHex(ApplicationKey()));  // the default
  EXPECT_TRUE(image.files.empty());
}

TEST(CardImageTest, NamesTheFault) {
  EXPECT_EQ(ErrorOf("{"), "card image is not valid JSON");
  EXPECT_EQ(ErrorOf("[]"), "card image must be a JSON object");
  EXPECT_EQ(ErrorOf(R"({"files": {}})"), "card image has no uid");
  EXPECT_EQ(ErrorOf(R"({"uid": "0400"})"), "uid must be 14 hex digits");
  EXPECT_EQ(ErrorOf(R"({"uid": 4})"), "uid must be a hex string");
  EXPECT_EQ(ErrorOf(R"({"uid": "04000000000001", "appKey": "00"})"),
            "appKey must be 32 hex digits");
  EXPECT_EQ(ErrorOf(R"({"uid": "04000000000001", "files": {"32": "00"}})"),
            "file number 32 is out of range 0-31");
  EXPECT_EQ(ErrorOf(R"({"uid": "04000000000001", "files": {"x1": "00"}})"),
            "file number \"x1\" is not a decimal number");
  EXPECT_EQ(ErrorOf(R"({"uid": "04000000000001", "files": {"1": "00", "01": "11"}})"),
            "file number 1 appears twice");
  EXPECT_EQ(ErrorOf(R"({"uid": "04000000000001", "files": {"1": "0g"}})"),
            "file 1 must be hex digits");
}

}  // namespace
}  // namespace varlo::vcard
