#include "apps/tokend/json_object_check.h"

#include <gtest/gtest.h>

#include <string>

#include <nlohmann/json.hpp>

namespace varlo::tokend {
namespace {

using namespace std::string_literals;

// Each text is also given to nlohmann::json, whose parser decided before: both must agree.
TEST(JsonObjectCheckTest, AcceptsWhatTheJsonLibraryReadsAsAnObject) {
  const std::string deep = R"({"a":)" + std::string(5000, '[') + std::string(5000, ']') + "}";
  const struct {
    std::string text;
    bool object;
  } kCases[] = {
      {"{}", true},
      {" \t\r\n{ } \n", true},
      {"\xEF\xBB\xBF{}", true},
      {"\xEF\xBB{}", false},
      {"[]", false},
      {R"("text")", false},
      {"", false},
      {"{", false},
      {"{}x", false},
      {"{}\0garbage"s, true},
      {"{\"a\":\0}"s, false},
      {R"({"a":[1,2,{"b":null}],"c":true,"d":false,"e":{}})", true},
      {R"({"a":1,})", false},
      {R"({"a":[1,]})", false},
      {R"({"a" 1})", false},
      {R"({a:1})", false},
      {R"({"a":01})", false},
      {R"({"a":-0.5e+3,"b":0,"c":-12E-2})", true},
      {R"({"a":1.})", false},
      {R"({"a":-})", false},
      {R"({"a":1e999})", false},
      {R"({"a":1e-999})", true},
      {R"({"a":)" + std::string(400, '9') + "}", false},
      {R"({"a":)" + std::string(300, '9') + "}", true},
      {R"({"a":tru})", false},
      {R"({"a":"\u00e9\ud83d\ude00\"\\\/\b\f\n\r\t"})", true},
      {R"({"a":"\ud83d"})", false},
      {R"({"a":"\ude00"})", false},
      {R"({"a":"\u12G4"})", false},
      {R"({"a":"\q"})", false},
      {"{\"a\":\"\x01\"}", false},
      {"{\"a\":\"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\"}", true},
      {"{\"a\":\"\xC0\x80\"}", false},
      {"{\"a\":\"\xED\xA0\x80\"}", false},
      {"{\"a\":\"\xF4\x90\x80\x80\"}", false},
      {"{\"a\":\"\xE2\x82\"}", false},
      {deep, true},
      {deep.substr(0, deep.size() - 2) + "}", false},
  };
  for (const auto& c : kCases) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(c.text.data());
    EXPECT_EQ(IsJsonObject({bytes, c.text.size()}), c.object) << c.text.substr(0, 60);
    EXPECT_EQ(nlohmann::json::parse(c.text, nullptr, false).is_object(), c.object)
        << c.text.substr(0, 60);
  }
}

}  // namespace
}  // namespace varlo::tokend
