#include "items/item.h"

#include <algorithm>
#include <limits>
#include <stdexcept>
#include <utility>

#include "items/crc32.h"

namespace varlo {
namespace {

constexpr std::uint64_t kMaxU32 = std::numeric_limits<std::uint32_t>::max();

void AppendU32(SecureBytes& out, std::uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) {
    out.push_back(static_cast<std::uint8_t>(value >> shift));
  }
}

// Every length on the wire is a u32; refuse what would not fit rather than truncate it.
std::uint32_t WireLength(std::uint64_t length) {
  if (length > kMaxU32) {
    throw std::length_error("Item value too long.");
  }
  return static_cast<std::uint32_t>(length);
}

}  // namespace

CItem::CItem(std::string name, std::uint32_t type) : name_(std::move(name)), type_(type) {
  WireLength(name_.size() + 1);
}

CItem::~CItem() {
  // A borrowed child that goes first leaves its vector, so the vector never meets it again.
  if (parent_ != nullptr)
    parent_->Forget(this);
}

void CItem::Serialize(ItemPieces& pieces) const {
  SecureBytes header;
  header.reserve(name_.size() + 6);
  header.push_back(static_cast<std::uint8_t>(type_));
  AppendU32(header, static_cast<std::uint32_t>(name_.size() + 1));
  header.insert(header.end(), name_.begin(), name_.end());
  header.push_back(0);
  pieces.push_back(std::move(header));
}

std::uint64_t CItem::GetSize() const {
  return name_.size() + 1 + 5;
}

bool CItem::Pack(std::uint8_t* buffer, std::uint32_t* size) const {
  const std::uint64_t packed = GetSize() + kPackOverhead;
  if (packed > kMaxU32) {
    return false;
  }
  if (buffer == nullptr) {
    if (size == nullptr) {
      return false;
    }
    *size = static_cast<std::uint32_t>(packed);
    return true;
  }
  if (size == nullptr || packed > *size) {
    return false;
  }
  const SecureBytes block = PackToBytes();
  std::copy(block.begin(), block.end(), buffer);
  return true;
}

SecureBytes CItem::PackToBytes() const {
  ItemPieces pieces;
  Serialize(pieces);
  SecureBytes block = {'S', 'R', 0, 0, 0, 0};
  for (const auto& piece : pieces) {
    block.insert(block.end(), piece.begin(), piece.end());
  }
  const std::uint64_t n = block.size() - 6;
  if (n + kPackOverhead > kMaxU32) {
    throw std::length_error("Item value too long.");
  }
  for (int i = 0; i < 4; ++i) {
    block[2 + i] = static_cast<std::uint8_t>(n >> (8 * i));
  }
  AppendU32(block, Crc32(std::span(block).subspan(6)));
  block.push_back('B');
  block.push_back('W');
  return block;
}

CItemStringA::CItemStringA(std::string name, std::string value)
    : CItem(std::move(name), kTypeString), value_(std::move(value)) {
  WireLength(value_.size() + 1);
}

void CItemStringA::Serialize(ItemPieces& pieces) const {
  CItem::Serialize(pieces);
  SecureBytes piece;
  piece.reserve(value_.size() + 5);
  AppendU32(piece, static_cast<std::uint32_t>(value_.size() + 1));
  piece.insert(piece.end(), value_.begin(), value_.end());
  piece.push_back(0);
  pieces.push_back(std::move(piece));
}

std::uint64_t CItemStringA::GetSize() const {
  return CItem::GetSize() + value_.size() + 5;
}

CItemBuffer::CItemBuffer(std::string name, std::span<const std::uint8_t> bytes)
    : CItem(std::move(name), kTypeBuffer), bytes_(bytes) {
  WireLength(bytes_.size());
}

CItemBuffer::CItemBuffer(std::string name, SecureBytes bytes)
    : CItem(std::move(name), kTypeBuffer), owned_(std::move(bytes)), bytes_(owned_) {
  WireLength(bytes_.size());
}

void CItemBuffer::Serialize(ItemPieces& pieces) const {
  CItem::Serialize(pieces);
  SecureBytes piece;
  piece.reserve(bytes_.size() + 4);
  AppendU32(piece, static_cast<std::uint32_t>(bytes_.size()));
  piece.insert(piece.end(), bytes_.begin(), bytes_.end());
  pieces.push_back(std::move(piece));
}

std::uint64_t CItemBuffer::GetSize() const {
  return CItem::GetSize() + bytes_.size() + 4;
}

CItemBoolean::CItemBoolean(std::string name, bool value)
    : CItem(std::move(name), kTypeBoolean), value_(value) {}

void CItemBoolean::Serialize(ItemPieces& pieces) const {
  CItem::Serialize(pieces);
  pieces.push_back({static_cast<std::uint8_t>(value_ ? 1 : 0)});
}

std::uint64_t CItemBoolean::GetSize() const {
  return CItem::GetSize() + 1;
}

CItemVector::CItemVector(std::string name) : CItem(std::move(name), kTypeVector) {}

CItemVector::~CItemVector() {
  // Children the caller keeps may outlive this vector: they must not point back at it.
  for (Child& child : children_) {
    child.item->parent_ = nullptr;
  }
}

void CItemVector::Forget(const CItem* child) noexcept {
  std::erase_if(children_, [child](const Child& c) { return c.item == child; });
}

void CItemVector::CheckChild(const CItem* child) const {
  if (child == nullptr) {
    throw std::invalid_argument("Item is nullptr.");
  }
  if (child->parent_ != nullptr) {
    throw std::invalid_argument("Item already belongs to a vector.");
  }
  for (const CItem* up = this; up != nullptr; up = up->parent_) {
    if (up == child) {
      throw std::invalid_argument("Item would contain itself.");
    }
  }
  WireLength(children_.size() + 1);
}

void CItemVector::Add(CItem* child) {
  CheckChild(child);
  children_.push_back(Child{child, nullptr});
  child->parent_ = this;
}

CItem& CItemVector::Add(std::unique_ptr<CItem> child) {
  CheckChild(child.get());
  CItem& added = *child;
  children_.push_back(Child{&added, std::move(child)});
  added.parent_ = this;
  return added;
}

void CItemVector::Serialize(ItemPieces& pieces) const {
  CItem::Serialize(pieces);
  SecureBytes count;
  AppendU32(count, static_cast<std::uint32_t>(children_.size()));
  pieces.push_back(std::move(count));
  for (const Child& child : children_) {
    child.item->Serialize(pieces);
  }
}

std::uint64_t CItemVector::GetSize() const {
  std::uint64_t size = CItem::GetSize() + 4;
  for (const Child& child : children_) {
    size += child.item->GetSize();
  }
  return size;
}

}  // namespace varlo
