#include "card/desfire_command.h"

#include <gtest/gtest.h>

namespace varlo {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(DesfireCommandTest, FramesNativelyOrWrappedWithLcAndLeOnlyAroundData) {
  struct Case {
    std::uint8_t code;
    Bytes data;
    bool wrapped;
    Bytes frame;
  };
  const Case cases[] = {
      {0x5A, {0x00, 0x00, 0x01}, false, {0x5A, 0x00, 0x00, 0x01}},
      {0xBD, {0x03, 0, 0, 0, 0, 0, 0}, false, {0xBD, 0x03, 0, 0, 0, 0, 0, 0}},
      {0x60, {}, false, {0x60}},
      {0x60, {}, true, {0x90, 0x60, 0x00, 0x00, 0x00}},
      {0x5A, {0x00, 0x00, 0x01}, true, {0x90, 0x5A, 0x00, 0x00, 0x03, 0x00, 0x00, 0x01, 0x00}},
  };
  for (const Case& c : cases) {
    DesfireCommand command(c.code, c.data, c.wrapped);
    EXPECT_EQ(command.NextFrame(), c.frame);
    EXPECT_EQ(command.NextFrame(), Bytes{});
  }
}

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

TEST(DesfireCommandTest, WrongLengthAnswerSwitchesToWrappedFromTheFirstFrame) {
  DesfireCommand select(kCmdSelectApplication, {0x00, 0x00, 0x01}, false);
  select.NextFrame();
  select.ParseResponse(Bytes{0x67, 0x00});
  EXPECT_TRUE(select.wrapped);
  EXPECT_EQ(select.status, kStatusWrongLength);
  EXPECT_EQ(select.NextFrame(), (Bytes{0x90, 0x5A, 0x00, 0x00, 0x03, 0x00, 0x00, 0x01, 0x00}));
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

TEST(HexDumpTest, ListsBytesAndCount) {
  EXPECT_EQ(HexDump(Bytes{0x5A, 0x00, 0xFF}), "[ 5a 00 ff ] (3 byte)");
  EXPECT_EQ(HexDump(Bytes{}), "[ ] (0 byte)");
}

}  // namespace
}  // namespace varlo
