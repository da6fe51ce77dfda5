// The vocabulary of Noise handshake patterns: tokens, pattern modifiers, pre-message and
// message patterns, and the table of the fifteen fundamental patterns of the Noise
// specification.
//
// The table is built once and lives for the process; patterns are shared and immutable.
// Modifiers are not applied to the table's patterns: a `Protocol` keeps them beside its pattern
// and the handshake state applies them.
#ifndef VARLO_NOISE_HANDSHAKE_PATTERN_H_
#define VARLO_NOISE_HANDSHAKE_PATTERN_H_

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace varlo::noise {

enum class PatternToken : std::uint32_t {
  E = 0,
  S = 1,
  EE = 2,
  SE = 3,
  ES = 4,
  SS = 5,
  PSK = 6,
};

enum class PatternModifiers : std::uint32_t {
  None = 0,
  Fallback = 1,
  Psk0 = 2,
  Psk1 = 4,
  Psk2 = 8,
  Psk3 = 16,
};

// The word of a modifier in a protocol name ("fallback", "psk0", ...); nullptr for None and for
// values that are not a single modifier.
const char* ModifierName(PatternModifiers modifier);

// Parses the modifier part of a protocol name: "" gives {None}; otherwise one modifier, or two
// joined by "+". Throws "Parse modifiers failed, unknow pattern modifier".
std::vector<PatternModifiers> ParseModifiers(std::string_view text);

struct PreMessagePattern {
  std::vector<PatternToken> tokens;

  static const PreMessagePattern& Empty();
  static const PreMessagePattern& S();
};

struct MessagePattern {
  std::vector<PatternToken> tokens;
};

struct HandshakePattern {
  std::string name;
  const PreMessagePattern& initiator_pre_message;
  const PreMessagePattern& responder_pre_message;
  // Message 0 is sent by the initiator, then the roles alternate.
  std::vector<MessagePattern> messages;

  // The fundamental pattern of that name, or nullptr.
  static std::shared_ptr<const HandshakePattern> Find(std::string_view name);
};

}  // namespace varlo::noise

#endif  // VARLO_NOISE_HANDSHAKE_PATTERN_H_
