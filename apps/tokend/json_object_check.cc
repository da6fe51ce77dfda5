#include "apps/tokend/json_object_check.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "common/secure_bytes.h"

namespace varlo::tokend {
namespace {

constexpr int kEnd = -1;

class Scanner {
 public:
  explicit Scanner(std::span<const std::uint8_t> text) : text_(text) {}

  bool Document() {
    if (Peek() == 0xEF) {  // a byte order mark, which must then be whole
      ++pos_;
      if (Take() != 0xBB || Take() != 0xBF)
        return false;
    }
    SkipSpace();
    if (Peek() != '{' || !Value())
      return false;
    SkipSpace();
    return Peek() == kEnd;
  }

 private:
  int Peek() const { return pos_ < text_.size() ? text_[pos_] : kEnd; }
  int Take() {
    const int c = Peek();
    if (c != kEnd)
      ++pos_;
    return c;
  }
  void SkipSpace() {
    while (Peek() == ' ' || Peek() == '\t' || Peek() == '\n' || Peek() == '\r')
      ++pos_;
  }

  // One value, containers nested to any depth (the library sets no limit either). The stack
  // holds, for each open container, whether it is an object.
  bool Value() {
    std::vector<bool> open;
    for (;;) {
      SkipSpace();
      const int c = Peek();
      if (c == '{' || c == '[') {
        ++pos_;
        SkipSpace();
        if (Peek() != (c == '{' ? '}' : ']')) {
          open.push_back(c == '{');
          if (open.back() && !Name())
            return false;
          continue;
        }
        ++pos_;
      } else if (!Scalar()) {
        return false;
      }
      // A value ended: close the containers that end with it, or go on to the next element.
      for (;;) {
        if (open.empty())
          return true;
        SkipSpace();
        const int next = Take();
        if (next == ',') {
          if (open.back() && !Name())
            return false;
          break;
        }
        if (next != (open.back() ? '}' : ']'))
          return false;
        open.pop_back();
      }
    }
  }

  // A member's name and its colon.
  bool Name() {
    SkipSpace();
    if (!String())
      return false;
    SkipSpace();
    return Take() == ':';
  }

  bool Scalar() {
    switch (Peek()) {
      case '"':
        return String();
      case 't':
        return Word("true");
      case 'f':
        return Word("false");
      case 'n':
        return Word("null");
      default:
        return Number();
    }
  }

  bool Word(std::string_view word) {
    return std::all_of(word.begin(), word.end(), [this](char c) { return Take() == c; });
  }

  bool Digits() {
    const std::size_t start = pos_;
    while (Peek() >= '0' && Peek() <= '9')
      ++pos_;
    return pos_ > start;
  }

  bool Number() {
    const std::size_t start = pos_;
    if (Peek() == '-')
      ++pos_;
    if (Peek() == '0')
      ++pos_;
    else if (!Digits())
      return false;
    if (Peek() == '.') {
      ++pos_;
      if (!Digits())
        return false;
    }
    if (Peek() == 'e' || Peek() == 'E') {
      ++pos_;
      if (Peek() == '+' || Peek() == '-')
        ++pos_;
      if (!Digits())
        return false;
    }
    // The library reads a number that does not fit 64 bits as a double and refuses one that
    // is not finite then.
    SecureBytes number(text_.begin() + static_cast<std::ptrdiff_t>(start),
                       text_.begin() + static_cast<std::ptrdiff_t>(pos_));
    number.push_back(0);
    return std::isfinite(std::strtod(reinterpret_cast<const char*>(number.data()), nullptr));
  }

  bool String() {
    if (Take() != '"')
      return false;
    for (;;) {
      const int c = Take();
      if (c == '"')
        return true;
      if (c == '\\') {
        if (!Escape())
          return false;
      } else if (c < 0x20 || (c >= 0x80 && !Utf8Tail(c))) {
        return false;  // a control character, the end, or a byte no UTF-8 sequence has here
      }
    }
  }

  bool Escape() {
    const int c = Take();
    if (c != 'u')
      return c != kEnd &&
             std::string_view("\"\\/bfnrt").find(static_cast<char>(c)) != std::string_view::npos;
    const int unit = Hex4();
    if (unit >= 0xD800 && unit <= 0xDBFF) {  // a high surrogate needs its low one
      if (Take() != '\\' || Take() != 'u')
        return false;
      const int low = Hex4();
      return low >= 0xDC00 && low <= 0xDFFF;
    }
    return unit >= 0 && !(unit >= 0xDC00 && unit <= 0xDFFF);
  }

  int Hex4() {
    int value = 0;
    for (int i = 0; i < 4; ++i) {
      const int c = Take();
      const int digit = c >= '0' && c <= '9'   ? c - '0'
                        : c >= 'a' && c <= 'f' ? c - 'a' + 10
                        : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                               : -1;
      if (digit < 0)
        return -1;
      value = value * 16 + digit;
    }
    return value;
  }

  // The continuation bytes of a UTF-8 sequence (RFC 3629): no overlong forms, no surrogates,
  // nothing above U+10FFFF.
  bool Utf8Tail(int lead) {
    int count = 3, low = 0x80, high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF)
      count = 1;
    else if (lead >= 0xE0 && lead <= 0xEF)
      count = 2;
    else if (lead > 0xF4 || lead < 0xF0)
      return false;
    if (lead == 0xE0)
      low = 0xA0;
    else if (lead == 0xED)
      high = 0x9F;
    else if (lead == 0xF0)
      low = 0x90;
    else if (lead == 0xF4)
      high = 0x8F;
    for (int i = 0; i < count; ++i, low = 0x80, high = 0xBF) {
      const int c = Take();
      if (c < low || c > high)
        return false;
    }
    return true;
  }

  std::span<const std::uint8_t> text_;
  std::size_t pos_ = 0;
};

}  // namespace

bool IsJsonObject(std::span<const std::uint8_t> text) {
  // The library's input ends at a zero byte.
  const auto end = std::find(text.begin(), text.end(), 0);
  return Scanner(text.first(static_cast<std::size_t>(end - text.begin()))).Document();
}

}  // namespace varlo::tokend
