// varlo-vcard: a virtual MIFARE DESFire card for vsmartcard's vpcd reader driver.
//
//   varlo-vcard [--host H] [--port N] [--image FILE] [--wrapped-only] [--abort-once HEX]
//               [--no-application] [--key-type 2k3des|aes] [--chunk N] [--atr HEX] [--trace]
//               [--no-tcp-tuning]
//
// Connects to the vpcd reader on H:N (default localhost:35963) as a card with the DESFire ATR
// 3B 81 80 01 80 80 that holds the token application with the files of a card image. With
// --image the card is presented at once; otherwise it waits for "present" on standard input.
// Standard input carries the control protocol described in card_controller.h (one command per
// line, one answer line per command on standard output); end of input ends the program.
// --trace writes every exchange to standard error.
#include <cryptopp/osrng.h>

#include <CLI/CLI.hpp>
#include <iostream>
#include <string>

#include "apps/vcard/card_controller.h"
#include "common/hex.h"

int main(int argc, char** argv) {
  CLI::App app{"Virtual MIFARE DESFire card for the vpcd reader driver"};
  varlo::vcard::VcardConfig config;
  std::string image;
  std::string abortOnce;
  std::string keyType = "2k3des";
  std::string atr;
  bool noApplication = false;
  bool trace = false;
  app.add_option("--host", config.host, "Host of the vpcd reader driver")->capture_default_str();
  app.add_option("--port", config.port, "TCP port of the vpcd reader")->capture_default_str();
  app.add_option("--image", image, "Card image to present at start-up");
  app.add_flag("--wrapped-only", config.behaviour.wrappedOnly,
               "Answer native frames 67 00; accept only ISO 7816-4 wrapped frames");
  app.add_option("--abort-once", abortOnce,
                 "Answer the first frame with this command byte (hex) with 0xCA");
  app.add_flag("--no-application", noApplication, "The token application is missing");
  app.add_option("--key-type", keyType, "Cipher of the application's key 0")
      ->check(CLI::IsMember({"2k3des", "aes"}))
      ->capture_default_str();
  app.add_option("--chunk", config.behaviour.chunkSize, "File bytes per ReadData answer frame")
      ->check(CLI::Range(1, 59))
      ->capture_default_str();
  app.add_option("--atr", atr, "ATR to answer instead of the DESFire ATR (hex)");
  bool noTcpTuning = false;
  app.add_flag("--no-tcp-tuning", noTcpTuning,
               "Leave TCP_NODELAY and TCP_QUICKACK off (only to measure what they buy)");
  app.add_flag("--trace", trace, "Write every exchange to standard error");
  CLI11_PARSE(app, argc, argv);

  if (!abortOnce.empty()) {
    auto bytes = varlo::FromHex(abortOnce);
    if (!bytes || bytes->size() != 1) {
      std::cerr << "varlo-vcard: --abort-once takes one command byte in hex" << std::endl;
      return 2;
    }
    config.behaviour.abortOnce = (*bytes)[0];
  }
  if (!atr.empty()) {
    auto bytes = varlo::FromHex(atr);
    if (!bytes || bytes->size() > 33) {
      std::cerr << "varlo-vcard: --atr takes 1 to 33 bytes in hex" << std::endl;
      return 2;
    }
    config.behaviour.atr = *bytes;
  }
  config.behaviour.applicationPresent = !noApplication;
  config.behaviour.keyType =
      keyType == "aes" ? varlo::vcard::CardCipher::kAES128 : varlo::vcard::CardCipher::k2K3DES;
  if (trace)
    config.trace = &std::cerr;
  config.lowLatency = !noTcpTuning;

  CryptoPP::AutoSeededRandomPool pool;
  varlo::vcard::CardController controller(config, [&pool](std::span<std::uint8_t> bytes) {
    pool.GenerateBlock(bytes.data(), bytes.size());
  });

  if (!image.empty()) {
    try {
      controller.Present(varlo::vcard::LoadCardImage(image));
    } catch (const std::exception& e) {
      std::cerr << "varlo-vcard: " << e.what() << std::endl;
      return 1;
    }
  }

  std::string line;
  bool quit = false;
  while (!quit && std::getline(std::cin, line)) {
    std::cout << controller.Handle(line, &quit) << std::endl;
  }
  controller.Remove();
  return 0;
}
