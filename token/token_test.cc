// The token on a card written by the independent card-image writer (Crypto++'s stock PBKDF2
// and Twofish), so every PIN check and read also checks the keys and the decryption: session
// id, events, capabilities, search, object reading, PIN count and lock, every failure text.
#include "token/token.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <nlohmann/json.hpp>

#include "apps/cardimage/card_image_writer.h"
#include "common/module_exception.h"
#include "items/crc32.h"
#include "items/item.h"

namespace varlo {
namespace {

using ::testing::ElementsAre;
using Bytes = std::vector<std::uint8_t>;
constexpr std::uint64_t kUid = 0x0004A1B2C3D4E5F6;
constexpr char kUninitialized[] = "Operation isn't allowed on uninitialized token.";

SecureBytes Secure(const std::string& text) {
  return SecureBytes(text.begin(), text.end());
}
const SecureBytes kPin = Secure("246810");
const SecureBytes kWrongPin = Secure("135790");

// Runs `call` and checks that it throws a ModuleException with this text and code.
void ExpectFailure(const std::function<void()>& call, const std::string& text, ResultCode code) {
  try {
    call();
    ADD_FAILURE() << "no exception, expected \"" << text << "\"";
  } catch (const ModuleException& e) {
    EXPECT_EQ(e.what(), text);
    EXPECT_EQ(e.Code(), code) << text;
  }
}

// The packed capability block, built from the item format without the item classes.
Bytes Capabilities(const std::string& label, bool initialized, bool noPinUser, bool locked) {
  Bytes root;
  auto item = [&root](std::uint8_t type, const std::string& name, const std::string& value) {
    root.insert(root.end(), {type, static_cast<std::uint8_t>(name.size() + 1), 0, 0, 0});
    root.insert(root.end(), name.c_str(), name.c_str() + name.size() + 1);  // and a zero
    root.insert(root.end(), value.begin(), value.end());
  };
  item(6, "tcr", std::string("\x11\0\0\0", 4));
  const std::pair<const char*, int> items[] = {
      {"tcic2", 0},  {"tcii", initialized}, {"tcinpu", noPinUser}, {"tcl", -1},
      {"tcm", -2},   {"tcif", 0},           {"tcioas", 1},         {"tcioairo", 1},
      {"tccbi", 0},  {"tcinpp", 1},         {"tcipn", 0},          {"tcispp", 0},
      {"tcips", 0},  {"tcipcp", 0},         {"tcirbp", 0},         {"tcipil", locked},
      {"tcipicr", 0}};
  for (const auto& [name, value] : items) {
    if (value == -1)
      item(5, name, std::string{static_cast<char>(label.size()), 0, 0, 0} + label);
    else if (value == -2)
      item(1, name, std::string("\x10\0\0\0virtual DESFire", 19) + '\0');
    else
      item(7, name, std::string(1, static_cast<char>(value)));
  }
  std::string block = "SR";
  for (std::uint32_t word : {static_cast<std::uint32_t>(root.size()), Crc32(root)}) {
    for (int shift = 0; shift < 32; shift += 8)
      block += static_cast<char>(word >> shift);
    if (block.size() == 6)
      block.append(root.begin(), root.end());
  }
  block += "BW";
  return Bytes(block.begin(), block.end());
}

// One card for the whole suite: writing its PIN file costs a full PBKDF2.
class TokenTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    cardimage::TokenDescription token;
    token.uid = kUid;
    token.label = "Work token";
    token.pin = kPin;
    token.objects = {{"cert", 5, false, 1, Secure("public certificate")},
                     {"key", 0, true, 3, Secure("private key bytes")},
                     {"key", 7, false, 3, Secure("a public key")},
                     {"empty", 0, true, 4, {}}};
    card_ = std::make_unique<DesfireData>(kUid, cardimage::MakeCardImage(token).files);
    ASSERT_TRUE(card_->initialized);
  }
  static void TearDownTestSuite() { card_.reset(); }

  static DesfireData CardWith(const std::function<void(DesfireData&)>& change) {
    DesfireData data = *card_;
    change(data);
    return data;
  }
  static std::uint64_t Handle(const std::string& label, bool isPrivate) {
    for (const auto& [handle, object] : card_->objects) {
      if (object.label == label && object.isPrivate == isPrivate)
        return handle;
    }
    return 0;
  }
  static SearchCondition Condition(std::uint32_t key, std::string text, std::uint8_t byte = 0) {
    return {key, std::move(text), byte};
  }

  static inline std::unique_ptr<DesfireData> card_;
};

TEST_F(TokenTest, SessionIdIsTheUidInCardByteOrderAndNeedsAUid) {
  Token token(CardWith([](DesfireData& d) { d.uid = 0xFF11223344556677; }), nullptr);
  SessionId id{};
  token.GetTokenSessionId(id);
  EXPECT_THAT(id, ElementsAre(0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77));  // top byte unused
  EXPECT_EQ(token.GetUidAsBlob(), id);

  Token noUid(CardWith([](DesfireData& d) { d.uid = 0; }), nullptr);
  const std::function<void()> calls[] = {
      [&] { noUid.GetTokenSessionId(id); }, [&] { noUid.DeriveKeyFromPIN(kPin); },
      [&] { noUid.GenerateKeyPublicObjects(); }, [&] { noUid.CheckPIN(kPin); },
      [&] { noUid.ReadObject(Handle("cert", false)); }};
  for (const auto& call : calls)
    ExpectFailure(call, "UID missing - cannot derive key from PIN.", RESULT_FAILURE);
  EXPECT_EQ(noUid.pinErrorCount, 0u);
}

TEST_F(TokenTest, OneEventWhenCreatedAndOneWhenReleasedEvenIfTheRelayFails) {
  std::atomic<int> events = 0;
  auto token = std::make_shared<Token>(*card_, [&events] { ++events; });
  EXPECT_EQ(events, 1);
  std::thread([held = std::move(token)]() mutable { held.reset(); }).join();
  EXPECT_EQ(events, 2);
  {
    Token failing(*card_, [&events] { throw std::runtime_error(std::to_string(++events)); });
  }
  EXPECT_EQ(events, 4);
}

TEST_F(TokenTest, CapabilitiesFollowTheStateOfTheToken) {
  const Bytes block = Token(*card_, nullptr).GetTokenCapabilities();
  EXPECT_EQ(block, Capabilities("Work token", true, false, false));
  EXPECT_EQ(block.size(), 267u);
  Token noPinUser(CardWith([](DesfireData& d) {
                    d.initialized = false;
                    d.label.clear();
                    d.pinData.assign(48, 0x13);
                  }),
                  nullptr);
  EXPECT_EQ(noPinUser.GetTokenCapabilities(), Capabilities("", false, true, false));
  for (std::size_t size : {48, 47}) {
    Token locked(
        CardWith([size](DesfireData& d) { d.pinData.assign(size, size == 48 ? 0x42 : 0x13); }),
        nullptr);
    EXPECT_EQ(locked.GetTokenCapabilities(), Capabilities("Work token", true, false, true));
  }
  // A tree whose size does not fit the block's u32 length cannot be packed.
  struct HugeItem : CItem {
    HugeItem() : CItem("huge", kTypeBuffer) {}
    std::uint64_t GetSize() const override { return 0x100000000ull; }
  };
  ExpectFailure([] { detail::PackCapabilities(HugeItem()); },
                "Failed packing token capabilities item vector.", RESULT_FAILURE);
}

TEST_F(TokenTest, FindObjectsInHandleOrder) {
  Token token(*card_, nullptr);
  const std::uint64_t cert = Handle("cert", false), privateKey = Handle("key", true);
  const std::uint64_t publicKey = Handle("key", false), empty = Handle("empty", true);
  auto sorted = [](std::vector<std::uint64_t> handles) {
    std::sort(handles.begin(), handles.end());
    return handles;
  };
  EXPECT_EQ(token.FindObjects({}), sorted({cert, privateKey, publicKey, empty}));
  EXPECT_EQ(token.FindObjects({Condition(KEY_ATTRIBUTES, "", 1), Condition(KEY_LABEL, "key")}),
            (std::vector{privateKey}));
  EXPECT_EQ(token.FindObjects({Condition(KEY_LABEL, "key")}), sorted({privateKey, publicKey}));
  EXPECT_EQ(token.FindObjects({Condition(KEY_ATTRIBUTES, "", 2)}), sorted({cert, publicKey}));
  EXPECT_EQ(token.FindObjects({Condition(KEY_APPID, "1.3.6.1.4.1.6147.9117.1.1234.8.5")}),
            (std::vector{cert}));
  EXPECT_TRUE(token.FindObjects({Condition(KEY_LABEL, "Key")}).empty());  // byte for byte
  EXPECT_TRUE(token.FindObjects({SearchCondition{KEY_LABEL, std::nullopt, 0}}).empty());
  EXPECT_EQ(token.FindObjects({Condition(99, "")}).size(), 4u);
  EXPECT_TRUE(
      Token(CardWith([](DesfireData& d) { d.objects.clear(); }), nullptr).FindObjects({}).empty());
}

TEST_F(TokenTest, UnknownHandlesAndUninitializedTokens) {
  Token token(*card_, nullptr);
  ExpectFailure([&] { token.ReadObject(1); }, "Object not found.", RESULT_OBJECT_NOT_FOUND);
  ExpectFailure([&] { token.GetObject(1); }, "Object not found.", RESULT_OBJECT_NOT_FOUND);
  EXPECT_EQ(token.GetObject(Handle("cert", false)), card_->objects.at(Handle("cert", false)));

  Token uninitialized(CardWith([](DesfireData& d) { d.initialized = false; }), nullptr);
  const std::function<void()> calls[] = {[&] { uninitialized.FindObjects({}); },
                                         [&] { uninitialized.GetObject(Handle("cert", false)); },
                                         [&] { uninitialized.ReadObject(Handle("cert", false)); },
                                         [&] { uninitialized.CheckPIN(kPin); }};
  for (const auto& call : calls)
    ExpectFailure(call, kUninitialized, RESULT_WRONG_STATE);
}

TEST_F(TokenTest, PublicObjectsNeedNoPinPrivateOnesNeedOne) {
  Token token(*card_, nullptr);
  EXPECT_EQ(token.ReadObject(Handle("cert", false)), Secure("public certificate"));
  ExpectFailure([&] { token.ReadObject(Handle("key", true)); },
                "PIN is required to read private object.", RESULT_PIN_REQUIRED);
  token.CheckPIN(kPin);
  EXPECT_EQ(token.ReadObject(Handle("key", true)), Secure("private key bytes"));
  EXPECT_TRUE(token.ReadObject(Handle("empty", true)).empty());
  // A later wrong PIN counts but leaves the key of the earlier success in place.
  ExpectFailure([&] { token.CheckPIN(kWrongPin); }, "PIN is incorrect.", RESULT_PIN_INCORRECT);
  EXPECT_EQ(token.pinErrorCount, 1u);
  EXPECT_EQ(token.ReadObject(Handle("key", true)), Secure("private key bytes"));
}

TEST_F(TokenTest, FiveWrongPinsLockACorrectOneResetsTheCount) {
  Token token(*card_, nullptr);
  for (std::uint64_t count = 1; count <= 4; ++count) {
    ExpectFailure([&] { token.CheckPIN(kWrongPin); }, "PIN is incorrect.", RESULT_PIN_INCORRECT);
    EXPECT_EQ(token.pinErrorCount, count);
  }
  token.CheckPIN(kPin);
  EXPECT_EQ(token.pinErrorCount, 0u);
  for (int i = 1; i <= 5; ++i)
    ExpectFailure([&] { token.CheckPIN(kWrongPin); }, "PIN is incorrect.", RESULT_PIN_INCORRECT);
  EXPECT_EQ(token.pinData, SecureBytes(48, 0x42));
  ExpectFailure([&] { token.CheckPIN(kPin); }, "PIN is locked.", RESULT_PIN_LOCKED);
  EXPECT_EQ(token.pinErrorCount, 5u);  // a locked PIN does not count
  EXPECT_EQ(token.GetTokenCapabilities(), Capabilities("Work token", true, false, true));

  Token shortPinData(CardWith([](DesfireData& d) { d.pinData.resize(47); }), nullptr);
  ExpectFailure([&] { shortPinData.CheckPIN(kPin); }, "PIN is locked.", RESULT_PIN_LOCKED);
  EXPECT_EQ(shortPinData.pinErrorCount, 0u);
}

TEST_F(TokenTest, TheJsonDocumentOfOneTokenCarriesItsStateToAnother) {
  Token first(*card_, nullptr);
  EXPECT_THROW(first.CheckPIN(kWrongPin), ModuleException);
  Token second(DesfireData(nlohmann::json::parse(first.ToJson())), nullptr);
  EXPECT_EQ(second.pinErrorCount, 1u);
  EXPECT_EQ(second.GetTokenCapabilities(), first.GetTokenCapabilities());
  second.CheckPIN(kPin);
  EXPECT_EQ(second.ReadObject(
                second.FindObjects({Condition(KEY_ATTRIBUTES, "", 1), Condition(KEY_LABEL, "key")})
                    .at(0)),
            Secure("private key bytes"));
  // A count of 7 (or -1, read as the largest count) taken over: the next wrong PIN locks.
  for (int count : {7, -1}) {
    nlohmann::json document = nlohmann::json::parse(first.ToJson());
    document["pinerrcount"] = count;
    Token third(DesfireData(document), nullptr);
    ASSERT_FALSE(third.IsPinLocked());
    ExpectFailure([&] { third.CheckPIN(kWrongPin); }, "PIN is incorrect.", RESULT_PIN_INCORRECT);
    EXPECT_TRUE(third.IsPinLocked()) << count;
  }
}

TEST_F(TokenTest, DamagedObjectsFailWithTheirOwnTexts) {
  const std::uint64_t cert = Handle("cert", false);  // 18 bytes: 32 stored
  const std::vector<std::tuple<std::function<void(TokenObject&)>, std::string, ResultCode>> faults =
      {
          {[](TokenObject& o) { o.size = 31; }, "Plain data is smaller than object size.",
           RESULT_FAILURE},
          {[](TokenObject& o) { o.size -= 1; }, "Plain object data crc mismatch.",
           RESULT_OBJECT_CRC_MISMATCH},
          {[](TokenObject& o) { o.value.resize(31); }, "Cipher data is not multiple of block size.",
           RESULT_FAILURE},
          {[](TokenObject& o) { o.value.clear(); }, "Cipher data is not multiple of block size.",
           RESULT_FAILURE},
      };
  for (const auto& [spoil, text, code] : faults) {
    Token token(CardWith([&, &spoil = spoil](DesfireData& d) { spoil(d.objects[cert]); }), nullptr);
    ExpectFailure([&] { token.ReadObject(cert); }, text, code);
  }
  ExpectFailure([] { Token::TwoFishDecrypt(Bytes(16, 1), Bytes(16)); }, "Key length mismatch.",
                RESULT_FAILURE);
}

}  // namespace
}  // namespace varlo
