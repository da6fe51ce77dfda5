// varlo-host's commands against a fake operation table whose C functions answer as the module
// does: size queries, token selection, PIN prompting, result codes to exit codes, JSON output.
#include "apps/host/host_cli.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <sstream>

#include "items/item.h"
#include "modulehost/results.h"
#include "nlohmann/json.hpp"

namespace varlo::host {
namespace {

using nlohmann::json;

struct FakeObject {
  std::uint64_t handle;
  std::string label;
  bool isPrivate;
  std::string content;
};

struct FakeToken {
  std::uint8_t last;  // serial 04000000000000 + last
  std::string label;
  bool initialized = true;
  bool locked = false;
  std::vector<FakeObject> objects;
};

// What the fake module holds; its C functions reach it through `fake`.
struct FakeState {
  std::vector<FakeToken> tokens;
  std::string pin = "1234";
  bool pinAccepted = false;
  ModuleResult forced = RESULT_SUCCESS;  // answer of every operation, when set
  bool tokenArrivesDuringList = false;   // one more token between size query and fill
  int allocations = 0;
};
FakeState* fake = nullptr;

FakeToken* FindToken(const ModuleSessionId* id) {
  for (FakeToken& token : fake->tokens) {
    const std::uint8_t serial[7] = {4, 0, 0, 0, 0, 0, token.last};
    if (id->length == 7 && std::memcmp(id->id, serial, 7) == 0)
      return &token;
  }
  return nullptr;
}

const FakeObject* FindObject(FakeToken* token, std::uint64_t handle) {
  for (const FakeObject& object : token->objects) {
    if (object.handle == handle)
      return &object;
  }
  return nullptr;
}

std::vector<std::uint8_t> CapabilityBlock(const FakeToken& token) {
  CItemVector root("tcr");
  root.Add(std::make_unique<CItemBoolean>("tcii", token.initialized));
  root.Add(std::make_unique<CItemBoolean>("tcinpu", false));
  root.Add(std::make_unique<CItemBuffer>(
      "tcl", ToSecure(std::span(reinterpret_cast<const std::uint8_t*>(token.label.data()),
                                token.label.size()))));
  root.Add(std::make_unique<CItemStringA>("tcm", "virtual DESFire"));
  root.Add(std::make_unique<CItemBoolean>("tcipil", token.locked));
  const SecureBytes block = root.PackToBytes();
  return {block.begin(), block.end()};
}

// The size-query protocol of the module for a buffer answer.
ModuleResult Sized(const std::vector<std::uint8_t>& answer, uint8_t* buffer, uint32_t* size) {
  if (buffer != nullptr && *size < answer.size()) {
    *size = static_cast<std::uint32_t>(answer.size());
    return RESULT_BUFFER_TOO_SMALL;
  }
  if (buffer != nullptr)
    std::memcpy(buffer, answer.data(), answer.size());
  *size = static_cast<std::uint32_t>(answer.size());
  return RESULT_SUCCESS;
}

ModuleResult List(uint8_t* buffer, uint32_t* size) {
  if (buffer != nullptr && fake->tokenArrivesDuringList) {
    fake->tokenArrivesDuringList = false;
    fake->tokens.push_back({9, "late", true, false, {}});
  }
  const std::size_t n = fake->tokens.size();
  if (n == 0) {
    *size = 0;
    return RESULT_EMPTY;
  }
  const ModuleResult code = Sized(std::vector<std::uint8_t>(19 * n), buffer, size);
  for (std::size_t i = 0; buffer != nullptr && code == RESULT_SUCCESS && i < n; ++i) {
    const ModuleSessionIdNode node{
        i + 1 < n ? reinterpret_cast<std::uint64_t>(buffer + 19 * (i + 1)) : 0,
        {7, {4, 0, 0, 0, 0, 0, fake->tokens[i].last}}};
    std::memcpy(buffer + 19 * i, &node, sizeof node);
  }
  return code;
}

// Each operation: the forced answer, else "no such token", else its own work.
#define FAKE_TOKEN_OR_FAIL(id)        \
  if (fake->forced != RESULT_SUCCESS) \
    return fake->forced;              \
  FakeToken* token = FindToken(id);   \
  if (token == nullptr)               \
    return RESULT_TOKEN_NOT_FOUND;

ModuleResult Serial(const ModuleSessionId* id, uint8_t* buffer, uint32_t* size) {
  FAKE_TOKEN_OR_FAIL(id);
  return Sized(std::vector<std::uint8_t>(id->id, id->id + 7), buffer, size);
}

ModuleResult Capabilities(const ModuleSessionId* id, uint8_t* buffer, uint32_t* size) {
  FAKE_TOKEN_OR_FAIL(id);
  return Sized(CapabilityBlock(*token), buffer, size);
}

ModuleResult CheckPIN(const ModuleSessionId* id, const ModuleUtf8String* pin) {
  FAKE_TOKEN_OR_FAIL(id);
  if (token->locked)
    return RESULT_PIN_LOCKED;
  if (std::string(pin->bytes, pin->count) != fake->pin)
    return RESULT_PIN_INCORRECT;
  fake->pinAccepted = true;
  return RESULT_SUCCESS;
}

ModuleResult Find(const ModuleSessionId* id, const ModuleSearchCondition* conditions,
                  uint32_t count, uint64_t** list, uint32_t* found) {
  FAKE_TOKEN_OR_FAIL(id);
  bool publicOnly = false;
  for (uint32_t i = 0; i < count; ++i)
    publicOnly |= conditions[i].fieldKey == KEY_ATTRIBUTES && conditions[i].value.byte == 2;
  if (!publicOnly && !fake->pinAccepted)
    return RESULT_PIN_REQUIRED;
  std::vector<std::uint64_t> handles;
  for (const FakeObject& object : token->objects) {
    bool match = true;
    for (uint32_t i = 0; i < count; ++i) {
      const ModuleSearchCondition& c = conditions[i];
      match &= c.fieldKey != KEY_LABEL || object.label == c.value.text;
      match &= c.fieldKey != KEY_ATTRIBUTES || c.value.byte == (object.isPrivate ? 1 : 2);
    }
    if (match)
      handles.push_back(object.handle);
  }
  if (handles.empty())
    return RESULT_EMPTY;
  *list = new std::uint64_t[handles.size()];
  ++fake->allocations;
  std::copy(handles.begin(), handles.end(), *list);
  *found = static_cast<std::uint32_t>(handles.size());
  return RESULT_SUCCESS;
}

ModuleResult FreeList(uint64_t* list) {
  --fake->allocations;
  delete[] list;
  return RESULT_SUCCESS;
}

ModuleResult GetInfo(const ModuleSessionId* id, uint64_t handle, ModuleObjectInfo** info) {
  FAKE_TOKEN_OR_FAIL(id);
  const FakeObject* object = FindObject(token, handle);
  if (object == nullptr)
    return RESULT_OBJECT_NOT_FOUND;
  ++fake->allocations;
  *info = new ModuleObjectInfo{::strdup("app"),
                               4,
                               ::strdup(object->label.c_str()),
                               static_cast<std::uint32_t>(object->label.size() + 1),
                               static_cast<std::uint8_t>(object->isPrivate ? 1 : 2),
                               static_cast<std::uint32_t>(object->content.size())};
  return RESULT_SUCCESS;
}

ModuleResult FreeInfo(ModuleObjectInfo* info) {
  --fake->allocations;
  std::free(info->application);
  std::free(info->label);
  delete info;
  return RESULT_SUCCESS;
}

ModuleResult Read(const ModuleSessionId* id, uint64_t handle, uint32_t offset, uint8_t* buffer,
                  uint32_t bytes, uint32_t* read) {
  FAKE_TOKEN_OR_FAIL(id);
  const FakeObject* object = FindObject(token, handle);
  if (object == nullptr)
    return RESULT_OBJECT_NOT_FOUND;
  if (object->isPrivate && !fake->pinAccepted)
    return RESULT_PIN_REQUIRED;
  if (std::uint64_t{offset} + bytes > object->content.size())
    return RESULT_INVALID_PARAMETER;
  std::memcpy(buffer, object->content.data() + offset, bytes);
  *read = bytes;
  return RESULT_SUCCESS;
}

class FakeModule : public Module {
 public:
  FakeModule() {
    ModuleData& data = Data();
    data.ModuleGetTokenSessionIdList = &List;
    data.ModuleGetSerial = &Serial;
    data.ModuleGetTokenCapabilities = &Capabilities;
    data.ModuleCheckPIN = &CheckPIN;
    data.ModuleFindObjects = &Find;
    data.ModuleFreeObjectHandleList = &FreeList;
    data.ModuleGetObjectInfo = &GetInfo;
    data.ModuleFreeObjectInfo = &FreeInfo;
    data.ModuleReadObject = &Read;
  }
};

struct HostRun {
  int exit = -1;
  std::string out;
  std::string err;
  int pinsAsked = 0;
};

// Runs varlo-host with `args` against `state`; `pin` is what the user types.
HostRun RunWith(FakeState& state, std::vector<const char*> args, const std::string& pin = "1234") {
  fake = &state;
  HostRun run;
  std::ostringstream out, err;
  const HostEnvironment environment{
      out, err, "fake.so",
      [&](const std::string& path, const std::u16string&) -> std::unique_ptr<Module> {
        if (path != "fake.so")
          throw CommandError(ExitCode::kModuleUnavailable, "cannot load the module: " + path);
        return std::make_unique<FakeModule>();
      },
      [&](const std::string&, bool) {
        ++run.pinsAsked;
        return ToSecure(std::span(reinterpret_cast<const std::uint8_t*>(pin.data()), pin.size()));
      }};
  args.insert(args.begin(), "varlo-host");
  run.exit = RunHost(static_cast<int>(args.size()), args.data(), environment);
  run.out = out.str();
  run.err = err.str();
  EXPECT_EQ(state.allocations, 0) << "module memory not handed back";
  return run;
}

FakeState TwoTokens() {
  FakeState state;
  const std::vector<FakeObject> objects = {{0x10, "greeting", false, "hello"},
                                           {0x20, "secret", true, "s3"}};
  state.tokens.push_back({1, "Alice", true, false, objects});
  state.tokens.push_back({2, "Bob", false, true, {}});
  return state;
}

FakeState OneToken() {
  FakeState state = TwoTokens();
  state.tokens.pop_back();
  return state;
}

TEST(HostCliTest, ListsTokensAsJsonAndText) {
  FakeState state = TwoTokens();
  state.tokenArrivesDuringList = true;  // the first fill is too small: asked again
  HostRun run = RunWith(state, {"--json", "list"});
  ASSERT_EQ(run.exit, 0) << run.err;
  EXPECT_EQ(json::parse(run.out), json::parse(R"([
    {"serial":"04000000000001","label":"Alice","labelHex":"416c696365","initialized":true,
     "pin":"set","publicObjects":1},
    {"serial":"04000000000002","label":"Bob","labelHex":"426f62","initialized":false,
     "pin":"locked","publicObjects":null},
    {"serial":"04000000000009","label":"late","labelHex":"6c617465","initialized":true,
     "pin":"set","publicObjects":0}])"));
  EXPECT_EQ(run.pinsAsked, 0);

  run = RunWith(state, {"list"});
  EXPECT_NE(run.out.find("04000000000001  Alice  yes          set     1"), std::string::npos)
      << run.out;
  FakeState empty;
  EXPECT_EQ(json::parse(RunWith(empty, {"list", "--json"}).out), json::array());
}

TEST(HostCliTest, InfoDecodesEveryCapability) {
  FakeState state = OneToken();
  HostRun run = RunWith(state, {"--json", "info"});
  ASSERT_EQ(run.exit, 0) << run.err;
  const json info = json::parse(run.out);
  EXPECT_EQ(info["serial"], "04000000000001");
  ASSERT_EQ(info["capabilities"].size(), 5u);
  EXPECT_EQ(info["capabilities"][0], json::parse(R"({"name":"tcii","type":"boolean","value":true,
                            "meaning":"token initialized"})"));
  EXPECT_EQ(info["capabilities"][2],
            json::parse(R"({"name":"tcl","type":"bytes","value":"416c696365","text":"Alice",
                            "meaning":"label"})"));
  run = RunWith(state, {"info", "--token", "04000000000001"});
  EXPECT_NE(run.out.find("tcm     \"virtual DESFire\"     model"), std::string::npos) << run.out;
}

TEST(HostCliTest, AsksForThePinOnlyWhenTheModuleNeedsIt) {
  FakeState state = OneToken();
  HostRun run = RunWith(state, {"--json", "find", "--public"});
  EXPECT_EQ(run.pinsAsked, 0);
  EXPECT_EQ(json::parse(run.out), json::parse(R"([{"handle":"0x0000000000000010",
      "label":"greeting","application":"app","attributes":"public","size":5}])"));

  run = RunWith(state, {"read", "--label", "greeting"});
  EXPECT_EQ(run.pinsAsked, 0);
  EXPECT_EQ(run.out, "hello");

  state.pinAccepted = false;
  run = RunWith(state, {"read", "--label", "secret", "--hex", "--pin-stdin"});
  EXPECT_EQ(run.pinsAsked, 1);
  EXPECT_EQ(run.out, "7333\n");

  state.pinAccepted = false;
  run = RunWith(state, {"--json", "find"});
  EXPECT_EQ(run.pinsAsked, 1);
  EXPECT_EQ(json::parse(run.out).size(), 2u);
}

// Each failure ends with its exit code and names its cause.
TEST(HostCliTest, FailuresGiveTheirExitCodeAndMessage) {
  const char* const a = "04000000000001";  // Alice's token; Bob's (…02) is locked
  const struct {
    std::vector<const char*> args;
    ModuleResult forced;  // what every token operation answers, when not success
    std::string pin;
    int exit;
    std::string message;
  } cases[] = {
      // clang-format off
      {{"info"}, RESULT_SUCCESS, "", 1, "2 tokens present (04000000000001, 04000000000002)"},
      {{"info", "--token", "0400"}, RESULT_SUCCESS, "", 1, "--token takes a serial of 14 hex"},
      {{"info", "--token", "04000000000007"}, RESULT_SUCCESS, "", 3, "no such token (RESULT_TOKEN_NOT_FOUND)"},
      {{"login", "--token", a}, RESULT_SUCCESS, "9999", 4, "ModuleCheckPIN: PIN is incorrect (RESULT_PIN_INCORRECT)"},
      {{"login", "--token", "04000000000002"}, RESULT_SUCCESS, "1234", 5, "PIN is locked (RESULT_PIN_LOCKED)"},
      {{"login", "--token", a}, RESULT_SUCCESS, "", 1, "no PIN given"},
      {{"read", "--token", a, "--handle", "0x99"}, RESULT_SUCCESS, "", 3, "no such object (RESULT_OBJECT_NOT_FOUND)"},
      {{"read", "--token", a, "--label", "nothing"}, RESULT_SUCCESS, "1234", 3, "no object labelled \"nothing\""},
      {{"read", "--token", a, "--handle", "x1"}, RESULT_SUCCESS, "", 1, "--handle takes a number"},
      {{"find", "--token", a}, RESULT_PIN_REQUIRED, "1234", 6, "PIN is required (RESULT_PIN_REQUIRED)"},
      {{"list"}, RESULT_NOT_SUPPORTED, "", 0, "ModuleGetTokenCapabilities: the module does not support this operation"},
      {{"--module", "other.so", "list"}, RESULT_SUCCESS, "", 2, "cannot load the module: other.so"},
      {{"find", "--public", "--private"}, RESULT_SUCCESS, "", 1, "--public excludes --private"},
      // clang-format on
  };
  for (const auto& c : cases) {
    FakeState state = TwoTokens();
    state.forced = c.forced;
    std::vector<const char*> args = c.args;
    args.insert(args.begin(), "--json");
    const HostRun run = RunWith(state, args, c.pin);
    const std::string what = run.out + run.err;
    EXPECT_EQ(run.exit, c.exit) << c.message << "\n" << what;
    EXPECT_NE(what.find(c.message), std::string::npos) << what;
    // A failure in JSON mode is also an error object on standard output.
    if (c.exit > 1) {
      EXPECT_EQ(json::parse(run.out)["error"]["exitCode"], c.exit) << run.out;
    }
  }
  FakeState none;
  EXPECT_EQ(RunWith(none, {"info"}).exit, 3);
}

}  // namespace
}  // namespace varlo::host
