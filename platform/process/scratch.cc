#include "platform/process/scratch.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <thread>

namespace varlo::platform {

TempDirectory::TempDirectory(const std::string& prefix) {
  const char* base = getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/" + prefix + "XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    throw std::runtime_error("cannot make a temporary directory " + pattern + ": " +
                             std::strerror(errno));
  }
  path_ = pattern;
}

TempDirectory::~TempDirectory() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

MachineLock::MachineLock(const std::filesystem::path& path, std::chrono::milliseconds timeout) {
  fd_ = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd_ < 0) {
    throw std::runtime_error("cannot open lock file " + path.string() + ": " +
                             std::strerror(errno));
  }
  // The file may belong to another user of the machine; let everyone take the lock.
  fchmod(fd_, 0666);
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (flock(fd_, LOCK_EX | LOCK_NB) != 0) {
    if ((errno != EWOULDBLOCK && errno != EINTR) || std::chrono::steady_clock::now() >= deadline) {
      std::string why = errno == EWOULDBLOCK ? "held by another process" : std::strerror(errno);
      close(fd_);
      throw std::runtime_error("cannot lock " + path.string() + ": " + why);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

MachineLock::~MachineLock() {
  close(fd_);
}

}  // namespace varlo::platform
