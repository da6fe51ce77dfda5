// The table operations of a module whose token list runs on fake parts; tokens A and B are
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

using ::testing::ElementsAre;
using V = std::vector<ModuleSearchCondition>;

constexpr std::uint64_t kUidA = 0x04A1B2C3D4E5F6, kUidB = kUidA + 1;
constexpr char kAppId[] = "1.3.6.1.4.1.6147.9117.1.1234.8.5";
const ModuleUtf8String kPin{"1234", 4}, kWrongPin{"4321", 4};
const ModuleSessionId kA{7, {0x04, 0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0xF6}};
const ModuleSessionId kB{7, {0x04, 0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0xF7}};

// A: public "cert" (bytes 0 to 9), private "key" (7 7 7), public "" (no bytes). B: no objects.
std::vector<DesfireData> StoredTokens() {
  static const std::vector<DesfireData> tokens = [] {
    std::vector<DesfireData> made;
    for (std::uint64_t uid : {kUidA, kUidB}) {
      cardimage::TokenDescription token{uid, "Token", {'1', '2', '3', '4'}, {}, {}, {}};
      if (uid == kUidA)
        token.objects = {{"cert", 5, false, 3, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}},
                         {"key", 5, true, 3, {7, 7, 7}},
                         {"", 5, false, 3, {}}};
      made.emplace_back(uid, cardimage::MakeCardImage(token).files);
    }
    return made;
  }();
  return tokens;
}

const ModuleSearchCondition kPublic{KEY_ATTRIBUTES, VALUE_TYPE_BYTE, {.raw = 2}};
const ModuleSearchCondition kPrivate{KEY_ATTRIBUTES, VALUE_TYPE_BYTE, {.raw = 1}};

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
    host.apiVersion = host.structVersion = 2;
    host.pfnEventCallback = {&OnEvent, this, 0, 1};
    return InitializeModule(nullptr, 0, &host);
  }
  static void OnEvent(void* context, std::uint64_t) {
    auto* self = static_cast<ModuleOperationsTest*>(context);
    self->parts_->Note([self] { ++self->parts_->events; });
    if (self->onEvent_)
      self->onEvent_();
  }
  // Searches A; the handles found, ascending, or the result when the search failed.
  std::vector<std::uint64_t> Find(V conditions, ModuleResult* result = nullptr) {
    std::uint64_t* list = nullptr;
    std::uint32_t count = 99;
    const ModuleResult r = host_.ModuleFindObjects(
        &kA, conditions.empty() ? nullptr : &conditions[0], conditions.size(), &list, &count);
    if (result != nullptr)
      *result = r;
    EXPECT_EQ(list != nullptr, r == RESULT_SUCCESS);
    std::vector<std::uint64_t> handles(list, list + (list ? count : 0));
    EXPECT_EQ(count, handles.size());
    host_.ModuleFreeObjectHandleList(list);
    return handles;
  }

  std::shared_ptr<testing::PartsRecord> parts_ = std::make_shared<testing::PartsRecord>();
  ModuleData host_;
  std::function<void()> onEvent_;
};

TEST_F(ModuleOperationsTest, SizeQueriesAndSessionIdRecords) {
  using Call = std::function<ModuleResult(std::uint8_t*, std::uint32_t*)>;
  const std::pair<Call, bool> queries[] = {
      // the call, and whether success keeps the size given
      {[&](auto b, auto s) { return host_.ModuleGetSerial(&kA, b, s); }, false},
      {[&](auto b, auto s) { return host_.ModuleGetTokenCapabilities(&kA, b, s); }, false},
      {[&](auto b, auto s) { return host_.ModuleGetTokenSessionIdList(b, s); }, true}};
  for (const auto& [call, keepsSize] : queries) {
    EXPECT_EQ(call(nullptr, nullptr), RESULT_INVALID_PARAMETER);
    std::uint32_t needed = 0;
    ASSERT_EQ(call(nullptr, &needed), RESULT_SUCCESS);
    for (std::uint32_t given : {needed - 1, needed, needed + 1}) {
      std::vector<std::uint8_t> buffer(given);
      std::uint32_t size = given;
      EXPECT_EQ(call(buffer.data(), &size),
                given < needed ? RESULT_BUFFER_TOO_SMALL : RESULT_SUCCESS);
      EXPECT_EQ(size, given >= needed && keepsSize ? given : needed);
    }
  }
  // Two nodes in ascending UID order, each holding a record the host can pass on.
  std::uint8_t nodes[38], serial[7];
  std::uint32_t size = sizeof nodes;
  ASSERT_EQ(host_.ModuleGetTokenSessionIdList(nodes, &size), RESULT_SUCCESS);
  ModuleSessionIdNode node[2];
  std::memcpy(node, nodes, sizeof nodes);
  EXPECT_EQ(+node[0].next, reinterpret_cast<std::uint64_t>(nodes + 19));
  EXPECT_EQ(+node[1].next, 0u);
  EXPECT_EQ(host_.ModuleGetSerial(&node[1].sessionId, serial, &size), RESULT_SUCCESS);
  EXPECT_EQ(std::memcmp(serial, kB.id, 7), 0);

  for (auto [length, last, result] : {std::tuple{6u, 0xF6, RESULT_INVALID_PARAMETER},
                                      {8u, 0xF6, RESULT_INVALID_PARAMETER},
                                      {7u, 0xF8, RESULT_TOKEN_NOT_FOUND}}) {
    ModuleSessionId record = kA;
    record.length = length;
    record.id[6] = last;
    EXPECT_EQ(host_.ModuleGetSerial(&record, nullptr, &size), result);
  }
  EXPECT_EQ(host_.ModuleGetSerial(nullptr, nullptr, &size), RESULT_INVALID_PARAMETER);
}

TEST_F(ModuleOperationsTest, FindObjectsChecksConditionsAndNeedsThePinUnlessPublicOnly) {
  const std::vector<std::tuple<V, ModuleResult, std::size_t>> cases = {
      // conditions, result before the PIN, objects found after it
      {{}, RESULT_PIN_REQUIRED, 3},
      {{kPublic}, RESULT_SUCCESS, 2},
      {{kPrivate}, RESULT_PIN_REQUIRED, 1},
      {{kPrivate, kPublic}, RESULT_EMPTY, 0},
      {{kPublic, {KEY_LABEL, VALUE_TYPE_TEXT, {.text = "cert"}}}, RESULT_SUCCESS, 1},
      {{{KEY_APPID, VALUE_TYPE_TEXT, {.text = kAppId}}}, RESULT_PIN_REQUIRED, 3},
      {{{KEY_ATTRIBUTES, VALUE_TYPE_BYTE, {.raw = 3}}}, RESULT_INVALID_PARAMETER, 0},
      {{{KEY_ATTRIBUTES, VALUE_TYPE_TEXT, {.text = "2"}}}, RESULT_INVALID_PARAMETER, 0},
      {{kPublic, {KEY_LABEL, VALUE_TYPE_TEXT, {.text = nullptr}}}, RESULT_INVALID_PARAMETER, 0},
      {{{KEY_LABEL, VALUE_TYPE_BYTE, {.raw = 0}}}, RESULT_INVALID_PARAMETER, 0},
      {{{KEY_APPID, VALUE_TYPE_TEXT, {.text = nullptr}}}, RESULT_INVALID_PARAMETER, 0},
      {{{4, VALUE_TYPE_TEXT, {.text = "cert"}}}, RESULT_INVALID_PARAMETER, 0}};
  for (bool pinIn : {false, true}) {
    ASSERT_EQ(pinIn ? host_.ModuleCheckPIN(&kA, &kPin) : RESULT_SUCCESS, RESULT_SUCCESS);
    for (const auto& [conditions, beforePin, found] : cases) {
      ModuleResult result;
      const auto handles = Find(conditions, &result);
      const bool invalid = beforePin == RESULT_INVALID_PARAMETER;
      EXPECT_EQ(result, !pinIn || invalid ? beforePin : found ? RESULT_SUCCESS : RESULT_EMPTY);
      EXPECT_EQ(handles.size(), result == RESULT_SUCCESS ? found : 0);
      EXPECT_TRUE(std::is_sorted(handles.begin(), handles.end()) &&
                  !std::count(handles.begin(), handles.end(), 0));
    }
  }
  // Conditions and their number disagree; a list still held.
  std::uint64_t held = 0, *list = &held;
  std::uint32_t count = 0;
  EXPECT_EQ(host_.ModuleFindObjects(&kA, &kPublic, 0, &list, &count), RESULT_INVALID_PARAMETER);
  EXPECT_EQ(host_.ModuleFindObjects(&kA, nullptr, 1, &list, &count), RESULT_INVALID_PARAMETER);
  EXPECT_EQ(host_.ModuleFindObjects(&kA, &kPublic, 1, &list, &count), RESULT_INVALID_PARAMETER);
}

TEST_F(ModuleOperationsTest, ReadObjectCopiesWholeRangesAndObjectInfoDescribesObjects) {
  std::map<std::string, std::uint64_t> handle;
  for (std::uint64_t h : Find({kPublic})) {
    ModuleObjectInfo* info = nullptr;
    ASSERT_EQ(host_.ModuleGetObjectInfo(&kA, h, &info), RESULT_SUCCESS);
    // Packed fields are read as values (unary +), never bound to references.
    EXPECT_STREQ(info->application, kAppId);
    EXPECT_EQ(+info->applicationSize, sizeof kAppId);
    EXPECT_EQ(+info->labelSize, std::strlen(info->label) + 1);  // "" has size 1
    EXPECT_EQ(info->attributes, OBJECT_ATTRIBUTE_PUBLIC);
    EXPECT_EQ(+info->size, info->labelSize == 1 ? 0u : 10u);
    handle[info->label] = h;
    EXPECT_EQ(host_.ModuleFreeObjectInfo(info), RESULT_SUCCESS);
  }
  ModuleObjectInfo* info = nullptr;
  EXPECT_EQ(host_.ModuleGetObjectInfo(&kA, 0, &info), RESULT_INVALID_PARAMETER);
  EXPECT_EQ(host_.ModuleGetObjectInfo(&kA, handle["cert"], nullptr), RESULT_INVALID_PARAMETER);

  const std::uint64_t cert = handle["cert"];
  std::uint8_t buffer[10];
  std::uint32_t bytesRead = 99;
  for (auto [h, offset, toRead, result] :
       std::initializer_list<std::tuple<std::uint64_t, std::uint32_t, std::uint32_t, ModuleResult>>{
           {cert, 8, 2, RESULT_SUCCESS},
           {cert, 0, 10, RESULT_SUCCESS},
           {cert, 9, 2, RESULT_INVALID_PARAMETER},
           {cert, 0xFFFFFFFF, 2, RESULT_INVALID_PARAMETER},
           {cert, 2, 0xFFFFFFFF, RESULT_INVALID_PARAMETER},
           {handle[""], 0, 1, RESULT_INVALID_PARAMETER},
           {0, 0, 1, RESULT_OBJECT_NOT_FOUND}}) {
    std::memset(buffer, 0xEE, sizeof buffer);
    EXPECT_EQ(host_.ModuleReadObject(&kA, h, offset, buffer, toRead, &bytesRead), result);
    EXPECT_EQ(bytesRead, result == RESULT_SUCCESS ? toRead : 0);
    EXPECT_EQ(buffer[0], result == RESULT_SUCCESS ? offset : 0xEE);
  }
  EXPECT_EQ(host_.ModuleReadObject(&kA, cert, 0, buffer, 0, &bytesRead), RESULT_INVALID_PARAMETER);
  EXPECT_EQ(host_.ModuleReadObject(&kA, cert, 0, nullptr, 2, &bytesRead), RESULT_INVALID_PARAMETER);
  EXPECT_EQ(host_.ModuleReadObject(&kA, cert, 0, buffer, 2, nullptr), RESULT_INVALID_PARAMETER);
}

TEST_F(ModuleOperationsTest, FifthWrongPinIsIncorrectSixthLockedAndTheRightOneOpensPrivateData) {
  const ModuleUtf8String empty{"", 0};
  for (int wrong = 1; wrong <= 6; ++wrong) {
    if (wrong == 5) {  // refused before any key is derived: not counted
      EXPECT_EQ(host_.ModuleCheckPIN(&kB, &empty), RESULT_INVALID_PARAMETER);
    }
    EXPECT_EQ(host_.ModuleCheckPIN(&kB, &kWrongPin),
              wrong <= 5 ? RESULT_PIN_INCORRECT : RESULT_PIN_LOCKED);
  }
  EXPECT_EQ(host_.ModuleCheckPIN(&kB, &kPin), RESULT_PIN_LOCKED);
  ASSERT_EQ(host_.ModuleCheckPIN(&kA, &kPin), RESULT_SUCCESS);
  const auto key = Find({kPrivate});
  ASSERT_EQ(key.size(), 1u);
  std::uint8_t buffer[3];
  std::uint32_t bytesRead = 0;
  ASSERT_EQ(host_.ModuleReadObject(&kA, key[0], 0, buffer, 3, &bytesRead), RESULT_SUCCESS);
  EXPECT_THAT(buffer, ElementsAre(7, 7, 7));
}

TEST_F(ModuleOperationsTest, FreeWorksAfterUnloadAndAFailedStartLeavesNoList) {
  std::uint64_t* list = nullptr;
  std::uint32_t count = 0;
  ASSERT_EQ(host_.ModuleFindObjects(&kA, &kPublic, 1, &list, &count), RESULT_SUCCESS);
  ModuleObjectInfo* info = nullptr;
  ASSERT_EQ(host_.ModuleGetObjectInfo(&kA, list[0], &info), RESULT_SUCCESS);
  const ModuleData table = host_;
  table.ModuleUnload();
  EXPECT_EQ(table.ModuleFreeObjectHandleList(list), RESULT_SUCCESS);
  EXPECT_EQ(table.ModuleFreeObjectInfo(info), RESULT_SUCCESS);

  parts_->failMonitorStart = true;
  EXPECT_EQ(Initialize(host_), RESULT_FAILURE);
  EXPECT_EQ(parts_->events, 8);  // A and B restored twice, released twice
  EXPECT_EQ(table.ModuleGetTokenSessionIdList(nullptr, &count), RESULT_WRONG_STATE);
}

TEST_F(ModuleOperationsTest, HostCallbacksOnTheCallingThreadComeWithoutTheModuleLock) {
  std::vector<bool> lockFree;
  const auto self = std::this_thread::get_id();
  onEvent_ = [&] {
    if (std::this_thread::get_id() == self)
      lockFree.push_back(ModuleLockFree());
  };
  // A token that an operation holds when the clear command drops it goes after the lock.
  EXPECT_EQ(RunLocked("ModuleTestHold",
                      [&](OperationScope& scope) {
                        scope.FindToken(&kA);
                        parts_->clear();
                        parts_->WaitFor([&] { return parts_->events == 3; });  // B went
                        EXPECT_TRUE(scope.List().GetList().empty());           // the clear is over
                        return RESULT_SUCCESS;
                      }),
            RESULT_SUCCESS);
  EXPECT_THAT(lockFree, ElementsAre(true));

  // Unload releases tokens without the module lock; an initialize meanwhile waits for it.
  host_.ModuleUnload();
  ASSERT_EQ(Initialize(host_), RESULT_SUCCESS);
  lockFree.clear();
  std::future<ModuleResult> initialize;
  ModuleData other;
  onEvent_ = [&] {
    if (std::this_thread::get_id() != self)
      return;
    lockFree.push_back(ModuleLockFree());
    if (!initialize.valid()) {
      initialize = std::async(std::launch::async, [&] { return Initialize(other); });
      EXPECT_EQ(initialize.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
    }
  };
  host_.ModuleUnload();
  EXPECT_THAT(lockFree, ElementsAre(true, true));
  EXPECT_EQ(initialize.get(), RESULT_SUCCESS);
  onEvent_ = nullptr;
  other.ModuleUnload();
}

}  // namespace
}  // namespace varlo
