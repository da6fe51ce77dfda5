// Scratch space and machine-wide exclusion for test rigs.
#ifndef VARLO_PLATFORM_PROCESS_SCRATCH_H_
#define VARLO_PLATFORM_PROCESS_SCRATCH_H_

#include <chrono>
#include <filesystem>
#include <string>

namespace varlo::platform {

// A fresh private directory under $TMPDIR (or /tmp), removed with everything in it by the
// destructor.
class TempDirectory {
 public:
  // `prefix` starts the directory's name. Throws std::runtime_error when it cannot be made.
  explicit TempDirectory(const std::string& prefix);
  ~TempDirectory();
  TempDirectory(const TempDirectory&) = delete;
  TempDirectory& operator=(const TempDirectory&) = delete;

  const std::filesystem::path& Path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// An exclusive lock on a file (flock), shared by every process of the machine that uses the same
// path: lets separate test runs take turns with a machine-wide resource such as pcscd. Released
// by the destructor, and by the kernel if the process dies.
class MachineLock {
 public:
  // Waits until the lock is ours or the deadline passed; throws std::runtime_error then.
  MachineLock(const std::filesystem::path& path, std::chrono::milliseconds timeout);
  ~MachineLock();
  MachineLock(const MachineLock&) = delete;
  MachineLock& operator=(const MachineLock&) = delete;

 private:
#ifdef _WIN32
  void* handle_ = nullptr;  // the locked file
#else
  int fd_ = -1;
#endif
};

}  // namespace varlo::platform

#endif  // VARLO_PLATFORM_PROCESS_SCRATCH_H_
