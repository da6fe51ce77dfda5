#include "modulehost/results.h"

#include <array>
#include <cstdio>

namespace varlo::host {
namespace {

struct ResultEntry {
  ModuleResult code;
  const char* name;
  const char* text;
  ExitCode exit;
};

constexpr std::array kResults{
    ResultEntry{RESULT_SUCCESS, "RESULT_SUCCESS", "success", ExitCode::kOk},
    ResultEntry{RESULT_EMPTY, "RESULT_EMPTY", "nothing found", ExitCode::kNotFound},
    ResultEntry{RESULT_PIN_REQUIRED, "RESULT_PIN_REQUIRED", "PIN is required",
                ExitCode::kPinRequired},
    ResultEntry{RESULT_PIN_INCORRECT, "RESULT_PIN_INCORRECT", "PIN is incorrect",
                ExitCode::kPinIncorrect},
    ResultEntry{RESULT_TOKEN_NOT_FOUND, "RESULT_TOKEN_NOT_FOUND", "no such token",
                ExitCode::kNotFound},
    ResultEntry{RESULT_INVALID_PARAMETER, "RESULT_INVALID_PARAMETER",
                "the module refused a parameter", ExitCode::kFailure},
    ResultEntry{RESULT_OBJECT_NOT_FOUND, "RESULT_OBJECT_NOT_FOUND", "no such object",
                ExitCode::kNotFound},
    ResultEntry{RESULT_WRONG_STATE, "RESULT_WRONG_STATE",
                "not allowed in this state (is the token initialized?)", ExitCode::kFailure},
    ResultEntry{RESULT_FAILURE, "RESULT_FAILURE", "the module failed", ExitCode::kFailure},
    ResultEntry{RESULT_BUFFER_TOO_SMALL, "RESULT_BUFFER_TOO_SMALL", "buffer too small",
                ExitCode::kFailure},
    ResultEntry{RESULT_NOT_SUPPORTED, "RESULT_NOT_SUPPORTED",
                "the module does not support this operation", ExitCode::kFailure},
    ResultEntry{RESULT_PIN_LOCKED, "RESULT_PIN_LOCKED", "PIN is locked", ExitCode::kPinLocked},
    ResultEntry{RESULT_OBJECT_CRC_MISMATCH, "RESULT_OBJECT_CRC_MISMATCH",
                "the object's data is damaged (CRC mismatch)", ExitCode::kFailure},
    ResultEntry{RESULT_API_VERSION_UNSUPPORTED, "RESULT_API_VERSION_UNSUPPORTED",
                "the module does not speak interface version 2", ExitCode::kModuleUnavailable},
};

const ResultEntry* Find(ModuleResult code) {
  for (const ResultEntry& entry : kResults) {
    if (entry.code == code)
      return &entry;
  }
  return nullptr;
}

}  // namespace

std::string ResultName(ModuleResult code) {
  if (const ResultEntry* entry = Find(code))
    return entry->name;
  char text[19];
  std::snprintf(text, sizeof text, "0x%016llx", static_cast<unsigned long long>(code));
  return text;
}

std::string ResultText(ModuleResult code) {
  const ResultEntry* entry = Find(code);
  return std::string(entry != nullptr ? entry->text : "unknown result") + " (" + ResultName(code) +
         ")";
}

ExitCode ExitCodeFor(ModuleResult code) {
  const ResultEntry* entry = Find(code);
  return entry != nullptr ? entry->exit : ExitCode::kFailure;
}

HostError::HostError(const std::string& operation, ModuleResult code)
    : CommandError(ExitCodeFor(code), operation + ": " + ResultText(code)),
      operation_(operation),
      code_(code) {}

}  // namespace varlo::host
