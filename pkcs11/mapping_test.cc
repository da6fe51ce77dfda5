#include "pkcs11/mapping.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace varlo::pkcs11 {
namespace {

CK_OBJECT_CLASS data = CKO_DATA, certificate = CKO_CERTIFICATE;
CK_BBOOL yes = CK_TRUE, no = CK_FALSE;
CK_ULONG wide = CK_TRUE;
char note[] = "note", app[] = "app", zero[] = "no\0te";

CK_ATTRIBUTE Attr(CK_ATTRIBUTE_TYPE type, void* value, CK_ULONG size) {
  return {type, value, size};
}

struct PlanCase {
  const char* what;
  std::vector<CK_ATTRIBUTE> pattern;
  bool none;
  const char* label;        // nullptr: no label condition
  const char* application;  // nullptr: no application condition
  std::uint8_t attributes;
};

TEST(MappingTest, TemplatesBecomeModuleSearchConditions) {
  const PlanCase cases[] = {
      {"empty", {}, false, nullptr, nullptr, 0},
      {"data with label",
       {Attr(CKA_CLASS, &data, sizeof data), Attr(CKA_LABEL, note, 4)},
       false,
       "note",
       nullptr,
       0},
      {"application", {Attr(CKA_APPLICATION, app, 3)}, false, nullptr, "app", 0},
      {"private", {Attr(CKA_PRIVATE, &yes, 1)}, false, nullptr, nullptr, OBJECT_ATTRIBUTE_PRIVATE},
      {"public", {Attr(CKA_PRIVATE, &no, 1)}, false, nullptr, nullptr, OBJECT_ATTRIBUTE_PUBLIC},
      {"other class",
       {Attr(CKA_CLASS, &certificate, sizeof certificate)},
       true,
       nullptr,
       nullptr,
       0},
      {"label with a zero byte", {Attr(CKA_LABEL, zero, 5)}, true, nullptr, nullptr, 0},
      {"boolean of the wrong size",
       {Attr(CKA_PRIVATE, &wide, sizeof wide)},
       true,
       nullptr,
       nullptr,
       0},
      {"value compared later", {Attr(CKA_VALUE, note, 4)}, false, nullptr, nullptr, 0},
  };
  for (const PlanCase& c : cases) {
    SCOPED_TRACE(c.what);
    const SearchPlan plan = PlanSearch(c.pattern);
    EXPECT_EQ(plan.none, c.none);
    if (c.none)
      continue;
    EXPECT_EQ(plan.search.hasLabel, c.label != nullptr);
    EXPECT_EQ(plan.search.label, c.label ? c.label : "");
    EXPECT_EQ(plan.search.hasApplication, c.application != nullptr);
    EXPECT_EQ(plan.search.application, c.application ? c.application : "");
    EXPECT_EQ(plan.search.attributes, c.attributes);
  }
}

TEST(MappingTest, ObjectsAreReadOnlyDataObjects) {
  const host::ObjectInfo info{7, "secret", "app", true, 70};
  using Bytes = std::vector<std::uint8_t>;
  Bytes dataClass(sizeof(CK_OBJECT_CLASS));
  std::memcpy(dataClass.data(), &data, sizeof data);
  const std::pair<CK_ATTRIBUTE_TYPE, std::optional<Bytes>> expected[] = {
      {CKA_CLASS, dataClass},
      {CKA_TOKEN, Bytes{CK_TRUE}},
      {CKA_PRIVATE, Bytes{CK_TRUE}},
      {CKA_MODIFIABLE, Bytes{CK_FALSE}},
      {CKA_LABEL, Bytes{'s', 'e', 'c', 'r', 'e', 't'}},
      {CKA_APPLICATION, Bytes{'a', 'p', 'p'}},
      {CKA_ID, std::nullopt},
      {CKA_VALUE, std::nullopt},
  };
  for (const auto& [type, value] : expected)
    EXPECT_EQ(FixedAttribute(info, type), value) << "attribute 0x" << std::hex << type;
}

TEST(MappingTest, ModuleResultsKeepTheirMeaning) {
  EXPECT_EQ(ResultFor(RESULT_PIN_INCORRECT), CKR_PIN_INCORRECT);
  EXPECT_EQ(ResultFor(RESULT_PIN_LOCKED), CKR_PIN_LOCKED);
  EXPECT_EQ(ResultFor(RESULT_TOKEN_NOT_FOUND), CKR_DEVICE_REMOVED);
  EXPECT_EQ(ResultFor(RESULT_FAILURE), CKR_DEVICE_ERROR);
}

}  // namespace
}  // namespace varlo::pkcs11
