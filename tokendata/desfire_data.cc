#include "tokendata/desfire_data.h"

#include <cryptopp/osrng.h>

#include <algorithm>
#include <exception>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "log/logger.h"
#include "tokendata/object_table.h"
#include "tokendata/token_json.h"

namespace varlo {
namespace {

constexpr char kLogContext[] = "DesfireData";
constexpr std::uint8_t kPropertyFileVersion = 3;
constexpr std::uint8_t kPropertyMagic[] = {0x6B, 0x76, 0x79, 0x72};  // "kvyr"
constexpr std::size_t kPropertyLabelLength = 23;
constexpr std::size_t kPropertyLabel = 24;

}  // namespace

DesfireData::DesfireData(std::uint64_t uid, const CardFiles& files) : uid(uid) {
  TraceScope trace("DesfireData::DesfireData");
  std::vector<SecureBytes> headerFiles;
  SecureBytes dataArea;
  for (const auto& [number, content] : files) {
    if (number == kPinFileNumber) {
      if (content.size() != kPinDataSize) {
        throw std::runtime_error("PIN data size mismatch.");
      }
      pinData = content;
    } else if (number == kIgnoredFileNumber) {
      continue;
    } else if (number == kPropertyFileNumber) {
      ParsePropertyFile(content);
    } else if (number % 2 == 1 || number > kPinFileNumber) {
      dataArea.insert(dataArea.end(), content.begin(), content.end());
    } else {
      headerFiles.push_back(content);
    }
  }

  if (label.empty() || pinData.size() != kPinDataSize) {
    LogInfo(kLogContext) << "DesfireData::DesfireData"
                         << " "
                         << "Property file or PIN file missing - not initialized.";
    return;
  }
  try {
    ParseObjects(headerFiles, dataArea);
    initialized = true;
  } catch (const std::exception& e) {
    LogWarn(kLogContext) << "DesfireData::DesfireData"
                         << " " << e.what();
  }
}

DesfireData::DesfireData(const nlohmann::json& document) {
  const SecureBytes uidBytes = GetBytes(&document, "uid");
  if (uidBytes.size() != sizeof uid) {
    throw std::runtime_error("Json value size missmatches 64bit integer.");
  }
  for (std::size_t i = 0; i < uidBytes.size(); ++i) {
    uid |= static_cast<std::uint64_t>(uidBytes[i]) << (8 * i);
  }

  try {
    const SecureBytes labelBytes = GetBytes(&document, "label");
    label.assign(labelBytes.begin(), labelBytes.end());
  } catch (const std::exception& e) {
    LogDebug(kLogContext) << "DesfireData::DesfireData"
                          << " "
                          << "Non-initialized json token: " << e.what();
    return;
  }

  // An absent count reads as 0, which keeps a fresh token unlocked.
  pinErrorCount = static_cast<std::uint64_t>(
      static_cast<std::int64_t>(GetInt32(document, "pinerrcount").value_or(0)));

  pinData = GetBytes(&document, "pindata");
  if (pinData.size() != kPinDataSize) {
    throw std::runtime_error("PIN data size mismatch.");
  }

  auto objectArray = document.find("objects");
  if (objectArray != document.end() && !objectArray->is_null()) {
    // A damaged array is refused rather than read as no objects, which would lose them silently.
    if (!objectArray->is_array()) {
      throw std::runtime_error("Token object array has invalid json type.");
    }
    for (const nlohmann::json& element : *objectArray) {
      if (!element.is_object()) {
        throw std::runtime_error("Invalid json type in token ibject array.");
      }
      AddObject(TokenObjectFromJson(element));
    }
  }
  initialized = true;
}

DesfireData::DesfireData(const DesfireData& other) {
  TraceScope trace("DesfireData::DesfireData");
  uid = other.uid;
  label = other.label;
  initialized = other.initialized;
  pinData = other.pinData;
  pinErrorCount = other.pinErrorCount;
  objects = other.objects;
}

SecureString DesfireData::ToJson() const {
  OrderedJson document = OrderedObject(5);
  const StringsWiper wiper(document);
  PutUint64(&document, "uid", uid);
  if (initialized) {
    PutBytes(&document, "label",
             std::span(reinterpret_cast<const std::uint8_t*>(label.data()), label.size()));
    PutBytes(&document, "pindata", pinData);
    // The document holds the count as a 32-bit integer.
    JsonStep("Failed to add pin error count to json array.",
             [&] { document["pinerrcount"] = static_cast<std::int32_t>(pinErrorCount); });
    if (!objects.empty()) {
      OrderedJson array = OrderedJson::array();
      for (const auto& [handle, object] : objects) {
        OrderedJson element = TokenObjectToJson(object);
        JsonStep("Failed to add object to json array.",
                 [&] { array.push_back(std::move(element)); });
      }
      JsonStep("Failed to add object array to json.",
               [&] { document["objects"] = std::move(array); });
    }
  }
  SecureString text;
  // Compact output; a label that is not valid UTF-8 cannot be written and fails here.
  JsonStep("Failed to convert token json object to string.",
           [&] { text = DumpToSecure(document); });
  return text;
}

std::uint64_t DesfireData::AddObject(const TokenObject& object) {
  thread_local CryptoPP::AutoSeededRandomPool randomPool;
  std::uint64_t handle = 0;
  // Handle 0 is never handed out: the host cannot ask about an object with that handle.
  do {
    handle += randomPool.GenerateWord32();
  } while (handle == 0 || objects.contains(handle));
  objects.emplace(handle, object);
  return handle;
}

void DesfireData::ParsePropertyFile(std::span<const std::uint8_t> file) {
  TraceScope trace("DesfireData::ParsePropertyFile");
  if (file.size() != kPropertyFileSize) {
    LogDebug(kLogContext) << "DesfireData::ParsePropertyFile"
                          << " "
                          << "Key file property file size missmatch.";
    return;
  }
  if (!std::equal(std::begin(kPropertyMagic), std::end(kPropertyMagic), file.begin() + 1)) {
    LogDebug(kLogContext) << "DesfireData::ParsePropertyFile"
                          << " "
                          << "Kf magic word missing.";
    return;
  }
  if (file[0] != kPropertyFileVersion) {
    LogDebug(kLogContext) << "DesfireData::ParsePropertyFile"
                          << " "
                          << "Keyfile version != KF_V3.";
    return;
  }
  const std::size_t labelSize = file[kPropertyLabelLength];
  if (labelSize > kMaxTokenLabelSize) {
    LogError(kLogContext) << "DesfireData::ParsePropertyFile"
                          << " "
                          << "Invalid token label size";
    return;
  }
  label.assign(file.begin() + kPropertyLabel, file.begin() + kPropertyLabel + labelSize);
}

void DesfireData::ParseObjects(const std::vector<SecureBytes>& headerFiles,
                               std::span<const std::uint8_t> dataArea) {
  TraceScope trace("DesfireData::ParseObjects");
  if (headerFiles.empty() || dataArea.empty()) {
    throw std::runtime_error("Header or data file missing.");
  }
  objects.clear();
  for (const auto& headerFile : headerFiles) {
    ParseObjectTable(headerFile, dataArea,
                     [this](const TokenObject& object) { AddObject(object); });
  }
}

}  // namespace varlo
