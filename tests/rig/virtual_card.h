// One `varlo-vcard` process serving a virtual DESFire card to one vpcd reader, driven through
// its control protocol (apps/vcard/card_controller.h has the full list of commands).
//
// Every method sends one command line and waits (with the deadline given at construction) for
// the answer; an "error ..." answer, no answer in time or a process that has gone throws
// std::runtime_error carrying the command and the answer.
#ifndef VARLO_TESTS_RIG_VIRTUAL_CARD_H_
#define VARLO_TESTS_RIG_VIRTUAL_CARD_H_

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace varlo::platform {
class ChildProcess;
}

namespace varlo::testrig {

class VirtualCard {
 public:
  // Starts `program --port <port> --trace [arguments...]`, its standard error (the exchange
  // trace) appended to `logFile`.
  VirtualCard(const std::filesystem::path& program, std::uint16_t port,
              const std::filesystem::path& logFile, std::chrono::milliseconds timeout,
              const std::vector<std::string>& arguments = {});
  // Ends the program ("quit", then signals if it does not exit in time).
  ~VirtualCard();
  VirtualCard(const VirtualCard&) = delete;
  VirtualCard& operator=(const VirtualCard&) = delete;

  // Sends a control line; returns what follows "ok" in the answer (without the blank).
  std::string Command(std::string_view line);

  // Puts the card on the reader. Returns once the image is loaded: pcscd notices the card
  // within about half a second (PcscRig::Present waits for that).
  void Present(const std::filesystem::path& image) { Command("present " + image.string()); }
  void Remove() { Command("remove"); }
  // "set <name> <value>": wrapped-only on|off, abort-once <hex>|off, application on|off,
  // key-type 2k3des|aes, chunk <1-59>.
  void Set(std::string_view name, std::string_view value);
  // "removed", "present waiting" or "present connected".
  std::string Status() { return Command("status"); }
  // Exchanges since the last ClearHistory: "<command hex>:<response hex>" per APDU, or
  // "power-off", "power-on", "reset", "atr", "connected".
  std::vector<std::string> History();
  void ClearHistory() { Command("clear-history"); }

  std::uint16_t Port() const { return port_; }

 private:
  std::unique_ptr<platform::ChildProcess> process_;
  std::uint16_t port_;
  std::chrono::milliseconds timeout_;
  std::filesystem::path logFile_;
};

}  // namespace varlo::testrig

#endif  // VARLO_TESTS_RIG_VIRTUAL_CARD_H_
