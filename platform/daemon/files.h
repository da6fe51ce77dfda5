// A program's own files: its folders, a private data or log file, and a lock that keeps a
// second instance from serving the same folder. Failures throw std::system_error naming the path.
#ifndef VARLO_PLATFORM_DAEMON_FILES_H_
#define VARLO_PLATFORM_DAEMON_FILES_H_

#include <memory>
#include <string>

namespace varlo::platform {

// Creates `path` and any missing parent, each new folder with `mode`; folders that exist are
// left as they are.
void EnsureDirectory(const std::string& path, unsigned mode);

// Makes sure the regular file `path` exists and only its owner may read or write it (0600): a
// new file is created with that mode, so it is never readable by others, even for a moment; an
// existing one has its mode narrowed. A symbolic link at `path` is refused. On Windows the file
// keeps the security it inherits from its folder (below the user's profile, private to the
// user); modes are not applied there, and EnsureDirectory's `mode` neither.
void EnsurePrivateFile(const std::string& path);

// An exclusive lock on a file (flock, 0600; LockFileEx on Windows), released by the destructor
// and by the kernel when the process ends.
class FileLock {
 public:
  // The lock, or null when another process holds it.
  static std::unique_ptr<FileLock> TryLock(const std::string& path);
  ~FileLock();
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

 private:
#ifdef _WIN32
  explicit FileLock(void* handle) : handle_(handle) {}
  void* handle_;  // the locked file
#else
  explicit FileLock(int fd) : fd_(fd) {}
  int fd_;
#endif
};

}  // namespace varlo::platform

#endif  // VARLO_PLATFORM_DAEMON_FILES_H_
