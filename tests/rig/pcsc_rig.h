// Test rig for end-to-end tests with the real pcscd and virtual DESFire cards.
//
// A PcscRig owns the machine's pcscd for its lifetime: it takes a machine-wide lock (so test
// runs from different build trees take turns), stops any pcscd already running (saying so on
// standard error; a system pcscd is not restarted afterwards), writes a reader configuration
// with vsmartcard's vpcd driver to a scratch directory and runs `pcscd -f -c <dir>` as its
// child. pcscd then offers two readers, the two slots of one vpcd device:
// "Varlo Virtual Reader 00 00" on port basePort and "Varlo Virtual Reader 00 01" on
// basePort + 1. (vpcd 0.8 serves only the last device of a pcscd configuration, so two readers
// is the most one pcscd offers.) For each reader the rig can run a `varlo-vcard` process
// (VirtualCard) and present and remove card images on it.
//
// Every wait has a deadline (RigOptions::timeout) and watches a condition: pcscd listing its
// readers, SCardGetStatusChange reporting a card present or the reader empty, a process exiting.
// Failures throw std::runtime_error with what was waited for; PcscdLog() and the card logs in
// Directory() tell more.
//
// Also here: ReaderHold (another application holding a card exclusively).
// The machine-wide lock is the file /tmp/varlo-pcscd.lock; VARLO_RIG_PCSCD_DEBUG=1 in the
// environment puts pcscd's debug and APDU lines into PcscdLog().
//
// Tests that use the rig must not run alongside each other: register them with
// varlo_add_pcscd_test() or varlo_use_pcscd() from cmake/VarloRig.cmake (ctest RESOURCE_LOCK
// pcscd). Use a rig from one thread, the one that made it (pcscd and the cards are started with
// a parent-death signal tied to that thread).
//
//   varlo::testrig::PcscRig rig;                       // pcscd with two readers
//   varlo::testrig::CardImageContent content;
//   content.uid = "04112233445566";
//   content.files[1] = {0xAB, 0xCD};
//   auto image = rig.WriteImage("card", content);
//   rig.Present(0, image);                             // returns when pcscd sees the card
//   ... SCardConnect(ctx, rig.ReaderName(0).c_str(), ...) or the module under test ...
//   rig.RestartPcscd();                                // the card stays on its reader
//   rig.Remove(0);                                     // returns when the reader is empty
#ifndef VARLO_TESTS_RIG_PCSC_RIG_H_
#define VARLO_TESTS_RIG_PCSC_RIG_H_

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/rig/virtual_card.h"

namespace varlo::platform {
class ChildProcess;
class MachineLock;
class TempDirectory;
}  // namespace varlo::platform

namespace varlo::testrig {

struct RigOptions {
  // Port of reader 0; reader 1 uses basePort + 1. Away from vpcd's default 35963 so that a
  // card started by hand for the default reader does not join the tests.
  std::uint16_t basePort = 35970;
  // The virtual card program. Empty: $VARLO_VCARD, else the varlo-vcard of this build.
  std::filesystem::path vcardProgram;
  // More command-line options for every card (e.g. "--key-type", "aes").
  std::vector<std::string> vcardArguments;
  // pcscd's debug and APDU log lines in PcscdLog() (pcscd -d -a). Also turned on by the
  // environment variable VARLO_RIG_PCSCD_DEBUG=1.
  bool pcscdDebug = false;
  // Deadline of every wait of the rig.
  std::chrono::milliseconds timeout{10000};
  // How long to wait for another test run to release pcscd.
  std::chrono::milliseconds lockTimeout{300000};
};

// The contents of a card image file (format: apps/vcard/card_image.h).
struct CardImageContent {
  std::string uid;                    // 14 hex digits
  std::optional<std::string> appKey;  // 32 hex digits; absent: the module's application key
  std::map<int, std::vector<std::uint8_t>> files;
};

// Another application holding a card: an exclusive PC/SC connection of its own, kept until
// Release() or destruction, so that connecting to the card meanwhile fails with
// SCARD_E_SHARING_VIOLATION.
class ReaderHold {
 public:
  // Throws std::runtime_error when it cannot connect.
  explicit ReaderHold(const std::string& reader);
  ~ReaderHold() { Release(); }
  ReaderHold(const ReaderHold&) = delete;
  ReaderHold& operator=(const ReaderHold&) = delete;
  void Release();

 private:
  std::uintptr_t context_ = 0;
  std::uintptr_t card_ = 0;
};

class PcscRig {
 public:
  // Takes the lock, stops a running pcscd, starts the rig's pcscd and waits until it lists all
  // readers.
  explicit PcscRig(RigOptions options = {});
  // Ends the cards, stops pcscd, removes the scratch directory, releases the lock.
  ~PcscRig();
  PcscRig(const PcscRig&) = delete;
  PcscRig& operator=(const PcscRig&) = delete;

  std::size_t ReaderCount() const { return readers_.size(); }
  const std::string& ReaderName(std::size_t reader) const;
  // Scratch directory of this rig: card images, pcscd.log, vcard-<reader>.log.
  const std::filesystem::path& Directory() const;

  // Starts pcscd (if not running) and waits until it lists both readers.
  void StartPcscd();
  // Stops pcscd (SIGTERM, then SIGKILL after the timeout) and waits until it has exited.
  void StopPcscd();
  void RestartPcscd();
  // Restarts pcscd with no reader configured (for a host, every reader is unplugged) and waits
  // until it answers with an empty reader list. The next StartPcscd or RestartPcscd brings
  // the readers back.
  void RestartPcscdWithoutReaders();
  bool PcscdRunning();
  std::string PcscdLog() const;

  // The reader's virtual card process, started on first use (not yet presented).
  VirtualCard& Card(std::size_t reader);
  // Presents the image on the reader and waits until pcscd reports the card present.
  void Present(std::size_t reader, const std::filesystem::path& image);
  // Removes the reader's card and waits until pcscd reports the reader empty.
  void Remove(std::size_t reader);
  // Writes a card image to Directory()/<name>.json and returns the path.
  std::filesystem::path WriteImage(const std::string& name, const CardImageContent& image) const;

 private:
  struct Reader {
    std::string name;
    std::uint16_t port;
    std::unique_ptr<VirtualCard> card;
  };

  // Waits until pcscd reports a card in the reader (present = true) or the reader empty. False
  // at the deadline.
  bool WaitForCard(std::size_t reader, bool present);
  void TakeOverPcscd();
  // Starts pcscd on the reader configuration as it is; does not wait.
  void SpawnPcscd();
  void WriteReaderConfiguration(bool withReaders = true);
  std::optional<std::vector<std::string>> ListReaders();

  RigOptions options_;
  std::unique_ptr<platform::MachineLock> lock_;
  std::unique_ptr<platform::TempDirectory> scratch_;
  std::filesystem::path configDir_;
  std::filesystem::path pcscdLog_;
  std::filesystem::path vcardProgram_;
  std::vector<Reader> readers_;
  std::unique_ptr<platform::ChildProcess> pcscd_;
};

}  // namespace varlo::testrig

#endif  // VARLO_TESTS_RIG_PCSC_RIG_H_
