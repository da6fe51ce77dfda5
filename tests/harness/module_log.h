// The module's own log, for end-to-end tests that read what the loaded module did.
//
// `UseModuleLog` points the module's settings at a scratch folder: a registry hive (through
// $VARLO_USER_REGISTRY, with an empty machine hive) whose key names a log settings file that
// sends the lines of the given levels to that folder (by default every line at debug level, but
// for the card layer's traces). A
// `ModuleLog` then reads the log file's lines as it grows, also across a rotation.
// `Eventually` polls for states that only another process or a file shows.
#ifndef VARLO_TESTS_HARNESS_MODULE_LOG_H_
#define VARLO_TESTS_HARNESS_MODULE_LOG_H_

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace varlo::testing {

// Looks every few milliseconds until `condition` holds; false at the deadline.
template <typename Condition>
bool Eventually(Condition condition,
                std::chrono::milliseconds timeout = std::chrono::milliseconds(10000)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline)
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// Writes the settings file and the hive for the key `HKEY_CURRENT_USER\<key>` into `folder` and
// points this process's registry at them. Call before the module is initialized.
inline void UseModuleLog(const std::filesystem::path& folder, std::string_view key,
                         std::string_view levels = ">default=debug\n>Desfire=info\n") {
  std::filesystem::create_directories(folder);
  std::ofstream(folder / "settings.txt") << "target=" << folder.string() << "\n" << levels;
  std::ofstream(folder / "user.reg")
      << "Windows Registry Editor Version 5.00\n\n"
      << "[HKEY_CURRENT_USER\\" << key << "]\n"
      << "\"LogSettingsPath\"=\"" << (folder / "settings.txt").string() << "\"\n";
  setenv("VARLO_USER_REGISTRY", (folder / "user.reg").c_str(), 1);
  setenv("VARLO_MACHINE_REGISTRY", (folder / "none.reg").c_str(), 1);
}

class ModuleLog {
 public:
  explicit ModuleLog(const std::filesystem::path& directory) : directory_(directory) {}

  // Lines written from now on are those "since" the mark.
  std::size_t Mark() { return Lines().size(); }
  std::size_t Count(std::size_t mark, std::string_view text) {
    const auto& lines = Lines();
    return static_cast<std::size_t>(
        std::count_if(lines.begin() + static_cast<std::ptrdiff_t>(mark), lines.end(),
                      [&](auto& line) { return line.find(text) != std::string::npos; }));
  }
  bool WaitFor(std::size_t mark, std::string_view text) {
    return Eventually([&] { return Count(mark, text) > 0; });
  }
  const std::vector<std::string>& Lines() {
    std::error_code error;
    const auto size = std::filesystem::file_size(directory_ / "desfire_varlo_module.log", error);
    if (error)
      return lines_;
    if (size < offset_) {  // rotated: the old file's rest is the backup's tail
      Append("desfire_varlo_module.bak");
      offset_ = 0;
    }
    Append("desfire_varlo_module.log");
    return lines_;
  }

 private:
  void Append(const char* name) {
    std::ifstream in(directory_ / name, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(offset_));
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    offset_ += text.size();
    partial_ += text;
    for (std::size_t end; (end = partial_.find('\n')) != std::string::npos;) {
      lines_.push_back(partial_.substr(0, end));
      partial_.erase(0, end + 1);
    }
  }

  std::filesystem::path directory_;
  std::uintmax_t offset_ = 0;
  std::string partial_;
  std::vector<std::string> lines_;
};

}  // namespace varlo::testing

#endif  // VARLO_TESTS_HARNESS_MODULE_LOG_H_
