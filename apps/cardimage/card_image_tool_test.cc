#include "apps/cardimage/card_image_tool.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
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

  static inline std::unique_ptr<CardImage> image_;
};

TEST_F(CardImageToolTest, InspectShowsWhatItSeesAndExitsWithItsStatus) {
  using Spoil = std::function<void(CardImage&)>;
  const struct {
    Spoil spoil;
    const char* pin;
    int exit;
    std::vector<std::string> shown;
    const char* hidden;
  } cases[] = {
      {{},
       nullptr,
       kExitOk,
       {"uid: 04a1b2c3d4e5f6", "status: initialized", "label: \"Work\"", "objects: 2",
        "label \"cert\", public, type 1, application \"1.3.6.1.4.1.6147.9117.1.1234.8.5\", "
        "size 5 (stored 16 bytes)",
        "content: 68656c6c6f (text \"hello\")", "token json: {\"uid\":"},
       "00ff"},
      {{}, "2468", kExitOk, {"pin check: accepted", "content: 00ff\n"}, nullptr},
      {{}, "1357", kExitPinIncorrect, {"pin check: PIN is incorrect."}, "00ff"},
      {[](CardImage& i) { i.files[kPinFileNumber].assign(48, 0x42); },
       "2468",
       kExitPinLocked,
       {"pin check: PIN is locked."},
       "00ff"},
      {[](CardImage& i) { i.uid = 0; },
       "2468",
       kExitTokenFailure,
       {"pin check: UID missing - cannot derive key from PIN."},
       nullptr},
      {[](CardImage& i) { i.files[kPinFileNumber].resize(47); },
       nullptr,
       kExitNotParsed,
       {"status: refused: PIN data size mismatch."},
       nullptr},
      {[](CardImage& i) { i.files.erase(kPropertyFileNumber); },
       "2468",
       kExitNotInitialized,
       {"status: not initialized: property file (0x1F) missing"},
       "pin check"},
      {[](CardImage& i) { i.files[0][0] ^= 1; },
       nullptr,
       kExitNotInitialized,
       {"Header file invalid: crc missmatch. (header file 0x00)"},
       nullptr},
      {[](CardImage& i) { i.files.erase(1); },
       nullptr,
       kExitNotInitialized,
       {"Header or data file missing."},
       nullptr},
  };
  for (const auto& c : cases) {
    CardImage image = *image_;
    if (c.spoil)
      c.spoil(image);
    std::ostringstream out;
    std::optional<SecureBytes> pin;
    if (c.pin != nullptr)
      pin = SecureBytes(c.pin, c.pin + std::strlen(c.pin));
    EXPECT_EQ(RunInspect(image, pin, out), c.exit) << out.str();
    for (const std::string& text : c.shown)
      EXPECT_THAT(out.str(), HasSubstr(text));
    if (c.hidden != nullptr) {
      EXPECT_THAT(out.str(), Not(HasSubstr(c.hidden)));
    }
  }
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
