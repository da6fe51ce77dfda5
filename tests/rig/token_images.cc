#include "tests/rig/token_images.h"

#include <stdexcept>

namespace varlo::testrig {

std::uint16_t CrcA(std::span<const std::uint8_t> bytes) {
  std::uint16_t crc = 0x6363;
  for (std::uint8_t b : bytes) {
    crc ^= b;
    for (int bit = 0; bit < 8; ++bit)
      crc = (crc & 1) ? (crc >> 1) ^ 0x8408 : crc >> 1;
  }
  return crc;
}

CardImageContent BlankTokenImage(const std::string& uid, const std::string& label) {
  if (label.size() > 32)
    throw std::invalid_argument("a token label has at most 32 bytes");
  CardImageContent image;
  image.uid = uid;

  std::vector<std::uint8_t> property(96, 0x00);
  property[0] = 3;
  const std::uint8_t magic[] = {'k', 'v', 'y', 'r'};
  std::copy(std::begin(magic), std::end(magic), property.begin() + 1);
  property[23] = static_cast<std::uint8_t>(label.size());
  std::copy(label.begin(), label.end(), property.begin() + 24);
  image.files[0x1F] = property;

  image.files[0x1D] = std::vector<std::uint8_t>(48, 0x13);

  // 2 CRC bytes, the version, one record slot of 49 bytes and one byte more: a slot is read
  // only when its end lies strictly inside the file.
  std::vector<std::uint8_t> header(2 + 1 + 49 + 49, 0x00);
  header[2] = 2;
  const std::uint16_t crc = CrcA(std::span(header).subspan(2));
  header[0] = static_cast<std::uint8_t>(crc & 0xFF);
  header[1] = static_cast<std::uint8_t>(crc >> 8);
  image.files[0x00] = header;
  return image;
}

}  // namespace varlo::testrig
