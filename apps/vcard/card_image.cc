#include "apps/vcard/card_image.h"

#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>

#include "card/application_key.h"
#include "common/hex.h"

namespace varlo::vcard {

namespace {

std::vector<std::uint8_t> HexMember(const nlohmann::json& value, const std::string& what,
                                    std::size_t size = 0) {
  if (!value.is_string())
    throw std::runtime_error(what + " must be a hex string");
  auto bytes = FromHex(value.get<std::string>());
  if (!bytes || (size != 0 && bytes->size() != size)) {
    throw std::runtime_error(what + " must be " +
                             (size ? std::to_string(size * 2) + " hex digits" : "hex digits"));
  }
  return *bytes;
}

std::uint8_t FileNumber(const std::string& key) {
  if (key.empty() || key.size() > 3 || key.find_first_not_of("0123456789") != std::string::npos) {
    throw std::runtime_error("file number \"" + key + "\" is not a decimal number");
  }
  int number = std::stoi(key);
  if (number > 31) {
    throw std::runtime_error("file number " + key + " is out of range 0-31");
  }
  return static_cast<std::uint8_t>(number);
}

}  // namespace

CardImage ParseCardImage(std::string_view json) {
  nlohmann::json doc = nlohmann::json::parse(json, nullptr, /*allow_exceptions=*/false);
  if (doc.is_discarded())
    throw std::runtime_error("card image is not valid JSON");
  if (!doc.is_object())
    throw std::runtime_error("card image must be a JSON object");

  CardImage image;
  if (!doc.contains("uid"))
    throw std::runtime_error("card image has no uid");
  auto uid = HexMember(doc["uid"], "uid", image.uid.size());
  std::copy(uid.begin(), uid.end(), image.uid.begin());

  if (doc.contains("appKey")) {
    auto key = HexMember(doc["appKey"], "appKey", 16);
    image.appKey = ToSecure(key);
    Wipe(key);
  } else {
    auto key = ApplicationKey();
    image.appKey = ToSecure(key);
    Wipe(key);
  }

  if (doc.contains("files")) {
    const auto& files = doc["files"];
    if (!files.is_object())
      throw std::runtime_error("files must be a JSON object");
    for (const auto& [key, value] : files.items()) {
      std::uint8_t number = FileNumber(key);
      if (image.files.count(number)) {
        throw std::runtime_error("file number " + key + " appears twice");
      }
      image.files[number] = HexMember(value, "file " + key);
    }
  }
  return image;
}

CardImage LoadCardImage(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in)
    throw std::runtime_error("cannot read card image " + path.string());
  std::ostringstream text;
  text << in.rdbuf();
  try {
    return ParseCardImage(text.str());
  } catch (const std::exception& e) {
    throw std::runtime_error(path.string() + ": " + e.what());
  }
}

}  // namespace varlo::vcard
