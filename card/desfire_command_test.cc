#include "card/desfire_command.h"

#include <gtest/gtest.h>

namespace varlo {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(DesfireCommandTest, NativeFramesAreTheCommandByteAndTheData) {
  DesfireCommand select(kCmdSelectApplication, {0x00, 0x00, 0x01}, false);
  EXPECT_EQ(select.NextFrame(), (Bytes{0x5A, 0x00, 0x00, 0x01}));
  EXPECT_EQ(select.NextFrame(), Bytes{});

  DesfireCommand read(kCmdReadData, {0x03, 0, 0, 0, 0, 0, 0}, false);
  EXPECT_EQ(read.NextFrame(), (Bytes{0xBD, 0x03, 0, 0, 0, 0, 0, 0}));

  DesfireCommand version(kCmdGetVersion, {}, false);
  EXPECT_EQ(version.frames, (std::vector<Bytes>{{0x60}}));
}

TEST(DesfireCommandTest, WrappedFramesCarryLcAndLeOnlyWithData) {
  DesfireCommand version(kCmdGetVersion, {}, true);
  EXPECT_EQ(version.NextFrame(), (Bytes{0x90, 0x60, 0x00, 0x00, 0x00}));
  DesfireCommand select(kCmdSelectApplication, {0x00, 0x00, 0x01}, true);
  EXPECT_EQ(select.NextFrame(), (Bytes{0x90, 0x5A, 0x00, 0x00, 0x03, 0x00, 0x00, 0x01, 0x00}));
}

TEST(DesfireCommandTest, LongDataIsSplitWithAdditionalFrameCodes) {
  Bytes data(130);
  for (std::size_t i = 0; i < data.size(); ++i)
    data[i] = static_cast<std::uint8_t>(i);
  DesfireCommand native(0x3D, data, false);
  ASSERT_EQ(native.frames.size(), 3u);  // 59 + 59 + 12
  EXPECT_EQ(native.frames[0].size(), 60u);
  EXPECT_EQ(native.frames[0][0], 0x3D);
  EXPECT_EQ(native.frames[1][0], 0xAF);
  EXPECT_EQ(native.frames[1][1], 59);
  EXPECT_EQ(native.frames[2].size(), 13u);

  DesfireCommand wrapped(0x3D, data, true);
  ASSERT_EQ(wrapped.frames.size(), 3u);  // 54 + 54 + 22
  EXPECT_EQ(wrapped.frames[0].size(), 5u + 54u + 1u);
  EXPECT_EQ(wrapped.frames[0][4], 54);
  EXPECT_EQ(wrapped.frames[1][1], 0xAF);
  EXPECT_EQ(wrapped.frames[1][5], 54);
  EXPECT_EQ(wrapped.frames[2][4], 22);
  EXPECT_EQ(wrapped.frames[2].back(), 0x00);

  DesfireCommand exact(0x3D, Bytes(59), false);
  EXPECT_EQ(exact.frames.size(), 1u);
}

TEST(DesfireCommandTest, WrongLengthAnswerSwitchesToWrappedFromTheFirstFrame) {
  DesfireCommand select(kCmdSelectApplication, {0x00, 0x00, 0x01}, false);
  select.NextFrame();
  select.ParseResponse(Bytes{0x67, 0x00});
  EXPECT_TRUE(select.wrapped);
  EXPECT_EQ(select.status, kStatusWrongLength);
  EXPECT_EQ(select.NextFrame(), (Bytes{0x90, 0x5A, 0x00, 0x00, 0x03, 0x00, 0x00, 0x01, 0x00}));
}

TEST(DesfireCommandTest, ParsesNativeAnswers) {
  DesfireCommand c(kCmdGetVersion, {}, false);
  c.ParseResponse(Bytes{0xAF});
  EXPECT_EQ(c.status, 0xAF);
  EXPECT_TRUE(c.response.empty());
  c.ParseResponse(Bytes{0x00, 0x01, 0x02});
  EXPECT_EQ(c.status, 0x00);
  c.ParseResponse(Bytes{0xAF, 0x03});
  EXPECT_EQ(c.response, (Bytes{0x01, 0x02, 0x03}));  // accumulated
  c.ParseResponse(Bytes{});
  EXPECT_EQ(c.status, kStatusNoResponse);
}

TEST(DesfireCommandTest, ParsesWrappedAnswers) {
  DesfireCommand c(kCmdGetVersion, {}, true);
  c.ParseResponse(Bytes{0x04, 0x01, 0x91, 0xAF});
  EXPECT_EQ(c.status, 0xAF);
  EXPECT_EQ(c.response, (Bytes{0x04, 0x01}));
  c.ParseResponse(Bytes{0x91, 0x00});
  EXPECT_EQ(c.status, 0x00);
  EXPECT_EQ(c.response, (Bytes{0x04, 0x01}));
  c.ParseResponse(Bytes{0x90, 0x00});  // an ISO status word, not a DESFire one
  EXPECT_EQ(c.status, kStatusNoResponse);
  c.ParseResponse(Bytes{0x91});
  EXPECT_EQ(c.status, kStatusNoResponse);
}

TEST(HexDumpTest, ListsBytesAndCount) {
  EXPECT_EQ(HexDump(Bytes{0x5A, 0x00, 0xFF}), "[ 5a 00 ff ] (3 byte)");
  EXPECT_EQ(HexDump(Bytes{}), "[ ] (0 byte)");
}

}  // namespace
}  // namespace varlo
