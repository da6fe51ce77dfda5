// The work of varlo-host's commands against a module's operation table. Each command answers
// with a JSON value; the text for people is made from that same value (the *Text functions), so
// both outputs say the same. Failures are CommandErrors carrying the exit code.
//
// The PIN is asked for only when the module answers that it is required (or by `Login`), at
// most once per Commands object: the module keeps a correct PIN for the token until it unloads.
#ifndef VARLO_APPS_HOST_COMMANDS_H_
#define VARLO_APPS_HOST_COMMANDS_H_

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "common/secure_bytes.h"
#include "modulehost/module_table.h"

namespace varlo::host {

// Reads the PIN for the token with the given serial.
using PinReader = std::function<SecureBytes(const std::string& serial)>;

// "0x" and 16 hex digits, as handles are shown; ParseHandle also takes decimal.
std::string HandleText(std::uint64_t handle);
std::optional<std::uint64_t> ParseHandle(const std::string& text);

// Which object `Read` reads: by handle, or the one object with a label.
struct ObjectChoice {
  std::optional<std::uint64_t> handle;
  std::string label;
};

struct ReadResult {
  nlohmann::json object;  // what Find shows of it
  SecureBytes content;
};

class Commands {
 public:
  Commands(const ModuleTable& table, PinReader readPin);

  // The token with `serial` (14 hex digits), or with an empty serial the only token present.
  ModuleSessionId SelectToken(const std::string& serial) const;

  // [{serial, label, labelHex, initialized, pin: "set"|"unset"|"locked", publicObjects}], where
  // a member the module could not tell is null, with an "error" member saying why when the
  // module failed to describe that token.
  nlohmann::json List() const;
  // {serial, capabilities: [item...]}: every capability item, with a "meaning" where known.
  nlohmann::json Info(const ModuleSessionId& token) const;
  // {serial, pin: "accepted"}.
  nlohmann::json Login(const ModuleSessionId& token);
  // [{handle, label, application, attributes: "private"|"public", size}].
  nlohmann::json Find(const ModuleSessionId& token, const ObjectSearch& search);
  ReadResult Read(const ModuleSessionId& token, const ObjectChoice& choice);

 private:
  void CheckPIN(const ModuleSessionId& token);
  // Runs `call`; when the module answers that a PIN is required and none has been checked yet,
  // checks one and runs `call` once more.
  template <typename Call>
  auto WithPin(const ModuleSessionId& token, Call call);

  const ModuleTable& table_;
  PinReader readPin_;
  bool pinChecked_ = false;
};

// A token's serial (its session id) as 14 hex digits, and back.
std::string SerialText(const ModuleSessionId& token);
std::optional<ModuleSessionId> ParseSerial(const std::string& text);

// Text for people, one function per answer shape above.
std::string TokensText(const nlohmann::json& tokens);
std::string InfoText(const nlohmann::json& info);
std::string ObjectsText(const nlohmann::json& objects);

}  // namespace varlo::host

#endif  // VARLO_APPS_HOST_COMMANDS_H_
