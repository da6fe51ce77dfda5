// libvarlo-pkcs11.so as PKCS#11 clients meet it: the real pkcs11-tool against tokens of virtual
// DESFire cards in the machine's pcscd, with varlo-tokend as the local token service.
//
// The test process keeps the bridge loaded itself: a module reports only the cards presented
// while it runs, and its service stores each token, so that the clients, each loading the
// bridge anew, get the tokens from the service. Every test starts with the readers empty and the
// store empty.
#include <p11-kit/pkcs11.h>

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <set>
#include <sstream>
#include <thread>

#include "apps/cardimage/card_image_writer.h"
#include "common/hex.h"
#include "platform/dynlib/shared_library.h"
#include "platform/process/child_process.h"
#include "tests/rig/pcsc_rig.h"
#include "tests/service/tokend_process.h"

namespace varlo {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto kDeadline = 10s;
constexpr std::uint64_t kUid = 0x04B1D9E0000001;
const std::string kUidHex = "04b1d9e0000001";
const std::string kNote = "a public note\n";

// pkcs11-tool and p11tool are not built with the sanitizers, and an instrumented library cannot
// be loaded into a program that is not.
#ifdef VARLO_SANITIZED
#define SKIP_FOR_EXTERNAL_CLIENTS() \
  GTEST_SKIP() << "external clients cannot load a sanitized bridge"
#else
#define SKIP_FOR_EXTERNAL_CLIENTS() (void)0
#endif

SecureBytes Bytes(std::string_view text) {
  return SecureBytes(text.begin(), text.end());
}

// Label "Bridge token", PIN 4711: a public note, a public certificate (application 7) and a
// private secret with zero bytes inside.
cardimage::TokenDescription Token() {
  cardimage::TokenDescription token{kUid, "Bridge token", Bytes("4711"), {}, {}, {}};
  SecureBytes secret(70, 0x5E);
  secret[10] = 0;
  token.objects = {{"note", 0, false, 3, Bytes(kNote)},
                   {"certificate", 7, false, 1, SecureBytes(300, 0xCE)},
                   {"secret", 0, true, 3, secret}};
  return token;
}

template <typename Condition>
bool Eventually(Condition condition) {
  const auto deadline = Clock::now() + kDeadline;
  while (!condition()) {
    if (Clock::now() >= deadline)
      return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

struct ToolRun {
  int exitCode = -1;
  std::string output;  // standard output and error
};

class Pkcs11EndToEndTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    rig = new testrig::PcscRig();
    service = new testservice::TokendProcess();
    setenv("VARLO_PIPE_DIR", service->PipeDirectory().c_str(), 1);
    setenv("VARLO_USER_REGISTRY", (rig->Directory() / "none.reg").c_str(), 1);
    setenv("VARLO_MACHINE_REGISTRY", (rig->Directory() / "none.reg").c_str(), 1);
    image = new fs::path(WriteImage(Token()));
  }
  static void TearDownTestSuite() {
    delete image;
    delete service;
    delete rig;
  }

  void SetUp() override {
    library_ = std::make_unique<platform::SharedLibrary>(VARLO_PKCS11_BRIDGE);
    auto getList = library_->Get<CK_C_GetFunctionList>("C_GetFunctionList");
    ASSERT_NE(getList, nullptr);
    ASSERT_EQ(getList(&p11_), CKR_OK);
    ASSERT_EQ(p11_->C_Initialize(nullptr), CKR_OK);
  }
  void TearDown() override {
    EXPECT_EQ(p11_->C_Finalize(nullptr), CKR_OK);
    if (waiter_.valid()) {
      EXPECT_EQ(waiter_.get().first, CKR_CRYPTOKI_NOT_INITIALIZED);
    }
    library_.reset();
    if (rig->Card(0).Status() != "removed")
      rig->Remove(0);
    service->Clear();
  }

  static fs::path WriteImage(const cardimage::TokenDescription& token) {
    const cardimage::CardImage card = cardimage::MakeCardImage(token);
    testrig::CardImageContent content;
    content.uid = ToHex(cardimage::UidBlob(card.uid));
    content.appKey = ToHex(card.appKey);
    for (const auto& [number, bytes] : card.files)
      content.files[number].assign(bytes.begin(), bytes.end());
    return rig->WriteImage(content.uid, content);
  }

  // Waits for the next slot event in another thread; the answer is the result and the slot.
  void StartWaiting() {
    waiter_ = std::async(std::launch::async, [this] {
      CK_SLOT_ID slot = 0;
      const CK_RV result = p11_->C_WaitForSlotEvent(0, &slot, nullptr);
      return std::pair{result, slot};
    });
  }
  std::pair<CK_RV, CK_SLOT_ID> Waited() {
    if (waiter_.wait_for(kDeadline) != std::future_status::ready)
      return {CKR_GENERAL_ERROR, 0};
    return waiter_.get();
  }

  std::vector<CK_SLOT_ID> Slots() {
    CK_ULONG count = 0;
    EXPECT_EQ(p11_->C_GetSlotList(CK_TRUE, nullptr, &count), CKR_OK);
    std::vector<CK_SLOT_ID> slots(count);
    EXPECT_EQ(p11_->C_GetSlotList(CK_TRUE, slots.data(), &count), CKR_OK);
    slots.resize(count);
    return slots;
  }

  // Presents the card while the bridge here is loaded, waits for its slot and for the service
  // to store the token, and takes the card off again (the token stays).
  CK_SLOT_ID AddToken() {
    StartWaiting();
    rig->Present(0, *image);
    const auto [result, slot] = Waited();
    EXPECT_EQ(result, CKR_OK);
    rig->Remove(0);
    EXPECT_TRUE(
        Eventually([] { return service->List().output.find(kUidHex) != std::string::npos; }));
    return slot;
  }

  static ToolRun Tool(const std::vector<std::string>& arguments) {
    const fs::path output = rig->Directory() / "tool.out";
    fs::remove(output);
    platform::SpawnOptions spawn;
    spawn.argv = arguments;
    spawn.outputFile = output;
    auto tool = platform::ChildProcess::Spawn(spawn);
    const auto code = tool->WaitExit(Clock::now() + kDeadline);
    ToolRun run;
    run.exitCode = code ? *code : tool->Stop(1s);
    std::ifstream in(output, std::ios::binary);
    run.output.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return run;
  }
  static ToolRun Pkcs11Tool(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {"pkcs11-tool", "--module", VARLO_PKCS11_BRIDGE});
    return Tool(arguments);
  }
  // The object's bytes as pkcs11-tool reads them into a file.
  static std::string ReadObject(const std::string& label, std::vector<std::string> login = {}) {
    const fs::path file = rig->Directory() / "object.bin";
    fs::remove(file);
    std::vector<std::string> arguments{"--read-object", "--type",        "data",       "--label",
                                       label,           "--output-file", file.string()};
    arguments.insert(arguments.end(), login.begin(), login.end());
    const ToolRun run = Pkcs11Tool(arguments);
    EXPECT_EQ(run.exitCode, 0) << run.output;
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  static inline testrig::PcscRig* rig = nullptr;
  static inline testservice::TokendProcess* service = nullptr;
  static inline fs::path* image = nullptr;

  std::unique_ptr<platform::SharedLibrary> library_;
  CK_FUNCTION_LIST* p11_ = nullptr;
  std::future<std::pair<CK_RV, CK_SLOT_ID>> waiter_;
};

TEST_F(Pkcs11EndToEndTest, TokenIsASlotWithItsLabelSerialAndReadOnlyFlags) {
  const CK_SLOT_ID slot = AddToken();
  ASSERT_EQ(Slots(), std::vector{slot});
  CK_TOKEN_INFO info{};
  ASSERT_EQ(p11_->C_GetTokenInfo(slot, &info), CKR_OK);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(info.label), sizeof info.label),
            "Bridge token" + std::string(20, ' '));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(info.serialNumber), 14), kUidHex);
  EXPECT_EQ(info.flags & (CKF_WRITE_PROTECTED | CKF_TOKEN_INITIALIZED | CKF_USER_PIN_INITIALIZED),
            CKF_WRITE_PROTECTED | CKF_TOKEN_INITIALIZED | CKF_USER_PIN_INITIALIZED);
  CK_SESSION_HANDLE session = 0;
  EXPECT_EQ(
      p11_->C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &session),
      CKR_TOKEN_WRITE_PROTECTED);

  // The private object is there from login to logout only.
  ASSERT_EQ(p11_->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &session), CKR_OK);
  auto objects = [&] {
    CK_OBJECT_HANDLE found[8];
    CK_ULONG count = 0;
    EXPECT_EQ(p11_->C_FindObjectsInit(session, nullptr, 0), CKR_OK);
    EXPECT_EQ(p11_->C_FindObjects(session, found, 8, &count), CKR_OK);
    EXPECT_EQ(p11_->C_FindObjectsFinal(session), CKR_OK);
    return count;
  };
  CK_UTF8CHAR pin[] = "4711";
  EXPECT_EQ(objects(), 2u);
  ASSERT_EQ(p11_->C_Login(session, CKU_USER, pin, 4), CKR_OK);
  EXPECT_EQ(objects(), 3u);
  ASSERT_EQ(p11_->C_Logout(session), CKR_OK);
  EXPECT_EQ(objects(), 2u);

  StartWaiting();  // C_Finalize ends the wait (TearDown checks)
}

TEST_F(Pkcs11EndToEndTest, Pkcs11ToolListsFindsAndReadsTheObjects) {
  SKIP_FOR_EXTERNAL_CLIENTS();
  AddToken();
  const ToolRun slots = Pkcs11Tool({"-L"});
  EXPECT_EQ(slots.exitCode, 0) << slots.output;
  EXPECT_NE(slots.output.find("token label        : Bridge token"), std::string::npos)
      << slots.output;
  EXPECT_NE(slots.output.find("serial num         : " + kUidHex), std::string::npos);

  const ToolRun publicOnly = Pkcs11Tool({"-O"});
  EXPECT_EQ(publicOnly.exitCode, 0) << publicOnly.output;
  EXPECT_NE(publicOnly.output.find("label:          'note'"), std::string::npos)
      << publicOnly.output;
  EXPECT_NE(publicOnly.output.find("label:          'certificate'"), std::string::npos);
  EXPECT_EQ(publicOnly.output.find("secret"), std::string::npos);

  const ToolRun all = Pkcs11Tool({"-O", "--login", "--pin", "4711"});
  EXPECT_EQ(all.exitCode, 0) << all.output;
  EXPECT_NE(all.output.find("label:          'secret'"), std::string::npos) << all.output;
  EXPECT_NE(all.output.find("private"), std::string::npos);

  EXPECT_EQ(ReadObject("note"), kNote);
  EXPECT_EQ(ReadObject("certificate"), std::string(300, '\xCE'));
  std::string secret(70, '\x5E');
  secret[10] = 0;
  EXPECT_EQ(ReadObject("secret", {"--login", "--pin", "4711"}), secret);
}

// A wrong PIN is incorrect for pkcs11-tool; the token's flags count the wrong PINs down to the
// lock, and the lock holds for the right PIN too.
TEST_F(Pkcs11EndToEndTest, WrongPinsAreIncorrectUntilTheTokenLocks) {
  const CK_SLOT_ID slot = AddToken();
#ifndef VARLO_SANITIZED
  const ToolRun tool = Pkcs11Tool({"-O", "--login", "--pin", "0000"});
  EXPECT_NE(tool.exitCode, 0);
  EXPECT_NE(tool.output.find("CKR_PIN_INCORRECT"), std::string::npos) << tool.output;
#endif
  CK_SESSION_HANDLE session = 0;
  ASSERT_EQ(p11_->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &session), CKR_OK);
  CK_UTF8CHAR wrong[] = "0000", right[] = "4711";
  constexpr CK_FLAGS kPinFlags =
      CKF_USER_PIN_COUNT_LOW | CKF_USER_PIN_FINAL_TRY | CKF_USER_PIN_LOCKED;
  const std::pair<CK_RV, CK_FLAGS> expected[] = {
      {CKR_PIN_INCORRECT, CKF_USER_PIN_COUNT_LOW},
      {CKR_PIN_INCORRECT, CKF_USER_PIN_COUNT_LOW},
      {CKR_PIN_INCORRECT, CKF_USER_PIN_COUNT_LOW},
      {CKR_PIN_INCORRECT, CKF_USER_PIN_COUNT_LOW | CKF_USER_PIN_FINAL_TRY},
      {CKR_PIN_INCORRECT, CKF_USER_PIN_LOCKED},
      {CKR_PIN_LOCKED, CKF_USER_PIN_LOCKED},
  };
  for (const auto& [result, flags] : expected) {
    EXPECT_EQ(p11_->C_Login(session, CKU_USER, wrong, 4), result);
    CK_TOKEN_INFO info{};
    ASSERT_EQ(p11_->C_GetTokenInfo(slot, &info), CKR_OK);
    EXPECT_EQ(info.flags & kPinFlags, flags);
  }
  EXPECT_EQ(p11_->C_Login(session, CKU_USER, right, 4), CKR_PIN_LOCKED);
}

// p11-kit lists the bridge by the build's module file, and p11tool loads it through p11-kit.
// p11-kit reads no user configuration for root: then the file's folder is mounted over p11-kit's
// system folder, in a mount namespace that only these programs see.
TEST_F(Pkcs11EndToEndTest, P11KitListsTheBridgeAndP11toolItsObjects) {
  SKIP_FOR_EXTERNAL_CLIENTS();
  AddToken();
  const std::string url = "pkcs11:token=Bridge%20token";
  ToolRun run;
  if (geteuid() == 0) {
    constexpr int kNoNamespace = 99;
    run = Tool({"unshare", "--mount", "sh", "-c",
                "mount --bind \"$0\" \"$1\" || exit 99; p11-kit list-modules && "
                "exec p11tool --list-all \"$2\"",
                VARLO_P11KIT_USER_CONFIG "/pkcs11/modules", VARLO_P11KIT_SYSTEM_MODULES, url});
    if (run.exitCode == kNoNamespace)
      GTEST_SKIP() << "no mount namespace for p11tool: " << run.output;
  } else {
    setenv("XDG_CONFIG_HOME", VARLO_P11KIT_USER_CONFIG, 1);
    run = Tool({"p11-kit", "list-modules"});
    const ToolRun tool = Tool({"p11tool", "--list-all", url});
    run = {tool.exitCode, run.output + tool.output};
  }
  EXPECT_EQ(run.exitCode, 0) << run.output;
  EXPECT_NE(run.output.find("varlo-pkcs11: "), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("object=note;type=data"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("object=certificate;type=data"), std::string::npos) << run.output;
  EXPECT_EQ(run.output.find("object=secret"), std::string::npos) << run.output;
}

TEST_F(Pkcs11EndToEndTest, PresentingTheCardAgainTakesItsSlotAway) {
  const CK_SLOT_ID slot = AddToken();
  StartWaiting();
  rig->Present(0, *image);
  EXPECT_EQ(Waited(), std::pair(CK_RV{CKR_OK}, slot));
  EXPECT_TRUE(Slots().empty());
  CK_TOKEN_INFO info{};
  EXPECT_EQ(p11_->C_GetTokenInfo(slot, &info), CKR_SLOT_ID_INVALID);
  ASSERT_TRUE(Eventually([] { return service->List().output.find(kUidHex) == std::string::npos; }));
  SKIP_FOR_EXTERNAL_CLIENTS();
  const ToolRun slots = Pkcs11Tool({"-L"});
  EXPECT_EQ(slots.output.find("Bridge token"), std::string::npos) << slots.output;
}

}  // namespace
}  // namespace varlo
