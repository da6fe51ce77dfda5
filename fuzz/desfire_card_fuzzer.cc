// A card's answers through the DESFire command layer: `Desfire::Load` (connect, version and UID,
// select, authenticate, list and read the files) against the scripted PC/SC of the card tests,
// where each answer the card gives comes from the input.
//
// Input: answers, each its length (2 bytes, little-endian) and its bytes, given in turn to the
// frames the module sends; a last answer cut short keeps the bytes there are. The length 0xFFFF
// (no bytes follow) lets a simulated card with the token application and its key answer that
// frame itself: the authentication's random numbers change on every run, so only the card can
// complete it. Once the input is used up, every frame is answered "authentication error" (AE).
//
// Load never throws (card/desfire.h), always disconnects and leaves no transaction open; a
// crash, a hang, an exception or a card left connected is a fault.
#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include "card/application_key.h"
#include "card/desfire.h"
#include "card/testing/fake_pcsc.h"
#include "card/testing/simulated_desfire.h"

namespace {

using varlo::testing::Bytes;

constexpr char kReader[] = "Fuzz Reader 00";
constexpr std::size_t kCardAnswers = 0xFFFF;

bool IsWrapped(const Bytes& apdu) {
  return apdu.size() >= 5 && apdu[0] == 0x90;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto card = std::make_shared<varlo::testing::SimulatedDesfire>();
  const auto key = varlo::ApplicationKey();
  std::copy(key.begin(), key.end(), card->appKey.begin());
  card->intercept = [data, size,
                     at = std::size_t{0}](const Bytes& apdu) mutable -> std::optional<Bytes> {
    if (at + 2 > size) {
      at = size;
      return IsWrapped(apdu) ? Bytes{0x91, 0xAE} : Bytes{0xAE};
    }
    std::size_t length = data[at] | (std::size_t{data[at + 1]} << 8);
    at += 2;
    if (length == kCardAnswers)
      return std::nullopt;
    if (length > size - at)
      length = size - at;
    Bytes answer(data + at, data + at + length);
    at += length;
    return answer;
  };

  varlo::testing::FakePcsc pcsc;
  pcsc.AddReader(kReader);
  pcsc.InsertCard(kReader, card);
  {
    varlo::Desfire desfire(
        kReader,
        [](varlo::DesfireData token) {
          if (token.initialized)
            (void)token.ToJson();
        },
        pcsc, varlo::DesfireTimings{std::chrono::milliseconds(0)});
    desfire.Load();
  }
  if (pcsc.OpenCards() != 0 || pcsc.Count("BeginTransaction") != pcsc.Count("EndTransaction"))
    __builtin_trap();
  return 0;
}
