// varlo-host: a module host for people.
//
//   varlo-host [--module PATH] [--key KEY] demo
//       initialize, show the table generation and the tokens, unload
//   varlo-host ... list
//       every token's serial and capabilities
//   varlo-host ... objects --serial HEX [--pin] [--public] [--read]
//       a token's objects, after a PIN check (read without echo) unless --public
//   varlo-host ... watch [--seconds N]
//       print the token list whenever the module reports a change, until Ctrl-C
#include <CLI/CLI.hpp>

#include <iostream>
#include <optional>

#include "apps/host/item_block.h"
#include "apps/host/module_host.h"
#include "common/hex.h"
#include "common/utf.h"
#include "platform/signal/stop_signal.h"
#include "platform/terminal/terminal.h"

namespace varlo::host {
namespace {

std::string Serial(const ModuleSessionId& id) {
  return ToHex(std::span(id.id, sizeof id.id));
}

void PrintTokens(ModuleHost& host) {
  std::vector<ModuleSessionId> ids;
  try {
    ids = host.SessionIds();
  } catch (const HostError& e) {
    std::cout << e.what() << "\n";
    return;
  }
  std::cout << ids.size() << " token(s)\n";
  for (const auto& id : ids) {
    std::cout << "token " << Serial(id) << "\n";
    try {
      auto block = host.Capabilities(id);
      if (auto root = ReadItemBlock(block)) {
        std::cout << Describe(*root, 1);
      } else {
        std::cout << "  capabilities: malformed block " << ToHex(block) << "\n";
      }
    } catch (const HostError& e) {
      std::cout << "  " << e.what() << "\n";
    }
  }
}

bool PrintableText(const SecureBytes& bytes) {
  for (std::uint8_t b : bytes) {
    if (b < 0x20 || b > 0x7E)
      return false;
  }
  return true;
}

int Objects(ModuleHost& host, const std::string& serial, bool askPin, bool publicOnly, bool read) {
  auto bytes = FromHex(serial);
  if (!bytes || bytes->size() != 7) {
    std::cerr << "a serial is 14 hex digits\n";
    return 2;
  }
  ModuleSessionId id{7, {}};
  std::copy(bytes->begin(), bytes->end(), id.id);
  if (askPin)
    host.CheckPIN(id, platform::ReadSecretLine("PIN: "));
  for (const ObjectInfo& object : host.FindObjects(id, publicOnly)) {
    std::cout << (object.isPrivate ? "private" : "public ") << " size " << object.size
              << " label \"" << object.label << "\" application \"" << object.application << "\"\n";
    if (read) {
      SecureBytes content = host.ReadObject(id, object);
      std::cout << "  "
                << (PrintableText(content) ? std::string(content.begin(), content.end())
                                           : ToHex(content))
                << "\n";
    }
  }
  return 0;
}

int Run(int argc, char** argv) {
  CLI::App app{"Loads the DESFire token module and shows what it offers."};
  app.require_subcommand(1);
  std::string modulePath = VARLO_DEFAULT_MODULE_PATH;
  std::string key;
  app.add_option("--module", modulePath, "path of the module library")->capture_default_str();
  app.add_option("--key", key, "the module's registry key, e.g. SOFTWARE\\Vendor\\Module");

  auto* demo = app.add_subcommand("demo", "initialize, show the tokens, unload");
  auto* list = app.add_subcommand("list", "every token's serial and capabilities");
  auto* objects = app.add_subcommand("objects", "a token's objects");
  std::string serial;
  bool pin = false, publicOnly = false, read = false;
  objects->add_option("--serial", serial, "the token's serial (14 hex digits)")->required();
  objects->add_flag("--pin", pin, "check a PIN first (read without echo)");
  objects->add_flag("--public", publicOnly, "public objects only (no PIN needed)");
  objects->add_flag("--read", read, "also read each object's content");
  auto* watch = app.add_subcommand("watch", "show the tokens whenever they change");
  int seconds = 0;
  watch->add_option("--seconds", seconds, "stop after this many seconds (0: at Ctrl-C)");
  CLI11_PARSE(app, argc, argv);

  // Ctrl-C ends `watch` in the ordinary flow, so the module is unloaded and its threads joined.
  std::optional<StopSignal> stop;
  if (*watch)
    stop.emplace();

  try {
    ModuleHost host(modulePath, Utf8ToUtf16(key));
    if (*demo) {
      std::cout << "module initialized, table generation " << host.TableGeneration() << "\n";
      PrintTokens(host);
      std::cout << "unloading\n";
      return 0;
    }
    if (*list) {
      PrintTokens(host);
      return 0;
    }
    if (*objects)
      return Objects(host, serial, pin, publicOnly, read);
    if (*watch) {
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
      int seen = 0;
      PrintTokens(host);
      while (stop->WaitFor(std::chrono::milliseconds(0)) == 0 &&
             (seconds == 0 || std::chrono::steady_clock::now() < deadline)) {
        int now = host.WaitForEvent(seen, std::chrono::milliseconds(200));
        if (now != seen) {
          seen = now;
          std::cout << "event " << seen << "\n";
          PrintTokens(host);
        }
      }
      return 0;
    }
  } catch (const std::exception& e) {
    std::cerr << "varlo-host: " << e.what() << "\n";
    return 1;
  }
  return 0;
}

}  // namespace
}  // namespace varlo::host

int main(int argc, char** argv) {
  return varlo::host::Run(argc, argv);
}
