// Framing of short commands, the switch to wrapped framing and the hex dump of the log are pinned
// byte for byte by the command layer's tests (desfire_test.cc); here: what no read reaches.
#include "card/desfire_command.h"

#include <gtest/gtest.h>

namespace varlo {
namespace {

using Bytes = SecureBytes;

TEST(DesfireCommandTest, LongDataIsSplitWithAdditionalFrameCodes) {
  Bytes data(130);
  for (std::size_t i = 0; i < data.size(); ++i)
    data[i] = static_cast<std::uint8_t>(i);
  DesfireCommand native(0x3D, data, false);  // 59 + 59 + 12
  ASSERT_EQ(native.frames.size(), 3u);
  EXPECT_EQ(native.frames[0].size(), 60u);
  EXPECT_EQ(native.frames[1][0], 0xAF);
  EXPECT_EQ(native.frames[1][1], 59);
  EXPECT_EQ(native.frames[2].size(), 13u);
  DesfireCommand wrapped(0x3D, data, true);  // 54 + 54 + 22
  ASSERT_EQ(wrapped.frames.size(), 3u);
  EXPECT_EQ(wrapped.frames[0].size(), 5u + 54u + 1u);
  EXPECT_EQ(wrapped.frames[1][1], 0xAF);
  EXPECT_EQ(wrapped.frames[1][5], 54);
  EXPECT_EQ(wrapped.frames[2][4], 22);
  EXPECT_EQ(DesfireCommand(0x3D, Bytes(59), false).frames.size(), 1u);
}

TEST(DesfireCommandTest, ParsesAnswersIntoStatusAndAccumulatedData) {
  struct Step {
    Bytes answer;
    std::uint8_t status;
    Bytes response;  // accumulated so far
  };
  const std::vector<Step> native = {{{0xAF}, 0xAF, {}},
                                    {{0x00, 0x01, 0x02}, 0x00, {0x01, 0x02}},
                                    {{0xAF, 0x03}, 0xAF, {0x01, 0x02, 0x03}},
                                    {{}, kStatusNoResponse, {0x01, 0x02, 0x03}}};
  const std::vector<Step> wrapped = {
      {{0x04, 0x01, 0x91, 0xAF}, 0xAF, {0x04, 0x01}},
      {{0x91, 0x00}, 0x00, {0x04, 0x01}},
      {{0x90, 0x00}, kStatusNoResponse, {0x04, 0x01}},  // an ISO status word, not a DESFire one
      {{0x91}, kStatusNoResponse, {0x04, 0x01}}};
  for (bool isWrapped : {false, true}) {
    DesfireCommand command(kCmdGetVersion, {}, isWrapped);
    for (const Step& step : isWrapped ? wrapped : native) {
      command.ParseResponse(step.answer);
      EXPECT_EQ(command.status, step.status) << "wrapped " << isWrapped;
      EXPECT_EQ(command.response, step.response) << "wrapped " << isWrapped;
    }
  }
}

}  // namespace
}  // namespace varlo
