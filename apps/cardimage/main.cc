// varlo-cardimage: makes card images from token descriptions and shows what the module sees
// of a card image. See card_image_tool.h for the exit status.
#include <CLI/CLI.hpp>

#include <fstream>
#include <iostream>
#include <sstream>

#include "apps/cardimage/card_image_tool.h"

namespace {

using namespace varlo::cardimage;

// Reads a whole file ("-": standard input) as JSON.
nlohmann::json ReadJson(const std::string& path) {
  if (path == "-")
    return nlohmann::json::parse(std::cin);
  std::ifstream in(path, std::ios::binary);
  if (!in)
    throw std::runtime_error("cannot open " + path);
  return nlohmann::json::parse(in);
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Make and inspect card images of MIFARE DESFire tokens."};
  // Options start with "-" on every platform: CLI11 on Windows would also take "/name" for one,
  // and with it an absolute path such as "/tmp/image.json".
  app.allow_windows_style_options(false);
  app.require_subcommand(1);

  std::string descriptionPath;
  std::string outputPath = "-";
  Layout layout;
  CLI::App* make = app.add_subcommand("make", "Write a card image from a token description.");
  make->add_option("description", descriptionPath, "Token description JSON file ('-': stdin)")
      ->required();
  make->add_option("-o,--output", outputPath, "Card image file to write ('-': stdout)");
  make->add_option("--records-per-header", layout.recordsPerHeader,
                   "Object records per header file (0: all in one)");
  make->add_option("--data-file-size", layout.dataFileSize,
                   "Bytes per data file (0: one data file)");

  std::string imagePath;
  std::string pinText;
  bool pinFromStdin = false;
  CLI::App* inspect = app.add_subcommand("inspect", "Show what the module sees of a card image.");
  inspect->add_option("image", imagePath, "Card image JSON file ('-': stdin)")->required();
  CLI::Option* pinOption = inspect->add_option("--pin", pinText, "PIN to check");
  inspect->add_flag("--pin-stdin", pinFromStdin, "Read the PIN from the first line of stdin")
      ->excludes(pinOption);

  app.footer(
      "Exit status of inspect: 0 initialized (and PIN accepted), 1 usage or input error,\n"
      "2 image refused, 3 not initialized, 4 PIN incorrect, 5 PIN locked,\n"
      "6 another failure of the PIN check or of an object. make: 0 written, 1 error.\n");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e);
    return code == 0 ? kExitOk : kExitUsage;
  }

  try {
    if (*make) {
      std::ostringstream image;
      const int status = RunMake(ReadJson(descriptionPath), layout, image, std::cerr);
      if (status != kExitOk)
        return status;
      if (outputPath == "-") {
        std::cout << image.str();
      } else {
        std::ofstream out(outputPath, std::ios::binary | std::ios::trunc);
        out << image.str();
        if (!out.flush())
          throw std::runtime_error("cannot write " + outputPath);
      }
      return kExitOk;
    }
    std::optional<varlo::SecureBytes> pin;
    if (!pinText.empty())
      pin = varlo::SecureBytes(pinText.begin(), pinText.end());
    if (pinFromStdin) {
      std::string line;
      std::getline(std::cin, line);
      if (!line.empty() && line.back() == '\r')
        line.pop_back();
      pin = varlo::SecureBytes(line.begin(), line.end());
      varlo::Wipe(std::span(reinterpret_cast<std::uint8_t*>(line.data()), line.size()));
    }
    if (pin && pin->empty())
      throw std::runtime_error("the PIN is empty");
    return RunInspect(CardImage::FromJson(ReadJson(imagePath)), pin, std::cout);
  } catch (const std::exception& e) {
    std::cerr << "varlo-cardimage: " << e.what() << "\n";
    return kExitUsage;
  }
}
