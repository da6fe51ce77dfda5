// The virtual card's control: presents a card image to vpcd and takes it away again, on
// commands given as text lines. `varlo-vcard` reads these lines from its standard input and
// writes one answer line per command to its standard output, so tests can drive it through two
// pipes.
//
// Control protocol (one command per line; every command gets exactly one answer line, "ok" or
// "ok <value>" on success, "error <reason>" otherwise):
//   present <image.json>    load the image (the rest of the line is its file name) and put
//                           the card on the reader, replacing a card that is already there.
//                           The answer comes once the image is loaded; the
//                           card then connects to vpcd in the background, and reconnects
//                           whenever the connection ends (pcscd restarted) until it is removed,
//                           like a card that stays on the reader.
//   remove                  take the card off the reader (closes the connection; the answer
//                           comes after it is closed).
//   status                  "ok removed", "ok present waiting" (no connection to vpcd yet) or
//                           "ok present connected".
//   set wrapped-only on|off         answer native frames 67 00
//   set abort-once <hex>|off        answer the next frame with this command byte 0xCA, once
//   set application on|off          the token application is present (on) or missing
//   set key-type 2k3des|aes         cipher of the application's key 0
//   set chunk <1-59>                file bytes per ReadData answer frame
//   set atr <hex>                   the ATR (default 3B 81 80 01 80 80)
//                           Settings apply at once to a card on the reader and to later ones.
//   inject <hex> <answer hex>|-     the next frame with this command byte (native: first byte;
//                           wrapped: INS) is answered with these raw bytes ("-": an empty
//                           answer) instead of being executed; several queue up in order.
//   history                 "ok" followed by the exchanges since the last clear-history, each
//                           " <command hex>:<response hex>" for an APDU, or " power-off",
//                           " power-on", " reset", " atr", " connected" for the other events.
//   clear-history           empties the history.
//   quit                    answers "ok", removes the card and ends the program (end of input
//                           does the same).
//
// Thread use: Handle() from one thread; the vpcd connection runs on a thread of its own, joined
// by Remove() and the destructor.
#ifndef VARLO_APPS_VCARD_CARD_CONTROLLER_H_
#define VARLO_APPS_VCARD_CARD_CONTROLLER_H_

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "apps/vcard/card_image.h"
#include "apps/vcard/virtual_desfire.h"
#include "apps/vcard/vpcd_session.h"
#include "platform/net/tcp_connection.h"

namespace varlo::vcard {

struct VcardConfig {
  std::string host = "localhost";
  std::uint16_t port = 35963;  // vpcd's default port
  CardBehaviour behaviour;
  // When set, every exchange is written there as it happens ("> 60", "< af0401...").
  std::ostream* trace = nullptr;
  // TCP_NODELAY and TCP_QUICKACK on the vpcd connection; off only to measure their effect.
  bool lowLatency = true;
};

class CardController {
 public:
  CardController(VcardConfig config, VirtualDesfire::RandomSource random);
  ~CardController();
  CardController(const CardController&) = delete;
  CardController& operator=(const CardController&) = delete;

  // Runs one control line; returns the answer line (without newline). `quit` is set by "quit".
  std::string Handle(std::string_view line, bool* quit);

  void Present(CardImage image);
  void Remove();

 private:
  void Run();
  std::optional<std::vector<std::uint8_t>> OnMessage(VpcdMessage kind,
                                                     std::span<const std::uint8_t> payload);
  void Record(std::string entry);
  std::string Set(std::string_view name, std::string_view value);

  const VcardConfig config_;
  const VirtualDesfire::RandomSource random_;

  std::mutex mutex_;
  std::condition_variable changed_;
  CardBehaviour behaviour_;
  std::optional<VirtualDesfire> card_;
  bool presented_ = false;
  platform::TcpConnection* connection_ = nullptr;  // owned by Run() while it serves it
  std::vector<std::string> history_;
  std::thread runner_;
};

}  // namespace varlo::vcard

#endif  // VARLO_APPS_VCARD_CARD_CONTROLLER_H_
