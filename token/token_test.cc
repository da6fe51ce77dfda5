#include "token/token.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "apps/cardimage/card_image_writer.h"
#include "module/items/crc32.h"
#include "module/items/item.h"
#include "module/module_exception.h"

namespace varlo {
namespace {

using ::testing::ElementsAre;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint64_t kUid = 0x0004A1B2C3D4E5F6;
const std::string kPin = "246810";

std::span<const std::uint8_t> Span(const std::string& text) {
  return std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

SecureBytes Secure(const std::string& text) {
  return SecureBytes(text.begin(), text.end());
}

// Runs `call` and checks that it throws a ModuleException with this text and code.
template <typename Call>
void ExpectFailure(Call call, const std::string& text, ResultCode code) {
  try {
    call();
    ADD_FAILURE() << "no exception, expected \"" << text << "\"";
  } catch (const ModuleException& e) {
    EXPECT_EQ(e.what(), text);
    EXPECT_EQ(e.Code(), code) << text;
  }
}

std::uint64_t HandleOf(const DesfireData& data, const std::string& label) {
  for (const auto& [handle, object] : data.objects) {
    if (object.label == label)
      return handle;
  }
  ADD_FAILURE() << "no object " << label;
  return 0;
}

// One card, made once for the whole suite: the PIN file costs a full PBKDF2 to write.
class TokenTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    cardimage::TokenDescription token;
    token.uid = kUid;
    token.label = "Work token";
    token.pin = Secure(kPin);
    token.objects = {
        {"cert", 5, false, 1, Secure("public certificate")},
        {"key", 0, true, 3, Secure("private key bytes")},
        {"key", 7, false, 3, Secure("a public key")},
        {"empty", 0, true, 4, {}},
    };
    card_ = std::make_unique<DesfireData>(kUid, cardimage::MakeCardImage(token).files);
    ASSERT_TRUE(card_->initialized);
  }
  static void TearDownTestSuite() { card_.reset(); }

  static const DesfireData& Card() { return *card_; }

  static DesfireData CardWith(std::function<void(DesfireData&)> change) {
    DesfireData data = Card();
    change(data);
    return data;
  }

  static inline std::unique_ptr<DesfireData> card_;
};

TEST_F(TokenTest, SessionIdIsTheUidInCardByteOrder) {
  DesfireData data = Card();
  data.uid = 0x0011223344556677;
  Token token(data, nullptr);
  EXPECT_THAT(token.GetUidAsBlob(), ElementsAre(0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77));
  std::array<std::uint8_t, 7> id{};
  token.GetTokenSessionId(id);
  EXPECT_THAT(id, ElementsAre(0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77));
  data.uid = 0xFF11223344556677;  // the top byte is never used
  EXPECT_EQ(Token(data, nullptr).GetUidAsBlob(), token.GetUidAsBlob());
}

TEST_F(TokenTest, WithoutUidThereIsNoSessionIdAndNoKey) {
  Token token(CardWith([](DesfireData& d) { d.uid = 0; }), nullptr);
  const std::string text = "UID missing - cannot derive key from PIN.";
  std::array<std::uint8_t, 7> id{};
  ExpectFailure([&] { token.GetUidAsBlob(); }, text, RESULT_FAILURE);
  ExpectFailure([&] { token.GetTokenSessionId(id); }, text, RESULT_FAILURE);
  ExpectFailure([&] { token.DeriveKeyFromPIN(Span(kPin)); }, text, RESULT_FAILURE);
  ExpectFailure([&] { token.GenerateKeyPublicObjects(); }, text, RESULT_FAILURE);
  ExpectFailure([&] { token.CheckPIN(Span(kPin)); }, text, RESULT_FAILURE);
  ExpectFailure([&] { token.ReadObject(HandleOf(token, "cert")); }, text, RESULT_FAILURE);
  EXPECT_EQ(token.pinErrorCount, 0u);
}

TEST_F(TokenTest, RaisesOneEventWhenCreatedAndOneWhenReleased) {
  std::atomic<int> events = 0;
  auto token = std::make_shared<Token>(Card(), [&events] { ++events; });
  EXPECT_EQ(events, 1);
  std::thread releaser([held = std::move(token)]() mutable { held.reset(); });
  releaser.join();
  EXPECT_EQ(events, 2);
}

TEST_F(TokenTest, AFailingRelayCostsNeitherTheTokenNorItsRelease) {
  int calls = 0;
  {
    Token token(Card(), [&calls] {
      ++calls;
      throw std::runtime_error("host gone");
    });
    EXPECT_TRUE(token.initialized);
  }
  EXPECT_EQ(calls, 2);
}

// One boolean item as it stands on the wire.
Bytes BooleanItem(const std::string& name, bool value) {
  Bytes item = {7, static_cast<std::uint8_t>(name.size() + 1), 0, 0, 0};
  item.insert(item.end(), name.begin(), name.end());
  item.push_back(0);
  item.push_back(value ? 1 : 0);
  return item;
}

Bytes ExpectedCapabilities(const std::string& label, bool initialized, bool noPinUser,
                           bool locked) {
  Bytes root = {6, 4, 0, 0, 0, 't', 'c', 'r', 0, 17, 0, 0, 0};
  auto add = [&root](const Bytes& item) { root.insert(root.end(), item.begin(), item.end()); };
  add(BooleanItem("tcic2", false));
  add(BooleanItem("tcii", initialized));
  add(BooleanItem("tcinpu", noPinUser));
  add({5, 4, 0, 0, 0, 't', 'c', 'l', 0, static_cast<std::uint8_t>(label.size()), 0, 0, 0});
  root.insert(root.end(), label.begin(), label.end());
  const std::string model = "virtual DESFire";
  add({1, 4, 0, 0, 0, 't', 'c', 'm', 0, static_cast<std::uint8_t>(model.size() + 1), 0, 0, 0});
  root.insert(root.end(), model.begin(), model.end());
  root.push_back(0);
  for (const char* name : {"tcif"})
    add(BooleanItem(name, false));
  for (const char* name : {"tcioas", "tcioairo"})
    add(BooleanItem(name, true));
  add(BooleanItem("tccbi", false));
  add(BooleanItem("tcinpp", true));
  for (const char* name : {"tcipn", "tcispp", "tcips", "tcipcp", "tcirbp"}) {
    add(BooleanItem(name, false));
  }
  add(BooleanItem("tcipil", locked));
  add(BooleanItem("tcipicr", false));

  const std::uint32_t n = static_cast<std::uint32_t>(root.size());
  const std::uint32_t crc = Crc32(root);
  Bytes block = {'S', 'R'};
  for (int i = 0; i < 4; ++i)
    block.push_back(static_cast<std::uint8_t>(n >> (8 * i)));
  block.insert(block.end(), root.begin(), root.end());
  for (int i = 0; i < 4; ++i)
    block.push_back(static_cast<std::uint8_t>(crc >> (8 * i)));
  block.push_back('B');
  block.push_back('W');
  return block;
}

TEST_F(TokenTest, CapabilitiesAreThePackedVectorOfSeventeenItems) {
  Token token(Card(), nullptr);
  const Bytes block = token.GetTokenCapabilities();
  EXPECT_EQ(block, ExpectedCapabilities("Work token", true, false, false));
  // Root 13, fifteen booleans (name length + 7 each) 190, "tcl" 13 + 10, "tcm" 9 + 20, pack 12.
  EXPECT_EQ(block.size(), 267u);
}

TEST_F(TokenTest, CapabilitiesFollowTheStateOfTheToken) {
  Token uninitialized(CardWith([](DesfireData& d) {
                        d.initialized = false;
                        d.label.clear();
                        d.pinData.assign(48, 0x13);
                      }),
                      nullptr);
  EXPECT_EQ(uninitialized.GetTokenCapabilities(), ExpectedCapabilities("", false, true, false));
  Token locked(CardWith([](DesfireData& d) { d.pinData.assign(48, 0x42); }), nullptr);
  EXPECT_EQ(locked.GetTokenCapabilities(), ExpectedCapabilities("Work token", true, false, true));
  Token shortPin(CardWith([](DesfireData& d) { d.pinData.assign(47, 0x13); }), nullptr);
  EXPECT_EQ(shortPin.GetTokenCapabilities(), ExpectedCapabilities("Work token", true, false, true));
}

// An item whose size does not fit the block's u32 length.
class HugeItem : public CItem {
 public:
  HugeItem() : CItem("huge", kTypeBuffer) {}
  std::uint64_t GetSize() const override { return 0x100000000ull; }
};

TEST(TokenCapabilityPackingTest, ATreeThatCannotBePackedFails) {
  ExpectFailure([] { detail::PackCapabilities(HugeItem()); },
                "Failed packing token capabilities item vector.", RESULT_FAILURE);
}

TEST_F(TokenTest, UninitializedTokenRefusesSearchObjectsAndPin) {
  Token token(CardWith([](DesfireData& d) { d.initialized = false; }), nullptr);
  const std::string text = "Operation isn't allowed on uninitialized token.";
  const std::uint64_t handle = HandleOf(Card(), "cert");
  ExpectFailure([&] { token.FindObjects({}); }, text, RESULT_WRONG_STATE);
  ExpectFailure([&] { token.GetObject(handle); }, text, RESULT_WRONG_STATE);
  ExpectFailure([&] { token.ReadObject(handle); }, text, RESULT_WRONG_STATE);
  ExpectFailure([&] { token.CheckPIN(Span(kPin)); }, text, RESULT_WRONG_STATE);
  std::array<std::uint8_t, 7> id{};
  EXPECT_NO_THROW(token.GetTokenSessionId(id));
}

SearchCondition Label(const std::string& text) {
  SearchCondition c;
  c.fieldKey = KEY_LABEL;
  c.text = text;
  return c;
}
SearchCondition Attributes(std::uint8_t value) {
  SearchCondition c;
  c.fieldKey = KEY_ATTRIBUTES;
  c.attributes = value;
  return c;
}
SearchCondition AppId(const std::string& text) {
  SearchCondition c;
  c.fieldKey = KEY_APPID;
  c.text = text;
  return c;
}

TEST_F(TokenTest, FindObjectsReturnsHandlesMeetingEveryConditionInHandleOrder) {
  Token token(Card(), nullptr);
  std::vector<std::uint64_t> all;
  for (const auto& entry : token.objects)
    all.push_back(entry.first);
  EXPECT_EQ(token.FindObjects({}), all);

  std::uint64_t privateKey = 0;
  for (const auto& [handle, object] : token.objects) {
    if (object.isPrivate && object.label == "key")
      privateKey = handle;
  }
  EXPECT_THAT(token.FindObjects({Attributes(OBJECT_ATTRIBUTE_PRIVATE), Label("key")}),
              ElementsAre(privateKey));
  const auto keys = token.FindObjects({Label("key")});
  ASSERT_EQ(keys.size(), 2u);
  EXPECT_LT(keys[0], keys[1]);
  EXPECT_EQ(token.FindObjects({Attributes(OBJECT_ATTRIBUTE_PUBLIC)}).size(), 2u);
  EXPECT_THAT(token.FindObjects({AppId("1.3.6.1.4.1.6147.9117.1.1234.8.5")}),
              ElementsAre(HandleOf(token, "cert")));
  EXPECT_TRUE(token.FindObjects({Label("Key")}).empty());  // byte for byte
  SearchCondition missingText;
  missingText.fieldKey = KEY_LABEL;
  EXPECT_TRUE(token.FindObjects({missingText}).empty());
  SearchCondition unknown;
  unknown.fieldKey = 99;
  EXPECT_EQ(token.FindObjects({unknown}), all);

  Token none(CardWith([](DesfireData& d) { d.objects.clear(); }), nullptr);
  EXPECT_TRUE(none.FindObjects({}).empty());
}

TEST(SearchConditionTest, ReadsTheHostRecord) {
  ModuleSearchCondition text{KEY_LABEL, VALUE_TYPE_TEXT, {}};
  text.value.text = "cert";
  EXPECT_EQ(SearchCondition::FromHost(text).text, "cert");
  ModuleSearchCondition null{KEY_APPID, VALUE_TYPE_TEXT, {}};
  null.value.text = nullptr;
  EXPECT_FALSE(SearchCondition::FromHost(null).text.has_value());
  ModuleSearchCondition byte{KEY_ATTRIBUTES, VALUE_TYPE_BYTE, {}};
  byte.value.raw = 0;
  byte.value.byte = 2;
  EXPECT_EQ(SearchCondition::FromHost(byte).attributes, 2);
}

TEST_F(TokenTest, GetObjectCopiesTheObjectOrFails) {
  Token token(Card(), nullptr);
  const std::uint64_t handle = HandleOf(token, "cert");
  EXPECT_EQ(token.GetObject(handle), Card().objects.at(handle));
  std::uint64_t missing = 1;
  while (token.objects.contains(missing))
    ++missing;
  ExpectFailure([&] { token.GetObject(missing); }, "Object not found.", RESULT_OBJECT_NOT_FOUND);
  ExpectFailure([&] { token.ReadObject(missing); }, "Object not found.", RESULT_OBJECT_NOT_FOUND);
}

TEST_F(TokenTest, PublicObjectsReadWithoutPinPrivateOnesNeedIt) {
  Token token(Card(), nullptr);
  EXPECT_EQ(token.ReadObject(HandleOf(token, "cert")), Secure("public certificate"));
  const std::uint64_t privateKey = token.FindObjects({Attributes(1), Label("key")}).at(0);
  ExpectFailure([&] { token.ReadObject(privateKey); }, "PIN is required to read private object.",
                RESULT_PIN_REQUIRED);

  token.CheckPIN(Span(kPin));
  EXPECT_TRUE(token.HasObjectKey());
  EXPECT_EQ(token.ReadObject(privateKey), Secure("private key bytes"));
  EXPECT_TRUE(token.ReadObject(HandleOf(token, "empty")).empty());

  // A later wrong PIN counts but leaves the key from the earlier success in place.
  ExpectFailure([&] { token.CheckPIN(Span(std::string("000000"))); }, "PIN is incorrect.",
                RESULT_PIN_INCORRECT);
  EXPECT_EQ(token.pinErrorCount, 1u);
  EXPECT_EQ(token.ReadObject(privateKey), Secure("private key bytes"));
}

TEST_F(TokenTest, FiveWrongPinsLockAndTheLockHolds) {
  Token token(Card(), nullptr);
  const std::string wrong = "135790";
  for (int i = 1; i <= 5; ++i) {
    ExpectFailure([&] { token.CheckPIN(Span(wrong)); }, "PIN is incorrect.", RESULT_PIN_INCORRECT);
    EXPECT_EQ(token.pinErrorCount, static_cast<std::uint64_t>(i));
  }
  EXPECT_TRUE(token.IsPinLocked());
  EXPECT_EQ(token.pinData, Bytes(48, 0x42));
  ExpectFailure([&] { token.CheckPIN(Span(wrong)); }, "PIN is locked.", RESULT_PIN_LOCKED);
  ExpectFailure([&] { token.CheckPIN(Span(kPin)); }, "PIN is locked.", RESULT_PIN_LOCKED);
  EXPECT_EQ(token.pinErrorCount, 5u);  // a locked PIN does not count
  EXPECT_EQ(token.GetTokenCapabilities(), ExpectedCapabilities("Work token", true, false, true));
}

TEST_F(TokenTest, CorrectPinAfterFourWrongOnesResetsTheCount) {
  Token token(Card(), nullptr);
  for (int i = 0; i < 4; ++i) {
    EXPECT_THROW(token.CheckPIN(Span(std::string("1"))), ModuleException);
  }
  EXPECT_EQ(token.pinErrorCount, 4u);
  token.CheckPIN(Span(kPin));
  EXPECT_EQ(token.pinErrorCount, 0u);
  EXPECT_FALSE(token.IsPinLocked());
}

TEST_F(TokenTest, ErrorCountTakenOverFromTheJsonDocumentLocksAtOnce) {
  for (int count : {7, -1}) {
    nlohmann::json document = nlohmann::json::parse(Card().ToJson());
    document["pinerrcount"] = count;
    Token token(DesfireData(document), nullptr);
    ASSERT_TRUE(token.initialized);
    ASSERT_FALSE(token.IsPinLocked());
    ExpectFailure([&] { token.CheckPIN(Span(std::string("9"))); }, "PIN is incorrect.",
                  RESULT_PIN_INCORRECT);
    EXPECT_TRUE(token.IsPinLocked()) << count;
  }
}

TEST_F(TokenTest, PinDataOf47BytesIsLocked) {
  Token token(CardWith([](DesfireData& d) { d.pinData.resize(47); }), nullptr);
  ExpectFailure([&] { token.CheckPIN(Span(kPin)); }, "PIN is locked.", RESULT_PIN_LOCKED);
  EXPECT_EQ(token.pinErrorCount, 0u);
}

TEST_F(TokenTest, DamagedObjectsFailWithTheirOwnTexts) {
  const std::uint64_t cert = HandleOf(Card(), "cert");
  Token tooLarge(CardWith([cert](DesfireData& d) { d.objects[cert].size = 31; }), nullptr);
  ExpectFailure([&] { tooLarge.ReadObject(cert); }, "Plain data is smaller than object size.",
                RESULT_FAILURE);
  Token shorter(CardWith([cert](DesfireData& d) { d.objects[cert].size -= 1; }), nullptr);
  ExpectFailure([&] { shorter.ReadObject(cert); }, "Plain object data crc mismatch.",
                RESULT_OBJECT_CRC_MISMATCH);
  Token cut(CardWith([cert](DesfireData& d) { d.objects[cert].value.resize(31); }), nullptr);
  ExpectFailure([&] { cut.ReadObject(cert); }, "Cipher data is not multiple of block size.",
                RESULT_FAILURE);
  Token empty(CardWith([cert](DesfireData& d) { d.objects[cert].value.clear(); }), nullptr);
  ExpectFailure([&] { empty.ReadObject(cert); }, "Cipher data is not multiple of block size.",
                RESULT_FAILURE);
}

TEST(TokenCryptoTest, TwofishDecryptChecksKeyAndBlockSizes) {
  const Bytes key(32, 1);
  ExpectFailure([&] { Token::TwoFishDecrypt(Bytes(16, 1), Bytes(16)); }, "Key length mismatch.",
                RESULT_FAILURE);
  ExpectFailure([&] { Token::TwoFishDecrypt(key, Bytes(17)); },
                "Cipher data is not multiple of block size.", RESULT_FAILURE);
  // The writer's independent Twofish encryption round-trips, nothing stripped.
  const SecureBytes content = Secure("0123456789abcdef0123456789abcdef");
  const Bytes stored = cardimage::StoredObject(content, key);
  const SecureBytes plain = Token::TwoFishDecrypt(key, stored);
  ASSERT_EQ(plain.size(), 48u);
  EXPECT_EQ(SecureBytes(plain.begin() + 2, plain.begin() + 34), content);
}

TEST_F(TokenTest, KeysMatchTheIndependentDerivations) {
  Token token(Card(), nullptr);
  EXPECT_EQ(token.GenerateKeyPublicObjects(), cardimage::PublicObjectKey(kUid));
  EXPECT_EQ(token.DeriveKeyFromPIN(Span(kPin)), cardimage::PinKey(Secure(kPin), kUid));
}

}  // namespace
}  // namespace varlo
