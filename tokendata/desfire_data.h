// The parsed token of one card: UID, label, PIN verification data and data objects.
//
// A plain value, built from the files of the card's token application or from the token's JSON
// document, and copied between the reader monitor's thread and the token list. It is the base
// of `Token`, which deciphers and checks what is kept here.
#ifndef VARLO_TOKENDATA_DESFIRE_DATA_H_
#define VARLO_TOKENDATA_DESFIRE_DATA_H_

#include <cstddef>
#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "common/secure_bytes.h"
#include "tokendata/token_object.h"

namespace varlo {

// Files of the token application: file number → file content, in self-wiping buffers (the PIN
// file allows an offline search for the PIN).
using CardFiles = std::map<std::uint8_t, SecureBytes>;

// File numbers with a fixed role. Of the others, even numbers below the PIN file are header
// files and all remaining ones are data files, joined in ascending order into one data area.
inline constexpr std::uint8_t kPinFileNumber = 0x1D;
inline constexpr std::uint8_t kIgnoredFileNumber = 0x1E;
inline constexpr std::uint8_t kPropertyFileNumber = 0x1F;
inline constexpr std::size_t kPinDataSize = 48;
inline constexpr std::size_t kPropertyFileSize = 96;
inline constexpr std::size_t kMaxTokenLabelSize = 32;

class DesfireData {
 public:
  DesfireData() = default;
  // Builds the token from the application's files. Throws std::runtime_error
  // "PIN data size mismatch." for a PIN file that is not 48 bytes; every other fault leaves the
  // token not initialized (and is logged).
  DesfireData(std::uint64_t uid, const CardFiles& files);
  // Reads the token's JSON document back; objects get new handles. A document without a
  // readable "label" gives a token with its `uid` only, not initialized. Throws
  // std::runtime_error for a bad "uid", a bad "pindata" or a bad object.
  explicit DesfireData(const nlohmann::json& document);
  // Copies every field; traced, since a token's data is copied from thread to thread.
  DesfireData(const DesfireData& other);
  DesfireData& operator=(const DesfireData& other) = default;
  DesfireData(DesfireData&& other) noexcept = default;
  DesfireData& operator=(DesfireData&& other) noexcept = default;
  virtual ~DesfireData() = default;

  // The token's JSON document, compact, members in a fixed order (see token_json.h), in a
  // self-wiping string: it holds the PIN data. Throws std::runtime_error when the document
  // cannot be made, e.g. for an object label or application id that is not UTF-8.
  SecureString ToJson() const;

  // Stores a copy of `object` under a new random handle, unique within this token; returns it.
  std::uint64_t AddObject(const TokenObject& object);

  std::uint64_t uid = 0;
  std::string label;
  bool initialized = false;
  SecureBytes pinData;
  std::uint64_t pinErrorCount = 0;
  std::map<std::uint64_t, TokenObject> objects;

 private:
  void ParsePropertyFile(std::span<const std::uint8_t> file);
  void ParseObjects(const std::vector<SecureBytes>& headerFiles,
                    std::span<const std::uint8_t> dataArea);
};

}  // namespace varlo

#endif  // VARLO_TOKENDATA_DESFIRE_DATA_H_
