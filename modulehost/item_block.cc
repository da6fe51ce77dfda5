#include "modulehost/item_block.h"

#include "common/hex.h"
#include "common/utf.h"
#include "items/crc32.h"

namespace varlo::host {
namespace {

class Reader {
 public:
  explicit Reader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

  bool U8(std::uint8_t& v) {
    if (pos_ + 1 > bytes_.size())
      return false;
    v = bytes_[pos_++];
    return true;
  }
  bool U32(std::uint32_t& v) {
    if (pos_ + 4 > bytes_.size())
      return false;
    v = static_cast<std::uint32_t>(bytes_[pos_] | bytes_[pos_ + 1] << 8 | bytes_[pos_ + 2] << 16) |
        static_cast<std::uint32_t>(bytes_[pos_ + 3]) << 24;
    pos_ += 4;
    return true;
  }
  bool Bytes(std::size_t n, std::span<const std::uint8_t>& out) {
    if (n > bytes_.size() - pos_)
      return false;
    out = bytes_.subspan(pos_, n);
    pos_ += n;
    return true;
  }
  // A zero-terminated text of `n` bytes including its zero.
  bool Text(std::uint32_t n, std::string& out) {
    std::span<const std::uint8_t> raw;
    if (n == 0 || !Bytes(n, raw) || raw.back() != 0)
      return false;
    out.assign(raw.begin(), raw.end() - 1);
    return true;
  }
  bool AtEnd() const { return pos_ == bytes_.size(); }

  bool ReadItem(Item& item, int depth) {
    std::uint32_t length = 0;
    if (depth > 32 || !U8(item.type) || !U32(length) || !Text(length, item.name))
      return false;
    switch (item.type) {
      case kItemText:
        return U32(length) && Text(length, item.text);
      case kItemBytes: {
        std::span<const std::uint8_t> raw;
        if (!U32(length) || !Bytes(length, raw))
          return false;
        item.bytes.assign(raw.begin(), raw.end());
        return true;
      }
      case kItemVector: {
        if (!U32(length))
          return false;
        for (std::uint32_t i = 0; i < length; ++i) {
          if (!ReadItem(item.children.emplace_back(), depth + 1))
            return false;
        }
        return true;
      }
      case kItemBoolean: {
        std::uint8_t v = 0;
        if (!U8(v) || v > 1)
          return false;
        item.boolean = v == 1;
        return true;
      }
      default:
        return false;
    }
  }

 private:
  std::span<const std::uint8_t> bytes_;
  std::size_t pos_ = 0;
};

}  // namespace

std::optional<Item> ReadItemBlock(std::span<const std::uint8_t> block) {
  if (block.size() < 12 || block[0] != 'S' || block[1] != 'R')
    return std::nullopt;
  Reader head(block.subspan(2, 4));
  std::uint32_t n = 0;
  head.U32(n);
  if (n != block.size() - 12 || block[block.size() - 2] != 'B' || block.back() != 'W') {
    return std::nullopt;
  }
  auto body = block.subspan(6, n);
  Reader crc(block.subspan(6 + n, 4));
  std::uint32_t stored = 0;
  crc.U32(stored);
  if (stored != Crc32(body))
    return std::nullopt;
  Reader reader(body);
  Item root;
  if (!reader.ReadItem(root, 0) || !reader.AtEnd())
    return std::nullopt;
  return root;
}

std::optional<std::string> PrintableText(std::span<const std::uint8_t> bytes) {
  std::string text(bytes.begin(), bytes.end());
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7F)
      return std::nullopt;
  }
  // Malformed UTF-8 does not survive the round trip unchanged.
  if (Utf16ToUtf8(Utf8ToUtf16(text)) != text)
    return std::nullopt;
  return text;
}

namespace {

// `text` with each malformed UTF-8 sequence as U+FFFD: names and texts come from the module, and
// a JSON string must be UTF-8, or writing the document out fails.
std::string AsUtf8(const std::string& text) {
  return Utf16ToUtf8(Utf8ToUtf16(text));
}

}  // namespace

nlohmann::json ToJson(const Item& item) {
  nlohmann::json json = {{"name", AsUtf8(item.name)}};
  switch (item.type) {
    case kItemText:
      json["type"] = "text";
      json["value"] = AsUtf8(item.text);
      break;
    case kItemBytes:
      json["type"] = "bytes";
      json["value"] = ToHex(item.bytes);
      if (auto text = PrintableText(item.bytes))
        json["text"] = *text;
      break;
    case kItemVector:
      json["type"] = "vector";
      json["value"] = nlohmann::json::array();
      for (const Item& child : item.children)
        json["value"].push_back(ToJson(child));
      break;
    case kItemBoolean:
      json["type"] = "boolean";
      json["value"] = item.boolean;
      break;
  }
  return json;
}

}  // namespace varlo::host
