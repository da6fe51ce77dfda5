#include "platform/daemon/files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <system_error>

namespace varlo::platform {
namespace {

[[noreturn]] void Fail(const std::string& what, const std::string& path, int error = errno) {
  throw std::system_error(error, std::generic_category(), what + " " + path);
}

// Opens (creating with 0600) a regular file of ours and narrows its mode to 0600.
int OpenPrivate(const std::string& path, int flags) {
  const int fd = ::open(path.c_str(), flags | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0)
    Fail("cannot open", path);
  struct stat file {};
  int error = 0;
  if (::fstat(fd, &file) < 0)
    error = errno;
  else if (!S_ISREG(file.st_mode))
    error = EINVAL;
  else if (::fchmod(fd, 0600) < 0)
    error = errno;
  if (error != 0) {
    ::close(fd);
    Fail("cannot make private", path, error);
  }
  return fd;
}

}  // namespace

void EnsureDirectory(const std::string& path, unsigned mode) {
  const std::filesystem::path folder(path);
  if (folder.has_parent_path() && folder.parent_path() != folder)
    if (!std::filesystem::is_directory(folder.parent_path()))
      EnsureDirectory(folder.parent_path().string(), mode);
  if (::mkdir(path.c_str(), mode) == 0) {
    // mkdir applies the umask; the folder gets exactly the mode asked for.
    if (::chmod(path.c_str(), mode) < 0)
      Fail("cannot set the mode of", path);
    return;
  }
  if (errno != EEXIST)
    Fail("cannot create", path);
  if (!std::filesystem::is_directory(folder))
    Fail("not a folder:", path, ENOTDIR);
}

void EnsurePrivateFile(const std::string& path) {
  ::close(OpenPrivate(path, O_RDWR));
}

std::unique_ptr<FileLock> FileLock::TryLock(const std::string& path) {
  const int fd = OpenPrivate(path, O_RDWR);
  if (::flock(fd, LOCK_EX | LOCK_NB) == 0)
    return std::unique_ptr<FileLock>(new FileLock(fd));
  const int error = errno;
  ::close(fd);
  if (error == EWOULDBLOCK)
    return nullptr;
  Fail("cannot lock", path, error);
}

FileLock::~FileLock() {
  ::close(fd_);
}

}  // namespace varlo::platform
