#include "apps/cardimage/card_image_tool.h"

#include <algorithm>
#include <exception>
#include <sstream>
#include <vector>

#include "common/hex.h"
#include "common/module_exception.h"
#include "token/token.h"
#include "tokendata/desfire_data.h"
#include "tokendata/object_table.h"

namespace varlo::cardimage {
namespace {

using Bytes = std::vector<std::uint8_t>;

std::string FileName(std::uint8_t number) {
  std::ostringstream name;
  name << "0x" << std::hex << std::uppercase << (number < 16 ? "0" : "") << int{number};
  return name.str();
}

bool Printable(std::span<const std::uint8_t> bytes) {
  return std::all_of(bytes.begin(), bytes.end(),
                     [](std::uint8_t b) { return b >= 0x20 && b < 0x7F; });
}

// Why the module leaves this card uninitialized: the same checks, in the same order, with the
// texts the module logs. The object tables are checked by the module's own table parser.
std::string WhyNotInitialized(const CardImage& image) {
  const Files& files = image.files;
  auto property = files.find(kPropertyFileNumber);
  if (property == files.end())
    return "property file (0x1F) missing";
  const SecureBytes& p = property->second;
  if (p.size() != kPropertyFileSize)
    return "Key file property file size missmatch.";
  if (!std::equal(p.begin() + 1, p.begin() + 5, std::string_view("kvyr").begin())) {
    return "Kf magic word missing.";
  }
  if (p[0] != 3)
    return "Keyfile version != KF_V3.";
  if (p[23] > kMaxTokenLabelSize)
    return "Invalid token label size";
  if (p[23] == 0)
    return "token label is empty";
  if (!files.contains(kPinFileNumber))
    return "PIN file (0x1D) missing";

  std::vector<std::pair<std::uint8_t, const SecureBytes*>> headers;
  SecureBytes dataArea;
  for (const auto& [number, content] : files) {
    if (number == kPinFileNumber || number == kIgnoredFileNumber || number == kPropertyFileNumber) {
      continue;
    }
    if (number % 2 == 1 || number > kPinFileNumber) {
      dataArea.insert(dataArea.end(), content.begin(), content.end());
    } else {
      headers.emplace_back(number, &content);
    }
  }
  if (headers.empty() || dataArea.empty())
    return "Header or data file missing.";
  for (const auto& [number, content] : headers) {
    try {
      ParseObjectTable(*content, dataArea, [](const TokenObject&) {});
    } catch (const std::exception& e) {
      return std::string(e.what()) + " (header file " + FileName(number) + ")";
    }
  }
  return "unknown";
}

void PrintObjects(const Token& token, bool readContents, std::ostream& out, int& status) {
  out << "objects: " << token.objects.size() << "\n";
  for (const auto& [handle, object] : token.objects) {
    out << "  object 0x" << std::hex << handle << std::dec << ": label \"" << object.label << "\", "
        << (object.isPrivate ? "private" : "public") << ", type " << object.type
        << ", application \"" << object.application << "\", size " << object.size << " (stored "
        << object.value.size() << " bytes)\n";
    if (!readContents && object.isPrivate)
      continue;
    try {
      const SecureBytes plain = token.ReadObject(handle);
      out << "    content: " << ToHex(plain);
      if (!plain.empty() && Printable(plain)) {
        out << " (text \"" << std::string(plain.begin(), plain.end()) << "\")";
      }
      out << "\n";
    } catch (const ModuleException& e) {
      out << "    content unreadable: " << e.what() << "\n";
      status = kExitTokenFailure;
    }
  }
}

}  // namespace

int RunMake(const nlohmann::json& description, const Layout& layout, std::ostream& out,
            std::ostream& err) {
  try {
    const CardImage image = MakeCardImage(TokenDescriptionFromJson(description), layout);
    out << image.ToJson().dump(2) << "\n";
    return kExitOk;
  } catch (const std::exception& e) {
    err << "make: " << e.what() << "\n";
    return kExitUsage;
  }
}

int RunInspect(const CardImage& image, const std::optional<SecureBytes>& pin, std::ostream& out) {
  out << "uid: " << ToHex(UidBlob(image.uid)) << "\n";
  out << "files:";
  for (const auto& [number, content] : image.files) {
    out << " " << FileName(number) << " (" << content.size() << " bytes)";
  }
  out << "\n";

  std::optional<DesfireData> data;
  try {
    data.emplace(image.uid, image.files);
  } catch (const std::exception& e) {
    out << "status: refused: " << e.what() << "\n";
    return kExitNotParsed;
  }
  Token token(*data, nullptr);
  int status = kExitOk;
  if (token.initialized) {
    out << "status: initialized\n";
  } else {
    out << "status: not initialized: " << WhyNotInitialized(image) << "\n";
    status = kExitNotInitialized;
  }
  out << "label: \"" << token.label << "\"\n";
  out << "pin: " << (token.IsPinLocked() ? "locked" : "not locked") << "\n";

  // The document the module hands to the local service when it adds the token.
  try {
    out << "token json: " << token.ToJson() << "\n";
  } catch (const std::exception& e) {
    out << "token json: cannot be written: " << e.what() << "\n";
  }

  bool unlocked = false;
  if (pin && token.initialized) {
    try {
      token.CheckPIN(*pin);
      unlocked = true;
      out << "pin check: accepted\n";
    } catch (const ModuleException& e) {
      out << "pin check: " << e.what() << "\n";
      status = e.Code() == RESULT_PIN_LOCKED      ? kExitPinLocked
               : e.Code() == RESULT_PIN_INCORRECT ? kExitPinIncorrect
                                                  : kExitTokenFailure;
    }
  }
  if (token.initialized) {
    int objectStatus = kExitOk;
    PrintObjects(token, unlocked, out, objectStatus);
    if (status == kExitOk) {
      status = objectStatus;
    }
  }
  return status;
}

}  // namespace varlo::cardimage
