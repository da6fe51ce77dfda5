#include "items/item.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace varlo {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

using Bytes = SecureBytes;

Bytes Concat(const ItemPieces& pieces) {
  Bytes out;
  for (const auto& piece : pieces)
    out.insert(out.end(), piece.begin(), piece.end());
  return out;
}

TEST(ItemPackTest, BooleanRootPacksToTheKnownBlock) {
  CItemBoolean item("tcii", true);
  EXPECT_EQ(item.GetSize(), 11u);
  EXPECT_THAT(item.PackToBytes(),
              ElementsAre(0x53, 0x52, 0x0B, 0x00, 0x00, 0x00, 0x07, 0x05, 0x00, 0x00, 0x00, 0x74,
                          0x63, 0x69, 0x69, 0x00, 0x01, 0xD1, 0x55, 0x9B, 0x9C, 0x42, 0x57));
}

TEST(ItemPackTest, EmptyVectorIsThirteenBytesAndPacksToTwentyFive) {
  CItemVector vector("tcr");
  EXPECT_EQ(vector.GetSize(), 13u);
  const Bytes block = vector.PackToBytes();
  ASSERT_EQ(block.size(), 25u);
  EXPECT_THAT(Bytes(block.begin() + 6, block.begin() + 19),
              ElementsAre(0x06, 0x04, 0, 0, 0, 't', 'c', 'r', 0, 0, 0, 0, 0));
}

TEST(ItemSerializeTest, NestedTreeSerializesDepthFirstInOrderAdded) {
  const std::array<std::uint8_t, 3> label = {0xAA, 0xBB, 0xCC};
  CItemBuffer buffer("b", label);
  CItemVector root("r");
  auto inner = std::make_unique<CItemVector>("i");
  inner->Add(std::make_unique<CItemBoolean>("f", false));
  root.Add(std::move(inner));
  root.Add(&buffer);
  root.Add(std::make_unique<CItemStringA>("t", "ab"));
  root.Add(std::make_unique<CItemStringA>("e", ""));  // still carries its zero byte

  ItemPieces pieces;
  root.Serialize(pieces);
  const Bytes wire = Concat(pieces);
  EXPECT_THAT(wire, ElementsAreArray<std::uint8_t>({
                        0x06, 2,    0, 0, 0, 'r', 0, 4, 0, 0, 0,        // root, 4 children
                        0x06, 2,    0, 0, 0, 'i', 0, 1, 0, 0, 0,        // inner vector, 1 child
                        0x07, 2,    0, 0, 0, 'f', 0, 0,                 // boolean false
                        0x05, 2,    0, 0, 0, 'b', 0, 3, 0, 0, 0, 0xAA,  // buffer, 3 bytes
                        0xBB, 0xCC,                                     //
                        0x01, 2,    0, 0, 0, 't', 0, 3, 0, 0, 0, 'a',  'b', 0,  // string "ab"
                        0x01, 2,    0, 0, 0, 'e', 0, 1, 0, 0, 0, 0,             // string ""
                    }));
  EXPECT_EQ(root.GetSize(), wire.size());
  EXPECT_EQ(buffer.Parent(), &root);
  EXPECT_EQ(root.At(0).Parent(), &root);
}

TEST(ItemPackTest, SizeQueryAndPackingFollowTheSizeProtocol) {
  CItemBoolean item("tcii", true);
  std::uint32_t size = 0;
  EXPECT_TRUE(item.Pack(nullptr, &size));
  EXPECT_EQ(size, 23u);
  EXPECT_FALSE(item.Pack(nullptr, nullptr));

  Bytes buffer(23, 0xEE);
  std::uint32_t tooSmall = 22;
  EXPECT_FALSE(item.Pack(buffer.data(), &tooSmall));
  EXPECT_EQ(tooSmall, 22u);
  EXPECT_EQ(buffer, Bytes(23, 0xEE));
  EXPECT_FALSE(item.Pack(buffer.data(), nullptr));
  EXPECT_EQ(buffer, Bytes(23, 0xEE));

  std::uint32_t roomy = 30;
  Bytes larger(30, 0xEE);
  EXPECT_TRUE(item.Pack(larger.data(), &roomy));
  EXPECT_EQ(roomy, 30u);
  EXPECT_EQ(Bytes(larger.begin(), larger.begin() + 23), item.PackToBytes());
  EXPECT_EQ(larger[23], 0xEE);
}

TEST(ItemVectorTest, RefusesChildrenThatWouldBreakTheTree) {
  CItemVector a("a");
  CItemVector b("b");
  CItemBoolean leaf("x", true);
  EXPECT_THROW(a.Add(static_cast<CItem*>(nullptr)), std::invalid_argument);
  EXPECT_THROW(a.Add(&a), std::invalid_argument);
  a.Add(&b);
  EXPECT_THROW(b.Add(&a), std::invalid_argument);  // a is b's parent: a loop
  b.Add(&leaf);
  EXPECT_THROW(a.Add(&leaf), std::invalid_argument);  // already in b
}

TEST(ItemVectorTest, BorrowedChildrenAndTheirVectorMayGoInEitherOrder) {
  CItemBoolean leaf("x", true);
  {
    CItemVector vector("v");
    vector.Add(&leaf);
  }
  EXPECT_EQ(leaf.Parent(), nullptr);
  CItemVector again("w");
  {
    CItemBoolean first("y", false);
    again.Add(&first);
    again.Add(&leaf);  // free to join another vector
  }
  EXPECT_EQ(again.Count(), 1u);
  EXPECT_EQ(again.GetSize(), 2u + 5 + 4 + leaf.GetSize());
}

TEST(ItemBufferTest, OwnedAndBorrowedBytesSerializeAlike) {
  const Bytes bytes = {1, 2, 3};
  CItemBuffer borrowed("k", bytes);
  CItemBuffer owned("k", SecureBytes(bytes.begin(), bytes.end()));
  EXPECT_EQ(borrowed.PackToBytes(), owned.PackToBytes());
  CItemBuffer empty("k", std::span<const std::uint8_t>());
  EXPECT_EQ(empty.GetSize(), 2u + 5 + 4);
}

}  // namespace
}  // namespace varlo
