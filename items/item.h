// Named, typed items that pack into the block in which structured answers reach the module
// host.
//
// A block is a tree of items with one root: `CItemVector` nests items, `CItemStringA`,
// `CItemBuffer` and `CItemBoolean` carry one value each. `Pack` on the root writes
//
//   "SR", u32 n, the n bytes of the root item, u32 CRC-32 of those n bytes, "BW"
//
// (all integers little-endian). One item on the wire is: u8 type code, u32 name length + 1,
// the name and a zero byte, then its value (see each class).
//
// Ownership: a vector owns the children handed to it as `std::unique_ptr` and deletes them
// with itself; a child added as a plain pointer stays the caller's, and when it is destroyed
// before the vector it leaves the vector. A buffer item either borrows the caller's bytes (which
// must outlive it) or owns a self-wiping copy. Items are not thread-safe; build and pack a tree on
// one thread.
#ifndef VARLO_ITEMS_ITEM_H_
#define VARLO_ITEMS_ITEM_H_

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "common/secure_bytes.h"

namespace varlo {

// What `Serialize` produces: byte strings whose concatenation is the item on the wire. A buffer
// item may carry a secret, so the pieces and the packed block wipe themselves.
using ItemPieces = std::vector<SecureBytes>;

class CItemVector;

class CItem {
 public:
  // Type codes, one byte on the wire.
  static constexpr std::uint32_t kTypeString = 1;
  static constexpr std::uint32_t kTypeBuffer = 5;
  static constexpr std::uint32_t kTypeVector = 6;
  static constexpr std::uint32_t kTypeBoolean = 7;

  // Size of the head ("SR", u32 n) and of the tail (u32 CRC-32, "BW") around a packed item.
  static constexpr std::uint64_t kPackOverhead = 12;

  virtual ~CItem();
  CItem(const CItem&) = delete;
  CItem& operator=(const CItem&) = delete;

  // Appends this item's pieces: the header (type, name length, name), then the value.
  virtual void Serialize(ItemPieces& pieces) const;
  // The number of bytes `Serialize` produces, children included.
  virtual std::uint64_t GetSize() const;

  // Size query and packing, with this item as the root:
  // - buffer null, size not null: *size := GetSize() + 12; true.
  // - buffer null, size null: false.
  // - buffer not null: false, nothing written, when size is null or GetSize() + 12 exceeds
  //   *size; otherwise the block is written to buffer; true. *size is not changed.
  // A tree whose block would not fit a u32 size cannot be packed (false).
  bool Pack(std::uint8_t* buffer, std::uint32_t* size) const;

  // The packed block as bytes (the same bytes `Pack` writes).
  SecureBytes PackToBytes() const;

  const std::string& Name() const { return name_; }
  std::uint32_t Type() const { return type_; }
  // The vector this item was added to; null until then.
  const CItemVector* Parent() const { return parent_; }

 protected:
  CItem(std::string name, std::uint32_t type);

 private:
  friend class CItemVector;

  std::string name_;
  std::uint32_t type_;
  CItemVector* parent_ = nullptr;
};

// A text: u32 text length + 1, the text's bytes and a zero byte.
class CItemStringA : public CItem {
 public:
  CItemStringA(std::string name, std::string value);
  void Serialize(ItemPieces& pieces) const override;
  std::uint64_t GetSize() const override;
  const std::string& Value() const { return value_; }

 private:
  std::string value_;
};

// Bytes: u32 count, then the bytes.
class CItemBuffer : public CItem {
 public:
  // Borrows `bytes`: they belong to the caller and must outlive the item.
  CItemBuffer(std::string name, std::span<const std::uint8_t> bytes);
  // Owns its bytes; they are wiped when the item is destroyed.
  CItemBuffer(std::string name, SecureBytes bytes);
  void Serialize(ItemPieces& pieces) const override;
  std::uint64_t GetSize() const override;
  std::span<const std::uint8_t> Value() const { return bytes_; }

 private:
  SecureBytes owned_;
  std::span<const std::uint8_t> bytes_;
};

// A flag: one byte, 0 or 1.
class CItemBoolean : public CItem {
 public:
  CItemBoolean(std::string name, bool value);
  void Serialize(ItemPieces& pieces) const override;
  std::uint64_t GetSize() const override;
  bool Value() const { return value_; }

 private:
  bool value_;
};

// Nested items: u32 number of children, then each child as a whole item, in the order added.
class CItemVector : public CItem {
 public:
  explicit CItemVector(std::string name);
  ~CItemVector() override;

  // Appends `child` without taking ownership and makes this vector its parent. Throws
  // std::invalid_argument for a null child, a child that already has a parent, or a child
  // that is this vector or one of its ancestors (the tree would loop).
  void Add(CItem* child);
  // Appends `child` and owns it from now on; same checks. Returns the child.
  CItem& Add(std::unique_ptr<CItem> child);

  void Serialize(ItemPieces& pieces) const override;
  std::uint64_t GetSize() const override;
  std::size_t Count() const { return children_.size(); }
  const CItem& At(std::size_t index) const { return *children_.at(index).item; }

 private:
  struct Child {
    CItem* item;
    std::unique_ptr<CItem> owned;  // null when the caller keeps ownership
  };
  friend class CItem;
  void CheckChild(const CItem* child) const;
  void Forget(const CItem* child) noexcept;

  std::vector<Child> children_;
};

}  // namespace varlo

#endif  // VARLO_ITEMS_ITEM_H_
