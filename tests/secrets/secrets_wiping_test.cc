// No secret outlives its use in memory that goes back to the allocator. The test replaces the
// global operator new and delete: every block is searched for the watched byte patterns as it is
// freed. The module reads a card whose PIN, object key and private object are such patterns,
// checks the PIN and reads the object through the host's table; the service stores and returns
// a document holding one. Blocks freed by a self-wiping container hold zeros by then.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>

#include "apps/cardimage/card_image_writer.h"
#include "apps/tokend/module_requests.h"
#include "card/desfire.h"
#include "card/testing/fake_pcsc.h"
#include "card/testing/forwarding_pcsc.h"
#include "module/module_state.h"
#include "module/operations.h"
#include "platform/process/scratch.h"
#include "token/testing/fake_parts.h"
#include "tokendata/token_json.h"

namespace varlo {
namespace {

struct Pattern {
  const char* name = nullptr;
  const std::uint8_t* bytes = nullptr;
  std::size_t size = 0;
  std::atomic<int> hits{0};
};
std::array<Pattern, 8> patterns;
std::atomic<std::size_t> patternCount{0};
std::atomic<bool> armed{false};
thread_local bool paused = false;  // the fake card's own buffers are not the module's

#ifndef VARLO_SANITIZED_BUILD
// Called on every free; allocates nothing.
void Scan(const std::uint8_t* block, std::size_t size) {
  if (!armed || paused)
    return;
  for (std::size_t i = 0; i < patternCount; ++i) {
    Pattern& p = patterns[i];
    if (std::search(block, block + size, p.bytes, p.bytes + p.size) != block + size)
      ++p.hits;
  }
}

// Each block starts with a header that holds its size and alignment, so that an unsized delete
// knows how much to search.
void* Allocate(std::size_t size, std::size_t align) noexcept {
  align = std::max<std::size_t>(align, 2 * sizeof(std::size_t));
  auto* raw = static_cast<std::uint8_t*>(std::aligned_alloc(align, (size / align + 2) * align));
  if (raw == nullptr)
    return nullptr;
  std::memcpy(raw + align - sizeof size, &size, sizeof size);
  std::memcpy(raw + align - 2 * sizeof align, &align, sizeof align);
  return raw + align;
}

void Release(void* pointer) noexcept {
  if (pointer == nullptr)
    return;
  auto* block = static_cast<std::uint8_t*>(pointer);
  std::size_t size = 0, align = 0;
  std::memcpy(&size, block - sizeof size, sizeof size);
  std::memcpy(&align, block - 2 * sizeof align, sizeof align);
  Scan(block, size);
  std::free(block - align);
}

void* AllocateOrThrow(std::size_t size, std::size_t align) {
  if (void* block = Allocate(size, align))
    return block;
  throw std::bad_alloc();
}
#endif

void Watch(const char* name, std::span<const std::uint8_t> bytes) {
  Pattern& p = patterns[patternCount++];
  p.name = name;
  p.bytes = bytes.data();
  p.size = bytes.size();
  p.hits = 0;
}

void ExpectNoneFreed() {
  armed = false;
  for (std::size_t i = 0; i < patternCount; ++i)
    EXPECT_EQ(patterns[i].hits, 0) << "freed blocks held the " << patterns[i].name;
  patternCount = 0;
}

SecureBytes Bytes(std::string_view text) {
  return SecureBytes(text.begin(), text.end());
}

// The card answers with the scan paused: its buffers are the test's, not the module's.
struct CardSide : testing::ForwardingPcsc {
  using ForwardingPcsc::ForwardingPcsc;
  LONG Transmit(SCARDHANDLE card, DWORD protocol, std::span<const std::uint8_t> command,
                std::span<std::uint8_t> response, DWORD* length) override {
    paused = true;
    const LONG result = ForwardingPcsc::Transmit(card, protocol, command, response, length);
    paused = false;
    return result;
  }
};

constexpr std::uint64_t kUid = 0x04A1B2C3D4E5F6;
constexpr char kReader[] = "Reader 0";
constexpr std::string_view kPin = "pin-canary-93Xq7";
constexpr std::string_view kPlain = "private object plaintext canary 5Wd";
constexpr std::string_view kDocument = R"({"label":"service-document-canary-k2Rv8"})";

// Stores each token the way the service connection does: its document into a message payload.
struct DocumentService : testing::FakeService {
  using FakeService::FakeService;
  void StoreToken(const DesfireData& data) override {
    SecureBytes payload;
    service_protocol::AppendTokenRecord(payload, data.uid, data.ToJson());
    FakeService::StoreToken(data);
  }
};

void OnEvent(void* context, std::uint64_t) {
  auto* parts = static_cast<testing::PartsRecord*>(context);
  parts->Note([parts] { ++parts->events; });
}

TEST(SecretsWipingTest, ModuleFreesNoPinKeyOrPlainText) {
#ifdef VARLO_SANITIZED_BUILD
  GTEST_SKIP() << "the sanitizers own operator new and delete";
#endif
  cardimage::TokenDescription token;
  token.uid = kUid;
  token.label = "Wiping";
  token.pin = Bytes(kPin);
  token.objectKey = SecureBytes(32);
  for (std::size_t i = 0; i < 32; ++i)
    (*token.objectKey)[i] = static_cast<std::uint8_t>(0xA5 ^ (i * 37));
  token.objects.push_back({"secret", 5, true, 3, Bytes(kPlain)});
  const cardimage::CardImage image = cardimage::MakeCardImage(token);
  const SecureBytes pinKey = cardimage::PinKey(token.pin, kUid);
  const SecureBytes pinFile = ToSecure(image.files.at(cardimage::kPinFileNumber));
  const std::string pinData = EncodeBase64(pinFile);  // as the token document holds it
  auto card = std::make_shared<testing::SimulatedDesfire>();
  card->uid = cardimage::UidBlob(kUid);
  card->appKey = image.appKey;
  for (const auto& [number, bytes] : image.files)
    card->files[number].assign(bytes.begin(), bytes.end());
  testing::FakePcsc pcsc;
  pcsc.AddReader(kReader);
  pcsc.InsertCard(kReader, card);
  CardSide cardSide(pcsc);
  auto parts = std::make_shared<testing::PartsRecord>();
  TheModule().makeTokenList = [parts](EventRelay relay) {
    TokenList::Parts fakes = testing::FakeParts(parts);
    fakes.makeService = [parts](ClearCallback) { return std::make_unique<DocumentService>(parts); };
    return std::make_unique<TokenList>(std::move(relay), std::move(fakes));
  };
  ModuleData host{};
  host.apiVersion = host.structVersion = 2;
  host.pfnEventCallback = {&OnEvent, parts.get(), 0, 1};

  Watch("PIN", token.pin);
  Watch("PIN key", pinKey);
  Watch("PIN file", pinFile);
  Watch("PIN data in the document",
        std::span(reinterpret_cast<const std::uint8_t*>(pinData.data()), pinData.size()));
  Watch("object key", *token.objectKey);
  Watch("private object", token.objects[0].content);
  armed = true;
  ASSERT_EQ(InitializeModule(nullptr, 0, &host), RESULT_SUCCESS);
  Desfire(kReader, parts->present, cardSide).Load();
  EXPECT_TRUE(parts->WaitFor([&] { return parts->events == 1 && parts->calls.size() == 1; }));
  ModuleSessionId session{7, {}};
  const auto blob = cardimage::UidBlob(kUid);
  std::copy(blob.begin(), blob.end(), session.id);
  const ModuleUtf8String pin{kPin.data(), static_cast<std::uint32_t>(kPin.size())};
  EXPECT_EQ(host.ModuleCheckPIN(&session, &pin), RESULT_SUCCESS);
  const ModuleSearchCondition isPrivate{KEY_ATTRIBUTES, VALUE_TYPE_BYTE, {.raw = 1}};
  std::uint64_t* handles = nullptr;
  std::uint32_t count = 0;
  EXPECT_EQ(host.ModuleFindObjects(&session, &isPrivate, 1, &handles, &count), RESULT_SUCCESS);
  std::array<std::uint8_t, kPlain.size()> read{};
  std::uint32_t bytesRead = 0;
  if (count == 1) {
    EXPECT_EQ(host.ModuleReadObject(&session, handles[0], 0, read.data(), read.size(), &bytesRead),
              RESULT_SUCCESS);
    host.ModuleFreeObjectHandleList(handles);
  }
  EXPECT_EQ(std::memcmp(read.data(), kPlain.data(), read.size()), 0);
  Wipe(read);
  EXPECT_EQ(host.ModuleUnload(), RESULT_SUCCESS);
  ExpectNoneFreed();
}

TEST(SecretsWipingTest, ServiceFreesNoDocument) {
#ifdef VARLO_SANITIZED_BUILD
  GTEST_SKIP() << "the sanitizers own operator new and delete";
#endif
  namespace protocol = service_protocol;
  platform::TempDirectory scratch("varlo-secrets-");
  tokend::TokenStore store((scratch.Path() / "tokens.db").string());
  const SecureBytes canary = Bytes(kDocument.substr(10, 29));

  // The store's check that a document is a JSON object runs nlohmann's parser, whose buffers
  // are outside our reach; the document goes into the store directly, and the service's own path
  // is watched from the get-all on: reading the store, building and sending the reply.
  store.Put(1000, kUid, Bytes(kDocument));
  Watch("document", canary);
  armed = true;
  {
    const auto reply = tokend::HandleModuleMessage(
        store, 1000, protocol::BuildMessage(2, protocol::Command::GetAllTokens));
    ASSERT_TRUE(reply);
    EXPECT_NE(std::search(reply->begin(), reply->end(), canary.begin(), canary.end()),
              reply->end());
  }
  ExpectNoneFreed();
}

}  // namespace
}  // namespace varlo

#ifndef VARLO_SANITIZED_BUILD
void* operator new(std::size_t size) {
  return varlo::AllocateOrThrow(size, 0);
}
void* operator new[](std::size_t size) {
  return varlo::AllocateOrThrow(size, 0);
}
void* operator new(std::size_t size, std::align_val_t align) {
  return varlo::AllocateOrThrow(size, static_cast<std::size_t>(align));
}
void* operator new[](std::size_t size, std::align_val_t align) {
  return varlo::AllocateOrThrow(size, static_cast<std::size_t>(align));
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return varlo::Allocate(size, 0);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return varlo::Allocate(size, 0);
}
void* operator new(std::size_t size, std::align_val_t align, const std::nothrow_t&) noexcept {
  return varlo::Allocate(size, static_cast<std::size_t>(align));
}
void* operator new[](std::size_t size, std::align_val_t align, const std::nothrow_t&) noexcept {
  return varlo::Allocate(size, static_cast<std::size_t>(align));
}
// Every form of delete frees through the hook; the block's header knows its size and alignment.
#define VARLO_DELETE(...)                                               \
  void operator delete(void* p __VA_OPT__(, ) __VA_ARGS__) noexcept {   \
    varlo::Release(p);                                                  \
  }                                                                     \
  void operator delete[](void* p __VA_OPT__(, ) __VA_ARGS__) noexcept { \
    varlo::Release(p);                                                  \
  }
VARLO_DELETE()
VARLO_DELETE(std::size_t)
VARLO_DELETE(std::align_val_t)
VARLO_DELETE(std::size_t, std::align_val_t)
VARLO_DELETE(const std::nothrow_t&)
VARLO_DELETE(std::align_val_t, const std::nothrow_t&)
#undef VARLO_DELETE
#endif
