#include "apps/host/commands.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <string_view>

#include "common/hex.h"
#include "modulehost/item_block.h"
#include "modulehost/results.h"

namespace varlo::host {
namespace {

using nlohmann::json;

// What the module's capability names mean to this host, where their values say so.
struct CapabilityMeaning {
  std::string_view name;
  std::string_view meaning;
};
constexpr std::array kCapabilityMeanings{
    CapabilityMeaning{"tcii", "token initialized"},
    CapabilityMeaning{"tcinpu", "no user PIN set"},
    CapabilityMeaning{"tcl", "label"},
    CapabilityMeaning{"tcm", "model"},
    CapabilityMeaning{"tcipil", "PIN locked"},
};

std::string_view MeaningOf(std::string_view name) {
  for (const CapabilityMeaning& entry : kCapabilityMeanings) {
    if (entry.name == name)
      return entry.meaning;
  }
  return {};
}

Item DecodeCapabilities(const std::vector<std::uint8_t>& block) {
  std::optional<Item> root = ReadItemBlock(block);
  if (!root) {
    throw CommandError(ExitCode::kFailure,
                       "ModuleGetTokenCapabilities: the module handed out a malformed block");
  }
  return std::move(*root);
}

// The capability items: the root's children, or the root itself when it is not a vector.
std::vector<Item> CapabilityItems(Item root) {
  if (root.type == kItemVector)
    return std::move(root.children);
  return {std::move(root)};
}

const Item* FindItem(const std::vector<Item>& items, std::string_view name) {
  auto it = std::find_if(items.begin(), items.end(),
                         [name](const Item& item) { return item.name == name; });
  return it == items.end() ? nullptr : &*it;
}

json Flag(const std::vector<Item>& items, std::string_view name) {
  const Item* item = FindItem(items, name);
  if (item == nullptr || item->type != kItemBoolean)
    return nullptr;
  return item->boolean;
}

json PinState(const std::vector<Item>& items) {
  const json locked = Flag(items, "tcipil");
  const json unset = Flag(items, "tcinpu");
  if (locked.is_null() && unset.is_null())
    return nullptr;
  if (locked == true)
    return "locked";
  return unset == true ? "unset" : "set";
}

// Text that came from the module, made safe for a terminal: control characters as \xNN.
std::string Shown(const std::string& text) {
  std::string shown;
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7F) {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
      shown += escaped;
    } else {
      shown += static_cast<char>(c);
    }
  }
  return shown;
}

std::string Cell(const json& value) {
  if (value.is_null())
    return "?";
  if (value.is_boolean())
    return value.get<bool>() ? "yes" : "no";
  if (value.is_string())
    return Shown(value.get<std::string>());
  return value.dump();
}

// Rows as columns aligned on the widest cell; the first row is the heading.
std::string Table(const std::vector<std::vector<std::string>>& rows) {
  std::vector<std::size_t> widths;
  for (const auto& row : rows) {
    widths.resize(std::max(widths.size(), row.size()));
    for (std::size_t i = 0; i < row.size(); ++i)
      widths[i] = std::max(widths[i], row[i].size());
  }
  std::string text;
  for (const auto& row : rows) {
    std::string line;
    for (std::size_t i = 0; i < row.size(); ++i) {
      line += row[i];
      if (i + 1 < row.size())
        line += std::string(widths[i] - row[i].size() + 2, ' ');
    }
    text += line + '\n';
  }
  return text;
}

json ObjectJson(const ObjectInfo& info) {
  return {{"handle", HandleText(info.handle)},
          {"label", info.label},
          {"application", info.application},
          {"attributes", info.isPrivate ? "private" : "public"},
          {"size", info.size}};
}

}  // namespace

std::string HandleText(std::uint64_t handle) {
  char text[19];
  std::snprintf(text, sizeof text, "0x%016llx", static_cast<unsigned long long>(handle));
  return text;
}

std::optional<std::uint64_t> ParseHandle(const std::string& text) {
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const std::string_view digits = std::string_view(text).substr(hex ? 2 : 0);
  if (digits.empty() || digits.size() > (hex ? 16u : 20u))
    return std::nullopt;
  std::uint64_t value = 0;
  for (char c : digits) {
    int digit = -1;
    if (c >= '0' && c <= '9')
      digit = c - '0';
    else if (hex && c >= 'a' && c <= 'f')
      digit = c - 'a' + 10;
    else if (hex && c >= 'A' && c <= 'F')
      digit = c - 'A' + 10;
    if (digit < 0)
      return std::nullopt;
    const std::uint64_t base = hex ? 16 : 10;
    if (value > (UINT64_MAX - static_cast<std::uint64_t>(digit)) / base)
      return std::nullopt;
    value = value * base + static_cast<std::uint64_t>(digit);
  }
  return value;
}

std::string SerialText(const ModuleSessionId& token) {
  return ToHex(std::span(token.id, sizeof token.id));
}

std::optional<ModuleSessionId> ParseSerial(const std::string& text) {
  ModuleSessionId token{sizeof token.id, {}};
  auto bytes = FromHex(text);
  if (!bytes || bytes->size() != sizeof token.id)
    return std::nullopt;
  std::copy(bytes->begin(), bytes->end(), token.id);
  return token;
}

Commands::Commands(const ModuleTable& table, PinReader readPin)
    : table_(table), readPin_(std::move(readPin)) {}

ModuleSessionId Commands::SelectToken(const std::string& serial) const {
  if (!serial.empty()) {
    if (auto token = ParseSerial(serial))
      return *token;
    throw CommandError(ExitCode::kUsage, "--token takes a serial of 14 hex digits");
  }
  const std::vector<ModuleSessionId> tokens = table_.SessionIds();
  if (tokens.empty())
    throw CommandError(ExitCode::kNotFound, "no token present");
  if (tokens.size() > 1) {
    std::string serials;
    for (const ModuleSessionId& token : tokens)
      serials += (serials.empty() ? "" : ", ") + SerialText(token);
    throw CommandError(ExitCode::kUsage, std::to_string(tokens.size()) + " tokens present (" +
                                             serials + "): choose one with --token");
  }
  return tokens.front();
}

json Commands::List() const {
  json tokens = json::array();
  for (const ModuleSessionId& token : table_.SessionIds()) {
    json entry = {{"serial", SerialText(token)}, {"label", nullptr}, {"labelHex", nullptr},
                  {"initialized", nullptr},      {"pin", nullptr},   {"publicObjects", nullptr}};
    // One token the module cannot describe does not hide the others.
    try {
      const std::vector<Item> items =
          CapabilityItems(DecodeCapabilities(table_.Capabilities(token)));
      if (const Item* label = FindItem(items, "tcl"); label && label->type == kItemBytes) {
        entry["labelHex"] = ToHex(label->bytes);
        if (auto text = PrintableText(label->bytes))
          entry["label"] = *text;
      }
      entry["initialized"] = Flag(items, "tcii");
      entry["pin"] = PinState(items);
      // Public objects are found without a PIN; the private ones are not counted.
      if (entry["initialized"] == true) {
        ObjectSearch publicOnly;
        publicOnly.attributes = OBJECT_ATTRIBUTE_PUBLIC;
        entry["publicObjects"] = table_.FindObjects(token, publicOnly).size();
      }
    } catch (const CommandError& e) {
      entry["error"] = e.what();
    }
    tokens.push_back(std::move(entry));
  }
  return tokens;
}

json Commands::Info(const ModuleSessionId& token) const {
  json capabilities = json::array();
  for (const Item& item : CapabilityItems(DecodeCapabilities(table_.Capabilities(token)))) {
    json entry = ToJson(item);
    if (std::string_view meaning = MeaningOf(item.name); !meaning.empty())
      entry["meaning"] = meaning;
    capabilities.push_back(std::move(entry));
  }
  return {{"serial", ToHex(table_.Serial(token))}, {"capabilities", std::move(capabilities)}};
}

void Commands::CheckPIN(const ModuleSessionId& token) {
  const SecureBytes pin = readPin_(SerialText(token));
  if (pin.empty())
    throw CommandError(ExitCode::kUsage, "no PIN given");
  table_.CheckPIN(token, pin);
  pinChecked_ = true;
}

template <typename Call>
auto Commands::WithPin(const ModuleSessionId& token, Call call) {
  try {
    return call();
  } catch (const HostError& e) {
    if (e.Code() != RESULT_PIN_REQUIRED || pinChecked_)
      throw;
  }
  CheckPIN(token);
  return call();
}

json Commands::Login(const ModuleSessionId& token) {
  CheckPIN(token);
  return {{"serial", SerialText(token)}, {"pin", "accepted"}};
}

json Commands::Find(const ModuleSessionId& token, const ObjectSearch& search) {
  json objects = json::array();
  for (std::uint64_t handle : WithPin(token, [&] { return table_.FindObjects(token, search); }))
    objects.push_back(ObjectJson(table_.GetObjectInfo(token, handle)));
  return objects;
}

ReadResult Commands::Read(const ModuleSessionId& token, const ObjectChoice& choice) {
  std::uint64_t handle = 0;
  if (choice.handle) {
    handle = *choice.handle;
  } else {
    // A public object of that label is read without a PIN; only when there is none does the
    // search take in the private objects, which needs the PIN.
    ObjectSearch search;
    search.hasLabel = true;
    search.label = choice.label;
    search.attributes = OBJECT_ATTRIBUTE_PUBLIC;
    std::vector<std::uint64_t> handles = table_.FindObjects(token, search);
    if (handles.empty()) {
      search.attributes = 0;
      handles = WithPin(token, [&] { return table_.FindObjects(token, search); });
    }
    if (handles.empty())
      throw CommandError(ExitCode::kNotFound, "no object labelled \"" + Shown(choice.label) + "\"");
    if (handles.size() > 1) {
      throw CommandError(ExitCode::kUsage, std::to_string(handles.size()) +
                                               " objects are labelled \"" + Shown(choice.label) +
                                               "\": choose one with --handle (see find)");
    }
    handle = handles.front();
  }
  const ObjectInfo info = table_.GetObjectInfo(token, handle);
  ReadResult result;
  result.object = ObjectJson(info);
  result.content = WithPin(token, [&] { return table_.ReadObject(token, handle, info.size); });
  return result;
}

std::string TokensText(const json& tokens) {
  if (tokens.empty())
    return "no tokens\n";
  std::vector<std::vector<std::string>> rows = {
      {"SERIAL", "LABEL", "INITIALIZED", "PIN", "PUBLIC OBJECTS"}};
  std::string errors;
  for (const json& token : tokens) {
    json label = token["label"].is_null() ? token["labelHex"] : token["label"];
    rows.push_back({Cell(token["serial"]), Cell(label), Cell(token["initialized"]),
                    Cell(token["pin"]), Cell(token["publicObjects"])});
    if (token.contains("error"))
      errors += "token " + token["serial"].get<std::string>() + ": " + Cell(token["error"]) + "\n";
  }
  return Table(rows) + errors;
}

std::string InfoText(const json& info) {
  std::vector<std::vector<std::string>> rows = {{"NAME", "VALUE", "MEANING"}};
  // The capabilities are flat; a nested vector would show its items indented under it.
  auto add = [&rows](const json& item, int depth, auto& self) -> void {
    const json& value = item["value"];
    std::string shown;
    if (value.is_boolean()) {
      shown = value.get<bool>() ? "true" : "false";
    } else if (item["type"] == "text") {
      shown = "\"" + Shown(value) + "\"";
    } else if (item["type"] == "bytes") {
      shown = value;
      if (item.contains("text") && !item["text"].get<std::string>().empty())
        shown = "\"" + Shown(item["text"]) + "\" (" + shown + ")";
    }
    rows.push_back(
        {std::string(2 * depth, ' ') + Shown(item["name"]), shown, item.value("meaning", "")});
    if (value.is_array()) {
      for (const json& child : value)
        self(child, depth + 1, self);
    }
  };
  for (const json& item : info["capabilities"])
    add(item, 0, add);
  return "serial " + info["serial"].get<std::string>() + "\n" + Table(rows);
}

std::string ObjectsText(const json& objects) {
  if (objects.empty())
    return "no objects\n";
  std::vector<std::vector<std::string>> rows = {
      {"HANDLE", "ATTRIBUTES", "SIZE", "APPLICATION", "LABEL"}};
  for (const json& object : objects) {
    rows.push_back({Cell(object["handle"]), Cell(object["attributes"]), Cell(object["size"]),
                    Cell(object["application"]), Cell(object["label"])});
  }
  return Table(rows);
}

}  // namespace varlo::host
