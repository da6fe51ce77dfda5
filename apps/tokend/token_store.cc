#include "apps/tokend/token_store.h"

#include <sqlite3.h>

#include <array>
#include <stdexcept>

namespace varlo::tokend {
namespace {

constexpr int kBusyTimeoutMilliseconds = 5000;  // another process reading the file (sqlite3)

void Check(sqlite3* db, int rc, const char* what) {
  if (rc != SQLITE_OK && rc != SQLITE_ROW && rc != SQLITE_DONE)
    throw std::runtime_error(std::string("token store: ") + what + ": " + sqlite3_errmsg(db));
}

std::array<std::uint8_t, 8> UidKey(std::uint64_t uid) {
  std::array<std::uint8_t, 8> key{};
  for (int i = 7; i >= 0; --i, uid >>= 8)
    key[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(uid);
  return key;
}

std::uint64_t UidFromKey(std::span<const std::uint8_t> key) {
  std::uint64_t uid = 0;
  for (std::uint8_t byte : key)
    uid = uid << 8 | byte;
  return uid;
}

// One prepared statement, finalised on destruction.
class Statement {
 public:
  Statement(sqlite3* db, const char* sql) : db_(db) {
    Check(db_, sqlite3_prepare_v2(db_, sql, -1, &statement_, nullptr), "prepare");
  }
  ~Statement() { sqlite3_finalize(statement_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  Statement& Bind(int index, std::int64_t value) {
    Check(db_, sqlite3_bind_int64(statement_, index, value), "bind");
    return *this;
  }
  // The bytes must outlive the statement's last Step.
  Statement& Bind(int index, std::span<const std::uint8_t> bytes) {
    Check(db_, sqlite3_bind_blob64(statement_, index, bytes.data(), bytes.size(), SQLITE_STATIC),
          "bind");
    return *this;
  }

  // True while a row is ready.
  bool Step() {
    const int rc = sqlite3_step(statement_);
    Check(db_, rc, "step");
    return rc == SQLITE_ROW;
  }
  std::int64_t Integer(int column) { return sqlite3_column_int64(statement_, column); }
  std::span<const std::uint8_t> Blob(int column) {
    const auto* data = static_cast<const std::uint8_t*>(sqlite3_column_blob(statement_, column));
    const auto size = static_cast<std::size_t>(sqlite3_column_bytes(statement_, column));
    return data == nullptr ? std::span<const std::uint8_t>() : std::span(data, size);
  }
  std::size_t Changes() { return static_cast<std::size_t>(sqlite3_changes64(db_)); }

 private:
  sqlite3* db_;
  sqlite3_stmt* statement_ = nullptr;
};

std::vector<StoredToken> ReadTokens(Statement& query) {
  std::vector<StoredToken> tokens;
  while (query.Step()) {
    const auto document = query.Blob(2);
    tokens.push_back({static_cast<std::uint32_t>(query.Integer(0)), UidFromKey(query.Blob(1)),
                      SecureBytes(document.begin(), document.end())});
  }
  return tokens;
}

}  // namespace

TokenStore::TokenStore(const std::string& path) {
  const int rc =
      sqlite3_open_v2(path.c_str(), &db_,
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
  if (rc != SQLITE_OK) {
    const std::string reason = db_ != nullptr ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
    sqlite3_close(db_);
    throw std::runtime_error("token store: cannot open " + path + ": " + reason);
  }
  try {
    Check(db_, sqlite3_busy_timeout(db_, kBusyTimeoutMilliseconds), "busy timeout");
    // The write-ahead log keeps readers and the writer apart; a full sync on every commit
    // makes each stored token durable before the service goes on.
    Check(db_,
          sqlite3_exec(db_,
                       "PRAGMA journal_mode = WAL;"
                       "PRAGMA synchronous = FULL;"
                       "CREATE TABLE IF NOT EXISTS tokens ("
                       "  user INTEGER NOT NULL,"
                       "  uid BLOB NOT NULL,"
                       "  document BLOB NOT NULL,"
                       "  PRIMARY KEY (user, uid)) WITHOUT ROWID;",
                       nullptr, nullptr, nullptr),
          "set up");
  } catch (...) {
    sqlite3_close(db_);
    throw;
  }
}

TokenStore::~TokenStore() {
  sqlite3_close(db_);
}

void TokenStore::Put(std::uint32_t user, std::uint64_t uid,
                     std::span<const std::uint8_t> document) {
  const auto key = UidKey(uid);
  std::lock_guard lock(mutex_);
  Statement insert(db_, "INSERT OR REPLACE INTO tokens (user, uid, document) VALUES (?, ?, ?)");
  insert.Bind(1, user).Bind(2, key).Bind(3, document).Step();
}

bool TokenStore::Remove(std::uint32_t user, std::uint64_t uid) {
  const auto key = UidKey(uid);
  std::lock_guard lock(mutex_);
  Statement remove(db_, "DELETE FROM tokens WHERE user = ? AND uid = ?");
  remove.Bind(1, user).Bind(2, key).Step();
  return remove.Changes() > 0;
}

std::size_t TokenStore::RemoveForEveryUser(std::uint64_t uid) {
  const auto key = UidKey(uid);
  std::lock_guard lock(mutex_);
  Statement remove(db_, "DELETE FROM tokens WHERE uid = ?");
  remove.Bind(1, key).Step();
  return remove.Changes();
}

std::size_t TokenStore::Clear() {
  std::lock_guard lock(mutex_);
  Statement clear(db_, "DELETE FROM tokens");
  clear.Step();
  return clear.Changes();
}

std::vector<StoredToken> TokenStore::TokensOf(std::uint32_t user) {
  std::lock_guard lock(mutex_);
  Statement query(db_, "SELECT user, uid, document FROM tokens WHERE user = ? ORDER BY uid");
  query.Bind(1, user);
  return ReadTokens(query);
}

std::vector<StoredToken> TokenStore::All() {
  std::lock_guard lock(mutex_);
  Statement query(db_, "SELECT user, uid, document FROM tokens ORDER BY user, uid");
  return ReadTokens(query);
}

std::size_t TokenStore::Count() {
  std::lock_guard lock(mutex_);
  Statement count(db_, "SELECT count(*) FROM tokens");
  count.Step();
  return static_cast<std::size_t>(count.Integer(0));
}

}  // namespace varlo::tokend
