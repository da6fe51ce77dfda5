// The tokens the service keeps: an SQLite database, one row per (user, token UID) holding the
// token's JSON document exactly as the module sent it.
//
// Every change is its own transaction, committed to disk (write-ahead log, full sync) before
// the call returns, so what was stored survives a crash of the service or of the machine. The
// store keeps users apart: a module's requests reach only the rows of its own user; the
// methods without a user serve the service's administrator. UIDs are kept as 8 big-endian
// bytes, so that the database orders them as the unsigned numbers they are.
//
// The caller makes sure the file exists and is private (0600) before opening it: the journal
// files SQLite creates beside it take its mode. One connection, serialised by a mutex: any
// thread may call. Failures throw std::runtime_error with SQLite's message.
#ifndef VARLO_APPS_TOKEND_TOKEN_STORE_H_
#define VARLO_APPS_TOKEND_TOKEN_STORE_H_

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "common/secure_bytes.h"

struct sqlite3;

namespace varlo::tokend {

struct StoredToken {
  std::uint32_t user = 0;
  std::uint64_t uid = 0;
  SecureBytes document;
};

class TokenStore {
 public:
  explicit TokenStore(const std::string& path);
  ~TokenStore();
  TokenStore(const TokenStore&) = delete;
  TokenStore& operator=(const TokenStore&) = delete;

  // Inserts the token or replaces the one of the same user and UID.
  void Put(std::uint32_t user, std::uint64_t uid, std::span<const std::uint8_t> document);
  // Removes one user's token; false when there was none.
  bool Remove(std::uint32_t user, std::uint64_t uid);
  // Removes the token of `uid` of every user; how many there were.
  std::size_t RemoveForEveryUser(std::uint64_t uid);
  // Removes every token; how many there were.
  std::size_t Clear();

  // One user's tokens in ascending UID order.
  std::vector<StoredToken> TokensOf(std::uint32_t user);
  // Every token, by user, then UID.
  std::vector<StoredToken> All();
  std::size_t Count();

 private:
  std::mutex mutex_;
  sqlite3* db_ = nullptr;
};

}  // namespace varlo::tokend

#endif  // VARLO_APPS_TOKEND_TOKEN_STORE_H_
