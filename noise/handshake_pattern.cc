#include "noise/handshake_pattern.h"

#include <array>
#include <map>
#include <utility>

namespace varlo::noise {
namespace {

struct ModifierWord {
  const char* word;
  PatternModifiers modifier;
};

constexpr std::array<ModifierWord, 5> kModifierWords = {{
    {"fallback", PatternModifiers::Fallback},
    {"psk0", PatternModifiers::Psk0},
    {"psk1", PatternModifiers::Psk1},
    {"psk2", PatternModifiers::Psk2},
    {"psk3", PatternModifiers::Psk3},
}};

PatternModifiers ParseModifier(std::string_view word) {
  for (const auto& entry : kModifierWords) {
    if (word == entry.word) {
      return entry.modifier;
    }
  }
  throw "Parse modifiers failed, unknow pattern modifier";
}

using Tokens = std::vector<PatternToken>;
constexpr PatternToken e = PatternToken::E;
constexpr PatternToken s = PatternToken::S;
constexpr PatternToken ee = PatternToken::EE;
constexpr PatternToken se = PatternToken::SE;
constexpr PatternToken es = PatternToken::ES;
constexpr PatternToken ss = PatternToken::SS;

using PatternTable = std::map<std::string, std::shared_ptr<const HandshakePattern>, std::less<>>;

// The fifteen fundamental patterns of the Noise specification, section 7.
PatternTable BuildTable() {
  const PreMessagePattern& none = PreMessagePattern::Empty();
  const PreMessagePattern& pre_s = PreMessagePattern::S();
  struct Row {
    const char* name;
    const PreMessagePattern& initiator;
    const PreMessagePattern& responder;
    std::vector<Tokens> messages;
  };
  const Row rows[] = {
      {"N", none, pre_s, {{e, es}}},
      {"K", pre_s, pre_s, {{e, es, ss}}},
      {"X", none, pre_s, {{e, es, s, ss}}},
      {"NN", none, none, {{e}, {e, ee}}},
      {"NK", none, pre_s, {{e, es}, {e, ee}}},
      {"NX", none, none, {{e}, {e, ee, s, es}}},
      {"XN", none, none, {{e}, {e, ee}, {s, se}}},
      {"XK", none, pre_s, {{e, es}, {e, ee}, {s, se}}},
      {"XX", none, none, {{e}, {e, ee, s, es}, {s, se}}},
      {"KN", pre_s, none, {{e}, {e, ee, se}}},
      {"KK", pre_s, pre_s, {{e, es, ss}, {e, ee, se}}},
      {"KX", pre_s, none, {{e}, {e, ee, se, s, es}}},
      {"IN", none, none, {{e, s}, {e, ee, se}}},
      {"IK", none, pre_s, {{e, es, s, ss}, {e, ee, se}}},
      {"IX", none, none, {{e, s}, {e, ee, se, s, es}}},
  };
  PatternTable table;
  for (const Row& row : rows) {
    std::vector<MessagePattern> messages;
    for (const Tokens& tokens : row.messages) {
      messages.push_back(MessagePattern{tokens});
    }
    table.emplace(row.name, std::make_shared<const HandshakePattern>(HandshakePattern{
                                row.name, row.initiator, row.responder, std::move(messages)}));
  }
  return table;
}

}  // namespace

const char* ModifierName(PatternModifiers modifier) {
  for (const auto& entry : kModifierWords) {
    if (modifier == entry.modifier) {
      return entry.word;
    }
  }
  return nullptr;
}

std::vector<PatternModifiers> ParseModifiers(std::string_view text) {
  if (text.empty()) {
    return {PatternModifiers::None};
  }
  const std::size_t plus = text.find('+');
  if (plus == std::string_view::npos) {
    return {ParseModifier(text)};
  }
  // At most two modifiers: everything after the first "+" must be one word.
  return {ParseModifier(text.substr(0, plus)), ParseModifier(text.substr(plus + 1))};
}

const PreMessagePattern& PreMessagePattern::Empty() {
  static const PreMessagePattern pattern{};
  return pattern;
}

const PreMessagePattern& PreMessagePattern::S() {
  static const PreMessagePattern pattern{{PatternToken::S}};
  return pattern;
}

std::shared_ptr<const HandshakePattern> HandshakePattern::Find(std::string_view name) {
  static const PatternTable table = BuildTable();
  auto it = table.find(name);
  return it == table.end() ? nullptr : it->second;
}

}  // namespace varlo::noise
