#include "apps/host/host_cli.h"

#include <CLI/CLI.hpp>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <optional>
#include <thread>

#include "apps/host/commands.h"
#include "common/hex.h"
#include "common/utf.h"
#include "modulehost/results.h"
#include "platform/signal/stop_signal.h"
#include "platform/system/system.h"

namespace varlo::host {
namespace {

using nlohmann::json;

constexpr char kFooter[] =
    "Without --token a command takes the only token present. A PIN is asked for (without echo)\n"
    "only when the module needs one; --pin-stdin reads it as one line from standard input. The\n"
    "module forgets the PIN when varlo-host ends.\n"
    "\n"
    "Exit codes:\n"
    "  0  success\n"
    "  1  usage error (also: several tokens or objects match, no PIN given)\n"
    "  2  the module could not be loaded or initialized\n"
    "  3  no such token or object\n"
    "  4  PIN incorrect\n"
    "  5  PIN locked\n"
    "  6  PIN required\n"
    "  7  other failure";

struct Options {
  std::string modulePath;
  std::string key;
  bool json = false;
  std::string token;
  bool pinStdin = false;
  ObjectSearch search;
  bool privateOnly = false;
  bool publicOnly = false;
  std::string handle;
  std::string readLabel;
  std::string outputPath;
  bool hex = false;
};

std::string Dump(const json& value, int indent) {
  // Texts from the module need not be UTF-8; what is not comes out as U+FFFD.
  return value.dump(indent, ' ', false, json::error_handler_t::replace);
}

// Writes answers and failures as text or as JSON.
class Printer {
 public:
  Printer(const HostEnvironment& environment, bool json) : env_(environment), json_(json) {}

  bool Json() const { return json_; }

  void Answer(const json& value, const std::string& text) const {
    if (json_) {
      env_.out << Dump(value, 2) << '\n';
    } else {
      env_.out << text;
    }
    env_.out.flush();
  }

  // One record of a stream of answers (watch): one line of JSON each.
  void Record(const json& value, const std::string& text) const {
    env_.out << (json_ ? Dump(value, -1) + "\n" : text);
    env_.out.flush();
  }

  int Fail(const CommandError& error) const {
    env_.err << "varlo-host: " << error.what() << '\n';
    if (json_)
      Record({{"error", ErrorJson(error)}}, "");
    return static_cast<int>(error.Exit());
  }

  static json ErrorJson(const CommandError& error) {
    json details = {{"message", error.what()}, {"exitCode", static_cast<int>(error.Exit())}};
    if (const auto* host = dynamic_cast<const HostError*>(&error)) {
      details["operation"] = host->Operation();
      details["result"] = ResultName(host->Code());
    }
    return details;
  }

 private:
  const HostEnvironment& env_;
  bool json_;
};

std::string Now() {
  return platform::FormatLocalTime(std::time(nullptr), "%Y-%m-%d %H:%M:%S");
}

// Object data may be private: the file is readable by its owner only.
void WriteFile(const std::string& path, const SecureBytes& content) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  if (!file)
    throw CommandError(ExitCode::kFailure, "cannot write " + path);
  std::error_code ignored;
  if (std::filesystem::is_regular_file(path, ignored)) {
    std::filesystem::permissions(
        path, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write, ignored);
  }
  file.write(reinterpret_cast<const char*>(content.data()),
             static_cast<std::streamsize>(content.size()));
  file.close();
  if (!file)
    throw CommandError(ExitCode::kFailure, "cannot write " + path);
}

// Prints the token list now and after every event until Ctrl-C (or SIGTERM). The printing runs
// on a thread of its own so that this thread can wait for the signal; a failure to list is
// printed and watching goes on.
int Watch(Module& module, Commands& commands, const Printer& printer, StopSignal& stop) {
  auto show = [&](int events) {
    const std::string time = Now();
    try {
      const json tokens = commands.List();
      printer.Record(
          {{"time", time}, {"events", events}, {"tokens", tokens}},
          "[" + time + "] events: " + std::to_string(events) + "\n" + TokensText(tokens));
    } catch (const CommandError& e) {
      printer.Fail(e);
    } catch (const std::exception& e) {
      printer.Fail(CommandError(ExitCode::kFailure, e.what()));
    }
  };
  std::thread watcher([&] {
    try {
      int seen = module.Events();
      show(seen);
      for (;;) {
        seen = module.WaitForEvent(seen);
        if (module.Interrupted())
          return;
        show(seen);
      }
    } catch (...) {
      // Only the output can fail here; the main thread still ends the program at the signal.
    }
  });
  stop.Wait();
  module.Interrupt();
  watcher.join();
  return 0;
}

void AddTokenOption(CLI::App* command, Options& options) {
  command->add_option("--token", options.token, "the token's serial (14 hex digits)");
}

void AddPinOption(CLI::App* command, Options& options) {
  command->add_flag("--pin-stdin", options.pinStdin,
                    "read the PIN as one line from standard input (for scripts)");
}

}  // namespace

int RunHost(int argc, const char* const* argv, const HostEnvironment& environment) {
  Options options;
  options.modulePath = environment.defaultModulePath;
  CLI::App app{
      "varlo-host: lists, inspects, unlocks and reads the tokens of the DESFire token "
      "module."};
  // Options start with "-" on every platform: CLI11 on Windows would also take "/name" for one,
  // and with it an absolute path such as "/tmp/image.json".
  app.allow_windows_style_options(false);
  app.require_subcommand(1);
  app.fallthrough();
  app.footer(kFooter);
  app.add_option("--module", options.modulePath, "the module library")->capture_default_str();
  app.add_option("--key", options.key,
                 "the registry key passed to the module, e.g. SOFTWARE\\Varlo\\DesfireModule");
  app.add_flag("--json", options.json, "machine-readable output on standard output");

  auto* list = app.add_subcommand("list", "the tokens: serial, label, state, public objects");
  auto* info = app.add_subcommand("info", "a token's serial and capabilities");
  AddTokenOption(info, options);
  auto* login = app.add_subcommand("login", "checks a token's PIN");
  AddTokenOption(login, options);
  AddPinOption(login, options);

  auto* find = app.add_subcommand("find", "a token's objects: handle, label, application, size");
  AddTokenOption(find, options);
  auto* label = find->add_option("--label", options.search.label, "only objects with this label");
  auto* application = find->add_option("--application", options.search.application,
                                       "only objects of this application");
  auto* publicOnly =
      find->add_flag("--public", options.publicOnly, "only public objects (no PIN needed)");
  find->add_flag("--private", options.privateOnly, "only private objects")->excludes(publicOnly);
  AddPinOption(find, options);

  auto* read = app.add_subcommand("read", "an object's content");
  AddTokenOption(read, options);
  auto* which = read->add_option_group("object", "the object to read");
  which->add_option("--handle", options.handle, "the object's handle (as find shows it)");
  which->add_option("--label", options.readLabel,
                    "the object with this label (a public one needs no PIN)");
  which->require_option(1);
  auto* hex = read->add_flag("--hex", options.hex, "the content as hex digits");
  read->add_option("--output", options.outputPath, "write the content to this file")->excludes(hex);
  AddPinOption(read, options);

  auto* watch = app.add_subcommand("watch", "prints the tokens whenever they change, until Ctrl-C");
  auto* demo = app.add_subcommand(
      "demo", "initializes the module, lists the tokens (a failure to list is shown), unloads");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e, environment.out, environment.err) == 0 ? static_cast<int>(ExitCode::kOk)
                                                              : static_cast<int>(ExitCode::kUsage);
  }

  const Printer printer(environment, options.json);
  try {
    // Mistakes on the command line are told before the module starts (which takes a while).
    if (!options.token.empty() && !ParseSerial(options.token))
      throw CommandError(ExitCode::kUsage, "--token takes a serial of 14 hex digits");
    std::optional<std::uint64_t> handle;
    if (!options.handle.empty() && !(handle = ParseHandle(options.handle)))
      throw CommandError(ExitCode::kUsage, "--handle takes a number (decimal or 0x hex)");
    options.search.hasLabel = label->count() > 0;
    options.search.hasApplication = application->count() > 0;
    options.search.attributes = options.publicOnly    ? OBJECT_ATTRIBUTE_PUBLIC
                                : options.privateOnly ? OBJECT_ATTRIBUTE_PRIVATE
                                                      : 0;

    // Before the module starts its threads, so that they inherit the blocked signals.
    std::optional<StopSignal> stop;
    if (*watch)
      stop.emplace();

    std::unique_ptr<Module> module =
        environment.loadModule(options.modulePath, Utf8ToUtf16(options.key));
    const ModuleTable table(module->Data());
    Commands commands(table, [&](const std::string& serial) {
      return environment.readPin("PIN for token " + serial + ": ", options.pinStdin);
    });

    if (*list) {
      const json tokens = commands.List();
      printer.Answer(tokens, TokensText(tokens));
    } else if (*info) {
      const json answer = commands.Info(commands.SelectToken(options.token));
      printer.Answer(answer, InfoText(answer));
    } else if (*login) {
      const json answer = commands.Login(commands.SelectToken(options.token));
      printer.Answer(answer,
                     "PIN accepted for token " + answer["serial"].get<std::string>() + "\n");
    } else if (*find) {
      const json objects = commands.Find(commands.SelectToken(options.token), options.search);
      printer.Answer(objects, ObjectsText(objects));
    } else if (*read) {
      ReadResult result = commands.Read(commands.SelectToken(options.token),
                                        ObjectChoice{handle, options.readLabel});
      if (!options.outputPath.empty()) {
        WriteFile(options.outputPath, result.content);
        result.object["file"] = options.outputPath;
        printer.Answer(result.object, std::to_string(result.content.size()) + " bytes written to " +
                                          options.outputPath + "\n");
      } else if (options.json || options.hex) {
        result.object["hex"] = ToHex(result.content);
        printer.Answer(result.object, ToHex(result.content) + "\n");
      } else {
        environment.out.write(reinterpret_cast<const char*>(result.content.data()),
                              static_cast<std::streamsize>(result.content.size()));
        environment.out.flush();
      }
    } else if (*watch) {
      return Watch(*module, commands, printer, *stop);
    } else if (*demo) {
      // The demo walks the module's life cycle: a token list the module cannot give is shown
      // as such, not as a failure of the demo.
      const auto generation = module->Data().structVersion;
      json answer = {{"tableGeneration", generation}};
      std::string text =
          "module initialized, table generation " + std::to_string(generation) + "\n";
      try {
        answer["tokens"] = commands.List();
        text += TokensText(answer["tokens"]);
      } catch (const CommandError& e) {
        answer["tokensError"] = Printer::ErrorJson(e);
        text += std::string("no token list: ") + e.what() + "\n";
      }
      printer.Answer(answer, text + "unloading\n");
    }
    return static_cast<int>(ExitCode::kOk);
  } catch (const CommandError& e) {
    return printer.Fail(e);
  } catch (const std::exception& e) {
    return printer.Fail(CommandError(ExitCode::kFailure, e.what()));
  }
}

}  // namespace varlo::host
