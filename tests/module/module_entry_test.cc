// ModuleInitialize, the operation table and ModuleUnload, seen from a host.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <vector>

#include "tests/harness/module_harness.h"

namespace varlo::testing {
namespace {

constexpr std::uint64_t kPattern = 0xA5A5A5A5A5A5A5A5ull;

std::uint64_t WordAt(const ModuleData& data, std::size_t offset) {
  std::uint64_t word;
  std::memcpy(&word, reinterpret_cast<const std::uint8_t*>(&data) + offset, sizeof word);
  return word;
}

std::vector<std::uint8_t> Bytes(const ModuleData& data) {
  const auto* p = reinterpret_cast<const std::uint8_t*>(&data);
  return {p, p + sizeof data};
}

// The slots that only trace and answer RESULT_NOT_SUPPORTED, by offset.
constexpr std::array<std::size_t, 18> kTraceOnlySlots = {0x40, 0x48, 0x58, 0x60, 0x70, 0x88,
                                                         0x90, 0x98, 0xA8, 0xB0, 0xB8, 0xD0,
                                                         0xD8, 0xE0, 0xE8, 0xF0, 0xF8, 0x100};

class ModuleEntryTest : public ::testing::Test {
 protected:
  void TearDown() override { Unload(); }

  // Initializes with a full two-generation table and keeps it for calls while uninitialized.
  ModuleData InitializeFully() {
    ModuleData data = NewModuleData(&events_);
    EXPECT_EQ(module_.Initialize(&data), RESULT_SUCCESS);
    table_ = data;
    return data;
  }

  void Unload() {
    if (table_)
      table_->ModuleUnload();
  }

  // Whether the module has a token list, asked through an implemented operation.
  bool Initialized() {
    std::uint32_t size = 0;
    return table_->ModuleGetSerial(nullptr, nullptr, &size) != RESULT_WRONG_STATE;
  }

  EventCounter events_;
  ModuleHarness module_;
  std::optional<ModuleData> table_;
};

// A refused initialize writes nothing into the host's table and leaves no token list behind,
// so the next one succeeds; a second initialize is refused the same way.
TEST_F(ModuleEntryTest, RefusedInitializeTouchesNothing) {
  InitializeFully();
  Unload();
  const struct {
    const char* what;
    std::uint32_t apiVersion, structVersion;
    std::uint64_t callback;
    ModuleResult result;
  } cases[] = {{"api version 0", 0, 2, 1, 14},
               {"api version 1", 1, 2, 1, 14},
               {"api version 3", 3, 2, 1, 14},
               {"struct version 0", 2, 0, 1, RESULT_INVALID_PARAMETER},
               {"no callback", 2, 2, 0, RESULT_INVALID_PARAMETER},
               // the callback check comes before the version check
               {"no callback, api version 3", 3, 2, 0, RESULT_INVALID_PARAMETER}};
  for (const auto& c : cases) {
    ModuleData data = NewModuleData(&events_, c.apiVersion, c.structVersion);
    if (c.callback == 0)
      data.pfnEventCallback.targetHandle = 0;
    const auto before = Bytes(data);
    EXPECT_EQ(module_.Initialize(&data), c.result) << c.what;
    EXPECT_EQ(Bytes(data), before) << c.what;
    EXPECT_FALSE(Initialized()) << c.what;
  }
  EXPECT_EQ(module_.Initialize(nullptr), RESULT_INVALID_PARAMETER);

  InitializeFully();
  EXPECT_TRUE(Initialized());
  ModuleData second = NewModuleData(&events_, 2, 2);
  const auto before = Bytes(second);
  EXPECT_EQ(module_.Initialize(&second, u"SOFTWARE\\Vendor\\Module"), RESULT_WRONG_STATE);
  EXPECT_EQ(Bytes(second), before);
  EXPECT_TRUE(Initialized());
}

TEST_F(ModuleEntryTest, StructVersionSelectsTheGenerationsWritten) {
  struct Case {
    std::uint32_t asked;
    std::uint32_t written;
  };
  for (Case c : {Case{1, 1}, Case{2, 2}, Case{5, 2}}) {
    ModuleData data = NewModuleData(&events_, 2, c.asked);
    ASSERT_EQ(module_.Initialize(&data), RESULT_SUCCESS);
    EXPECT_EQ(data.structVersion, c.written);
    for (std::size_t offset = 0x28; offset < 0xF8; offset += 8) {
      EXPECT_NE(WordAt(data, offset), kPattern) << std::hex << offset;
    }
    for (std::size_t offset : {0xF8, 0x100}) {
      EXPECT_EQ(WordAt(data, offset) == kPattern, c.written == 1) << std::hex << offset;
    }
    EXPECT_EQ(data.ModuleUnload(), RESULT_SUCCESS);
  }
}

TEST_F(ModuleEntryTest, TraceOnlyOperationsAnswerNotSupportedInEveryState) {
  ModuleData data = InitializeFully();
  auto callAll = [&data] {
    for (std::size_t offset : kTraceOnlySlots) {
      auto fn = reinterpret_cast<ModuleNotSupportedFn>(WordAt(data, offset));
      EXPECT_EQ(fn(), 0xE0000000E00F0011ull) << std::hex << offset;
    }
  };
  callAll();
  data.ModuleUnload();
  callAll();
}

TEST_F(ModuleEntryTest, ImplementedOperationsNeedAnInitializedModule) {
  ModuleData data = InitializeFully();
  EXPECT_EQ(data.ModuleUnload(), RESULT_SUCCESS);
  EXPECT_EQ(data.ModuleUnload(), RESULT_SUCCESS);  // also when unloaded
  std::uint32_t size = 0;
  std::uint64_t* handles = nullptr;
  ModuleObjectInfo* info = nullptr;
  EXPECT_EQ(data.ModuleGetSerial(nullptr, nullptr, &size), RESULT_WRONG_STATE);
  EXPECT_EQ(data.ModuleGetTokenSessionIdList(nullptr, &size), RESULT_WRONG_STATE);
  EXPECT_EQ(data.ModuleFindObjects(nullptr, nullptr, 0, &handles, &size), RESULT_WRONG_STATE);
  EXPECT_EQ(data.ModuleReadObject(nullptr, 1, 0, nullptr, 0, &size), RESULT_WRONG_STATE);
  EXPECT_EQ(data.ModuleCheckPIN(nullptr, nullptr), RESULT_WRONG_STATE);
  EXPECT_EQ(data.ModuleGetTokenCapabilities(nullptr, nullptr, &size), RESULT_WRONG_STATE);
  EXPECT_EQ(data.ModuleGetObjectInfo(nullptr, 1, &info), RESULT_WRONG_STATE);
  // The Free operations answer in every state.
  EXPECT_EQ(data.ModuleFreeObjectHandleList(nullptr), RESULT_INVALID_PARAMETER);
  EXPECT_EQ(data.ModuleFreeObjectInfo(nullptr), RESULT_INVALID_PARAMETER);
}

}  // namespace
}  // namespace varlo::testing
