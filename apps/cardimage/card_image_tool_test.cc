#include "apps/cardimage/card_image_tool.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <sstream>

namespace varlo::cardimage {
namespace {

using ::testing::HasSubstr;

const char kDescription[] = R"({
  "uid": "04a1b2c3d4e5f6", "label": "Work", "pin": "2468",
  "objects": [
    {"label": "cert", "application": 5, "type": 1, "text": "hello"},
    {"label": "secret", "private": true, "type": 3, "content": "00ff"}
  ]})";

// One image for the suite: writing the PIN file costs a full PBKDF2.
class CardImageToolTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::ostringstream out, err;
    ASSERT_EQ(RunMake(nlohmann::json::parse(kDescription), {}, out, err), kExitOk) << err.str();
    image_ = std::make_unique<CardImage>(CardImage::FromJson(nlohmann::json::parse(out.str())));
  }
  static void TearDownTestSuite() { image_.reset(); }

  static int Inspect(const CardImage& image, const char* pin, std::string& output) {
    std::ostringstream out;
    std::optional<SecureBytes> secret;
    if (pin != nullptr)
      secret = SecureBytes(pin, pin + std::strlen(pin));
    const int status = RunInspect(image, secret, out);
    output = out.str();
    return status;
  }

  static inline std::unique_ptr<CardImage> image_;
};

TEST_F(CardImageToolTest, InspectShowsMetadataAndPublicContentWithoutPin) {
  std::string out;
  EXPECT_EQ(Inspect(*image_, nullptr, out), kExitOk);
  EXPECT_THAT(out, HasSubstr("uid: 04a1b2c3d4e5f6"));
  EXPECT_THAT(out, HasSubstr("status: initialized"));
  EXPECT_THAT(out, HasSubstr("label: \"Work\""));
  EXPECT_THAT(out, HasSubstr("objects: 2"));
  EXPECT_THAT(out, HasSubstr("label \"cert\", public, type 1, application "
                             "\"1.3.6.1.4.1.6147.9117.1.1234.8.5\", size 5 (stored 16 bytes)"));
  EXPECT_THAT(out, HasSubstr("content: 68656c6c6f (text \"hello\")"));
  EXPECT_THAT(out, Not(HasSubstr("00ff")));
  EXPECT_THAT(out, HasSubstr("token json: {\"uid\":"));
}

TEST_F(CardImageToolTest, InspectWithTheRightPinShowsPrivateContent) {
  std::string out;
  EXPECT_EQ(Inspect(*image_, "2468", out), kExitOk);
  EXPECT_THAT(out, HasSubstr("pin check: accepted"));
  EXPECT_THAT(out, HasSubstr("content: 00ff\n"));
}

TEST_F(CardImageToolTest, ExitStatusTellsWrongAndLockedPins) {
  std::string out;
  EXPECT_EQ(Inspect(*image_, "1357", out), kExitPinIncorrect);
  EXPECT_THAT(out, HasSubstr("pin check: PIN is incorrect."));
  CardImage locked = *image_;
  locked.files[kPinFileNumber].assign(48, 0x42);
  EXPECT_EQ(Inspect(locked, "2468", out), kExitPinLocked);
  EXPECT_THAT(out, HasSubstr("pin check: PIN is locked."));
  CardImage noUid = *image_;
  noUid.uid = 0;
  EXPECT_EQ(Inspect(noUid, "2468", out), kExitTokenFailure);
  EXPECT_THAT(out, HasSubstr("pin check: UID missing - cannot derive key from PIN."));
}

TEST_F(CardImageToolTest, ExitStatusTellsRefusedAndUninitializedImages) {
  std::string out;
  CardImage shortPin = *image_;
  shortPin.files[kPinFileNumber].resize(47);
  EXPECT_EQ(Inspect(shortPin, nullptr, out), kExitNotParsed);
  EXPECT_THAT(out, HasSubstr("status: refused: PIN data size mismatch."));

  CardImage noProperty = *image_;
  noProperty.files.erase(kPropertyFileNumber);
  EXPECT_EQ(Inspect(noProperty, "2468", out), kExitNotInitialized);
  EXPECT_THAT(out, HasSubstr("status: not initialized: property file (0x1F) missing"));
  EXPECT_THAT(out, Not(HasSubstr("pin check")));

  CardImage badCrc = *image_;
  badCrc.files[0][0] ^= 1;
  EXPECT_EQ(Inspect(badCrc, nullptr, out), kExitNotInitialized);
  EXPECT_THAT(out, HasSubstr("Header file invalid: crc missmatch. (header file 0x00)"));

  CardImage noData = *image_;
  noData.files.erase(1);
  EXPECT_EQ(Inspect(noData, nullptr, out), kExitNotInitialized);
  EXPECT_THAT(out, HasSubstr("Header or data file missing."));
}

TEST(CardImageMakeTest, RefusesABadDescription) {
  std::ostringstream out, err;
  auto description = nlohmann::json::parse(kDescription);
  description["objects"][0]["type"] = 2;
  EXPECT_EQ(RunMake(description, {}, out, err), kExitUsage);
  EXPECT_THAT(err.str(), HasSubstr("type 2 is not supported"));
  EXPECT_TRUE(out.str().empty());
}

}  // namespace
}  // namespace varlo::cardimage
