// The table operations of a module whose token list runs on fake parts. Tokens A and B are
// restored from the service at start-up.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <future>
#include <map>

#include "apps/cardimage/card_image_writer.h"
#include "module/operation_frame.h"
#include "module/operations.h"
#include "token/testing/fake_parts.h"

namespace varlo {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;

constexpr std::uint64_t kUidA = 0x04A1B2C3D4E5F6;
constexpr std::uint64_t kUidB = 0x04A1B2C3D4E5F7;
constexpr char kAppId[] = "1.3.6.1.4.1.6147.9117.1.1234.8.5";
const ModuleUtf8String kPin{"1234", 4};
const ModuleUtf8String kWrongPin{"4321", 4};

// A: public "cert" (bytes 0 to 9), private "key" (7 7 7), public "" (no bytes). B: no objects.
const std::vector<DesfireData>& StoredTokens() {
  static const std::vector<DesfireData> tokens = [] {
    std::vector<DesfireData> made;
    for (std::uint64_t uid : {kUidA, kUidB}) {
      cardimage::TokenDescription token{uid, "Token", {'1', '2', '3', '4'}, {}, {}, {}};
      if (uid == kUidA) {
        token.objects = {{"cert", 5, false, 3, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}},
                         {"key", 5, true, 3, {7, 7, 7}},
                         {"", 5, false, 3, {}}};
      }
      made.emplace_back(uid, cardimage::MakeCardImage(token).files);
    }
    return made;
  }();
  return tokens;
}

ModuleSessionId Record(std::uint64_t uid) {
  ModuleSessionId record{7, {}};
  const auto blob = cardimage::UidBlob(uid);
  std::copy(blob.begin(), blob.end(), record.id);
  return record;
}

ModuleSearchCondition Condition(std::uint32_t key, std::uint32_t type, std::uint64_t raw) {
  ModuleSearchCondition condition{key, type, {}};
  condition.value.raw = raw;
  return condition;
}
ModuleSearchCondition Text(std::uint32_t key, const char* text) {
  ModuleSearchCondition condition{key, VALUE_TYPE_TEXT, {}};
  condition.value.text = text;
  return condition;
}

bool ModuleLockFree() {
  return std::async(std::launch::async,
                    [] { return std::unique_lock(TheModule().lock, std::try_to_lock).owns_lock(); })
      .get();
}

class ModuleOperationsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TheModule().makeTokenList = [parts = parts_](EventRelay relay) {
      return std::make_unique<TokenList>(std::move(relay), testing::FakeParts(parts));
    };
    parts_->stored = StoredTokens();
    ASSERT_EQ(Initialize(host_), RESULT_SUCCESS);
  }
  void TearDown() override { ModuleUnloadOperation(); }

  ModuleResult Initialize(ModuleData& host) {
    host = ModuleData{};
    host.apiVersion = 2;
    host.structVersion = 2;
    host.pfnEventCallback = {&OnEvent, this, 0, 1};
    return InitializeModule(nullptr, 0, &host);
  }
  static void OnEvent(void* context, std::uint64_t) {
    auto* self = static_cast<ModuleOperationsTest*>(context);
    self->parts_->Note([self] { ++self->parts_->events; });
    if (self->onEvent_)
      self->onEvent_();
  }
  // The handles of A's objects matching `conditions`, ascending.
  std::vector<std::uint64_t> Find(std::vector<ModuleSearchCondition> conditions) {
    std::uint64_t* list = nullptr;
    std::uint32_t count = 0;
    host_.ModuleFindObjects(&a_, conditions.data(), conditions.size(), &list, &count);
    std::vector<std::uint64_t> handles(list, list + count);
    host_.ModuleFreeObjectHandleList(list);
    return handles;
  }

  std::shared_ptr<testing::PartsRecord> parts_ = std::make_shared<testing::PartsRecord>();
  ModuleData host_;
  std::function<void()> onEvent_;
  const ModuleSessionId a_ = Record(kUidA);
  const ModuleSessionId b_ = Record(kUidB);
};

TEST_F(ModuleOperationsTest, SizeQueriesAndSessionIdRecords) {
  struct Query {
    const char* name;
    std::function<ModuleResult(std::uint8_t*, std::uint32_t*)> call;
    bool keepsGivenSize;  // on success
  };
  const Query queries[] = {
      {"serial", [&](auto b, auto s) { return host_.ModuleGetSerial(&a_, b, s); }, false},
      {"capabilities", [&](auto b, auto s) { return host_.ModuleGetTokenCapabilities(&a_, b, s); },
       false},
      {"session ids", [&](auto b, auto s) { return host_.ModuleGetTokenSessionIdList(b, s); },
       true}};
  for (const Query& query : queries) {
    SCOPED_TRACE(query.name);
    EXPECT_EQ(query.call(nullptr, nullptr), RESULT_INVALID_PARAMETER);
    std::uint32_t needed = 0;
    ASSERT_EQ(query.call(nullptr, &needed), RESULT_SUCCESS);
    for (std::uint32_t given : {needed - 1, needed, needed + 1}) {
      std::vector<std::uint8_t> buffer(given);
      std::uint32_t size = given;
      EXPECT_EQ(query.call(buffer.data(), &size),
                given < needed ? RESULT_BUFFER_TOO_SMALL : RESULT_SUCCESS);
      EXPECT_EQ(size, given >= needed && query.keepsGivenSize ? given : needed);
    }
  }
  // Two 19-byte nodes in ascending UID order, each holding a record the host can pass on.
  std::uint8_t nodes[38];
  std::uint32_t size = sizeof nodes;
  ASSERT_EQ(host_.ModuleGetTokenSessionIdList(nodes, &size), RESULT_SUCCESS);
  ModuleSessionIdNode first, second;
  std::memcpy(&first, nodes, 19);
  std::memcpy(&second, nodes + 19, 19);
  EXPECT_EQ(first.next, reinterpret_cast<std::uint64_t>(nodes + 19));
  EXPECT_EQ(second.next, 0u);
  std::uint8_t serial[7];
  size = 7;
  EXPECT_EQ(host_.ModuleGetSerial(&second.sessionId, serial, &size), RESULT_SUCCESS);
  EXPECT_EQ(std::memcmp(serial, b_.id, 7), 0);
  EXPECT_EQ(std::memcmp(&first.sessionId, &a_, sizeof a_), 0);

  ModuleSessionId unknown = Record(kUidB + 1), shortRecord = a_, longRecord = a_;
  shortRecord.length = 6;
  longRecord.length = 8;
  for (auto [record, result] : {std::pair{&shortRecord, RESULT_INVALID_PARAMETER},
                                {&longRecord, RESULT_INVALID_PARAMETER},
                                {nullptr, RESULT_INVALID_PARAMETER},
                                {&unknown, RESULT_TOKEN_NOT_FOUND}}) {
    EXPECT_EQ(host_.ModuleGetSerial(record, nullptr, &size), result);
  }
}

TEST_F(ModuleOperationsTest, FindObjectsChecksConditionsAndNeedsThePinUnlessPublicOnly) {
  using V = std::vector<ModuleSearchCondition>;
  struct Case {
    V conditions;
    ModuleResult beforePin;
    std::uint32_t afterPin;  // objects found once the PIN is in
  };
  const ModuleSearchCondition isPublic = Condition(KEY_ATTRIBUTES, VALUE_TYPE_BYTE, 2);
  const ModuleSearchCondition isPrivate = Condition(KEY_ATTRIBUTES, VALUE_TYPE_BYTE, 1);
  const std::vector<Case> cases = {
      {{}, RESULT_PIN_REQUIRED, 3},
      {{isPublic}, RESULT_SUCCESS, 2},
      {{isPrivate}, RESULT_PIN_REQUIRED, 1},
      {{isPrivate, isPublic}, RESULT_EMPTY, 0},
      {{isPublic, Text(KEY_LABEL, "cert")}, RESULT_SUCCESS, 1},
      {{isPublic, Text(KEY_LABEL, "none")}, RESULT_EMPTY, 0},
      {{Text(KEY_APPID, kAppId)}, RESULT_PIN_REQUIRED, 3},
      {{Condition(KEY_ATTRIBUTES, VALUE_TYPE_BYTE, 3)}, RESULT_INVALID_PARAMETER, 0},
      {{Text(KEY_ATTRIBUTES, "2")}, RESULT_INVALID_PARAMETER, 0},
      {{isPublic, Text(KEY_LABEL, nullptr)}, RESULT_INVALID_PARAMETER, 0},
      {{Condition(KEY_LABEL, VALUE_TYPE_BYTE, 0)}, RESULT_INVALID_PARAMETER, 0},
      {{Text(KEY_APPID, nullptr)}, RESULT_INVALID_PARAMETER, 0},
      {{Text(4, "cert")}, RESULT_INVALID_PARAMETER, 0}};
  for (bool pinIn : {false, true}) {
    if (pinIn) {
      ASSERT_EQ(host_.ModuleCheckPIN(&a_, &kPin), RESULT_SUCCESS);
    }
    for (std::size_t i = 0; i < cases.size(); ++i) {
      SCOPED_TRACE(::testing::Message() << "case " << i << (pinIn ? " with PIN" : ""));
      const Case& c = cases[i];
      std::uint64_t* list = nullptr;
      std::uint32_t count = 99;
      const ModuleResult expected = c.beforePin == RESULT_INVALID_PARAMETER ? c.beforePin
                                    : !pinIn                                ? c.beforePin
                                    : c.afterPin == 0                       ? RESULT_EMPTY
                                                                            : RESULT_SUCCESS;
      EXPECT_EQ(host_.ModuleFindObjects(&a_, c.conditions.empty() ? nullptr : c.conditions.data(),
                                        c.conditions.size(), &list, &count),
                expected);
      EXPECT_EQ(count, expected == RESULT_SUCCESS ? c.afterPin : 0);
      EXPECT_EQ(list != nullptr, expected == RESULT_SUCCESS);
      for (std::uint32_t n = 0; n < count; ++n)
        EXPECT_TRUE(list[n] != 0 && (n == 0 || list[n - 1] < list[n]));
      host_.ModuleFreeObjectHandleList(list);
    }
  }
  // The argument checks: conditions and their number disagree, no place for the list, a list
  // still held, no count.
  std::uint64_t held = 0, *list = &held, *none = nullptr;
  std::uint32_t count = 0;
  const ModuleSearchCondition one = isPublic;
  EXPECT_EQ(host_.ModuleFindObjects(&a_, &one, 0, &none, &count), RESULT_INVALID_PARAMETER);
  EXPECT_EQ(host_.ModuleFindObjects(&a_, nullptr, 1, &none, &count), RESULT_INVALID_PARAMETER);
  EXPECT_EQ(host_.ModuleFindObjects(&a_, &one, 1, nullptr, &count), RESULT_INVALID_PARAMETER);
  EXPECT_EQ(host_.ModuleFindObjects(&a_, &one, 1, &list, &count), RESULT_INVALID_PARAMETER);
  EXPECT_EQ(host_.ModuleFindObjects(&a_, &one, 1, &none, nullptr), RESULT_INVALID_PARAMETER);
}

TEST_F(ModuleOperationsTest, ReadObjectCopiesWholeRangesAndObjectInfoDescribesObjects) {
  const std::vector<std::uint64_t> found = Find({Condition(KEY_ATTRIBUTES, VALUE_TYPE_BYTE, 2)});
  ASSERT_EQ(found.size(), 2u);
  std::map<std::string, std::uint64_t> handle;
  for (std::uint64_t h : found) {
    ModuleObjectInfo* info = nullptr;
    ASSERT_EQ(host_.ModuleGetObjectInfo(&a_, h, &info), RESULT_SUCCESS);
    EXPECT_STREQ(info->application, kAppId);
    EXPECT_EQ(info->applicationSize, sizeof kAppId);
    EXPECT_EQ(info->labelSize, std::strlen(info->label) + 1);  // "" has size 1
    EXPECT_EQ(info->attributes, OBJECT_ATTRIBUTE_PUBLIC);
    EXPECT_EQ(info->size, info->labelSize == 1 ? 0u : 10u);
    handle[info->label] = h;
    EXPECT_EQ(host_.ModuleFreeObjectInfo(info), RESULT_SUCCESS);
  }
  ModuleObjectInfo* info = nullptr;
  EXPECT_EQ(host_.ModuleGetObjectInfo(&a_, 0, &info), RESULT_INVALID_PARAMETER);
  EXPECT_EQ(host_.ModuleGetObjectInfo(&a_, found[0], nullptr), RESULT_INVALID_PARAMETER);

  struct Case {
    std::uint64_t handle;
    std::uint32_t offset, bytesToRead;
    ModuleResult result;
  };
  const std::uint64_t cert = handle["cert"];
  for (const Case& c :
       {Case{cert, 8, 2, RESULT_SUCCESS}, Case{cert, 0, 10, RESULT_SUCCESS},
        Case{cert, 9, 2, RESULT_INVALID_PARAMETER},
        Case{cert, 0xFFFFFFFF, 2, RESULT_INVALID_PARAMETER},
        Case{cert, 2, 0xFFFFFFFF, RESULT_INVALID_PARAMETER},
        Case{cert, 0, 0, RESULT_INVALID_PARAMETER},
        Case{handle[""], 0, 1, RESULT_INVALID_PARAMETER}, Case{0, 0, 1, RESULT_OBJECT_NOT_FOUND}}) {
    std::uint8_t buffer[10] = {};
    std::uint32_t bytesRead = 99;
    const std::uint32_t room = std::min<std::uint32_t>(c.bytesToRead, sizeof buffer);
    EXPECT_EQ(host_.ModuleReadObject(&a_, c.handle, c.offset, buffer, c.bytesToRead, &bytesRead),
              c.result);
    EXPECT_EQ(bytesRead, c.result == RESULT_SUCCESS ? c.bytesToRead : c.bytesToRead ? 0 : 99);
    for (std::uint32_t i = 0; c.result == RESULT_SUCCESS && i < room; ++i)
      EXPECT_EQ(buffer[i], c.offset + i);
  }
  std::uint8_t buffer[2];
  std::uint32_t bytesRead = 0;
  EXPECT_EQ(host_.ModuleReadObject(&a_, cert, 0, buffer, 2, nullptr), RESULT_INVALID_PARAMETER);
  EXPECT_EQ(host_.ModuleReadObject(&a_, cert, 0, nullptr, 2, &bytesRead), RESULT_INVALID_PARAMETER);
}

TEST_F(ModuleOperationsTest, FifthWrongPinIsIncorrectSixthLockedAndTheRightOneOpensPrivateData) {
  const ModuleUtf8String empty{"", 0};
  for (auto [pin, result] : {std::pair{&kWrongPin, RESULT_PIN_INCORRECT},
                             {&kWrongPin, RESULT_PIN_INCORRECT},
                             {&kWrongPin, RESULT_PIN_INCORRECT},
                             {&kWrongPin, RESULT_PIN_INCORRECT},
                             {&empty, RESULT_INVALID_PARAMETER},  // refused, not counted
                             {nullptr, RESULT_INVALID_PARAMETER},
                             {&kWrongPin, RESULT_PIN_INCORRECT},
                             {&kWrongPin, RESULT_PIN_LOCKED},
                             {&kPin, RESULT_PIN_LOCKED}}) {
    EXPECT_EQ(host_.ModuleCheckPIN(&b_, pin), result);
  }
  ASSERT_EQ(host_.ModuleCheckPIN(&a_, &kPin), RESULT_SUCCESS);
  const auto key = Find({Condition(KEY_ATTRIBUTES, VALUE_TYPE_BYTE, 1)});
  ASSERT_EQ(key.size(), 1u);
  std::uint8_t buffer[3];
  std::uint32_t bytesRead = 0;
  ASSERT_EQ(host_.ModuleReadObject(&a_, key[0], 0, buffer, 3, &bytesRead), RESULT_SUCCESS);
  EXPECT_THAT(buffer, ElementsAre(7, 7, 7));
}

TEST_F(ModuleOperationsTest, FreeOperationsReleaseMemoryAfterUnload) {
  std::uint64_t* list = nullptr;
  std::uint32_t count = 0;
  const ModuleSearchCondition isPublic = Condition(KEY_ATTRIBUTES, VALUE_TYPE_BYTE, 2);
  ASSERT_EQ(host_.ModuleFindObjects(&a_, &isPublic, 1, &list, &count), RESULT_SUCCESS);
  ModuleObjectInfo* info = nullptr;
  ASSERT_EQ(host_.ModuleGetObjectInfo(&a_, list[0], &info), RESULT_SUCCESS);
  host_.ModuleUnload();
  EXPECT_EQ(host_.ModuleFreeObjectHandleList(list), RESULT_SUCCESS);
  EXPECT_EQ(host_.ModuleFreeObjectInfo(info), RESULT_SUCCESS);
}

TEST_F(ModuleOperationsTest, HostCallbacksOnTheCallingThreadComeWithoutTheModuleLock) {
  // A token that an operation holds when the clear command drops it goes after the lock.
  std::vector<bool> lockFree;
  std::future<ModuleResult> initialize;
  ModuleData other;
  const auto self = std::this_thread::get_id();
  onEvent_ = [&] {
    if (std::this_thread::get_id() == self)
      lockFree.push_back(ModuleLockFree());
  };
  EXPECT_EQ(RunLocked("ModuleTestHold",
                      [&](OperationScope& scope) {
                        scope.FindToken(&a_);
                        parts_->clear();
                        parts_->WaitFor([&] { return parts_->events == 3; });  // B went
                        return RESULT_SUCCESS;
                      }),
            RESULT_SUCCESS);
  EXPECT_THAT(lockFree, ElementsAre(true));

  // Unload releases tokens without the module lock; an initialize meanwhile waits for it.
  host_.ModuleUnload();
  ASSERT_EQ(Initialize(host_), RESULT_SUCCESS);
  lockFree.clear();
  onEvent_ = [&] {
    if (std::this_thread::get_id() != self)
      return;
    lockFree.push_back(ModuleLockFree());
    if (!initialize.valid()) {
      initialize = std::async(std::launch::async, [&] { return Initialize(other); });
      EXPECT_EQ(initialize.wait_for(200ms), std::future_status::timeout);
    }
  };
  host_.ModuleUnload();
  EXPECT_THAT(lockFree, ElementsAre(true, true));
  EXPECT_EQ(initialize.get(), RESULT_SUCCESS);
  onEvent_ = nullptr;
  other.ModuleUnload();
}

TEST_F(ModuleOperationsTest, FailingStartUpLeavesNoList) {
  const ModuleData table = host_;
  host_.ModuleUnload();
  parts_->failMonitorStart = true;
  const int events = parts_->events;
  EXPECT_EQ(Initialize(host_), RESULT_FAILURE);
  EXPECT_EQ(parts_->events, events + 4);  // A and B restored, then released
  std::uint32_t size = 0;
  EXPECT_EQ(table.ModuleGetTokenSessionIdList(nullptr, &size), RESULT_WRONG_STATE);
  parts_->failMonitorStart = false;
}

}  // namespace
}  // namespace varlo
