// The contents of a virtual DESFire card, read from a card image file:
//
//   {"uid": "<14 hex digits>", "appKey": "<32 hex digits, optional>",
//    "files": {"<decimal file number>": "<hex>", ...}}
//
// `uid` is the card's 7-byte UID in the order the card sends it (first byte first). `appKey` is
// key 0 of the token application (default: the module's application key). `files` are the
// standard data files of the token application, numbers 0 to 31. Other members are ignored so
// that image writers may add their own.
#ifndef VARLO_APPS_VCARD_CARD_IMAGE_H_
#define VARLO_APPS_VCARD_CARD_IMAGE_H_

#include <array>
#include <cstdint>
#include <filesystem>
#include <map>
#include <string_view>
#include <vector>

#include "common/secure_bytes.h"

namespace varlo::vcard {

struct CardImage {
  std::array<std::uint8_t, 7> uid{};
  SecureBytes appKey;  // 16 bytes
  std::map<std::uint8_t, std::vector<std::uint8_t>> files;
};

// Parses image text. Throws std::runtime_error naming the first fault ("uid must be 14 hex
// digits", "file number 40 is out of range 0-31", ...).
CardImage ParseCardImage(std::string_view json);

// Reads and parses an image file; errors name the file.
CardImage LoadCardImage(const std::filesystem::path& path);

}  // namespace varlo::vcard

#endif  // VARLO_APPS_VCARD_CARD_IMAGE_H_
