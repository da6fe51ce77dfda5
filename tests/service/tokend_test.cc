// varlo-tokend end to end: the built service as a child process, module clients over the real
// encrypted pipe, the control commands as a user runs them.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <thread>

#include "apps/tokend/module_requests.h"
#include "platform/daemon/accounts.h"
#include "platform/pipe/pipe_listener.h"
#include "platform/process/child_process.h"
#include "ravcore/network/mbc/message_splitting_wrapper.h"
#include "tests/service/module_client.h"
#include "tests/service/tokend_process.h"
#include "tokendata/token_json.h"

namespace varlo::testservice {
namespace {

using namespace std::chrono_literals;
using testing::HasSubstr;
namespace fs = std::filesystem;
namespace protocol = service_protocol;
using Clock = std::chrono::steady_clock;

// A token document as the module writes one; `padding` bytes of extra label make it longer.
std::string Document(std::uint64_t uid, const std::string& label, std::size_t padding = 0) {
  std::vector<std::uint8_t> uidBytes(8), labelBytes(label.begin(), label.end());
  for (std::size_t i = 0; i < 8; ++i)
    uidBytes[i] = static_cast<std::uint8_t>(uid >> (8 * i));
  labelBytes.resize(labelBytes.size() + padding, '.');
  return R"({"uid":")" + EncodeBase64(uidBytes) + R"(","label":")" + EncodeBase64(labelBytes) +
         R"(","pindata":")" + EncodeBase64(std::vector<std::uint8_t>(48)) + R"(","pinerrcount":0})";
}

// A connection that speaks no Noise at all.
platform::PipeConnection RawConnection(const TokendProcess& tokend) {
  const platform::PipeOpenResult opened = platform::OpenPipe(tokend.PipeName());
  EXPECT_EQ(opened.error, 0u);
  return platform::PipeConnection(opened.handle);
}

// Reads (and drops) what the service sends until it closes the connection.
bool ClosedByService(platform::PipeConnection& connection, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  std::uint8_t buffer[256];
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    const auto n = connection.ReadSome(buffer, std::max(left, 0ms));
    if (!n)
      return false;
    if (*n == 0)
      return true;
  }
}

// Runs the probe client as another user and group (no supplementary groups), from a copy in
// the service's scratch folder, which that user can reach wherever the build tree lies.
TokendProcess::CommandResult ProbeAs(std::uint32_t uid, std::uint32_t gid,
                                     const TokendProcess& tokend,
                                     const std::vector<std::string>& steps) {
  const fs::path copy = tokend.PipeDirectory().parent_path() / "probe";
  fs::copy_file(VARLO_TOKEND_PROBE, copy, fs::copy_options::skip_existing);
  platform::SpawnOptions spawn;
  spawn.argv = {"setpriv",
                "--reuid=" + std::to_string(uid),
                "--regid=" + std::to_string(gid),
                "--clear-groups",
                copy.string(),
                tokend.SocketPath().string()};
  spawn.argv.insert(spawn.argv.end(), steps.begin(), steps.end());
  spawn.pipeStdout = true;
  auto probe = platform::ChildProcess::Spawn(spawn);
  TokendProcess::CommandResult result;
  const auto deadline = Clock::now() + 20s;
  while (auto line = probe->ReadLine(deadline))
    result.output += *line;
  const auto code = probe->WaitExit(deadline);
  result.exitCode = code ? *code : probe->Stop(1s);
  return result;
}

unsigned Mode(const fs::path& path) {
  struct stat file {};
  return ::lstat(path.c_str(), &file) == 0 ? file.st_mode : 0;
}

// Store, replace, remove and get-all, as the module uses them; the tokens outlive a stop, a
// kill and the connections that were open when the service stopped.
TEST(Tokend, KeepsTokensInUidOrderAcrossStopAndKill) {
  TokendProcess tokend;
  auto module = std::make_unique<ModuleClient>(tokend.PipeName());
  const SecureBytes empty = module->RequestAll();
  ASSERT_EQ(empty.size(), protocol::kHeaderSize);  // no tokens: the header alone
  EXPECT_EQ(empty[6], static_cast<std::uint8_t>(protocol::Command::GetAllTokens));

  const std::uint64_t high = 0xFF00000000000001;  // above every signed 64-bit number
  module->Store(0x30, Document(0x30, "third"));
  module->Store(0x10, Document(0x10, "first, before"));
  module->Store(high, Document(high, "high"));
  module->Store(0x10, Document(0x10, "first"));
  module->Store(0x20, Document(0x20, "second"));
  module->Remove(0x30);
  module->Remove(0x99);
  const std::vector<StoredRecord> kept = {{0x10, Document(0x10, "first")},
                                          {0x20, Document(0x20, "second")},
                                          {high, Document(high, "high")}};
  EXPECT_EQ(module->GetAll(), kept);

  const auto list = tokend.List();
  EXPECT_EQ(list.exitCode, 0) << list.error;
  EXPECT_THAT(list.output, testing::ContainsRegex("0 \\(root\\) +00000000000010 +first\n"));
  EXPECT_THAT(list.output, testing::ContainsRegex("ff00000000000001 +high\n"));
  EXPECT_EQ(tokend.Remove("20").output, "removed 1 token(s) of UID 00000000000020\n");
  EXPECT_NE(tokend.Remove("not-hex").exitCode, 0);

  // A stop closes a connected module and one still in its handshake, well before the
  // handshake's own time-out.
  platform::PipeConnection handshaking = RawConnection(tokend);
  const auto stopStart = Clock::now();
  EXPECT_EQ(tokend.Stop(), 0);
  EXPECT_LT(Clock::now() - stopStart, 10s);
  EXPECT_TRUE(module->WaitForDisconnect(5s));
  EXPECT_TRUE(ClosedByService(handshaking, 5s));
  module.reset();

  tokend.Restart();
  module = std::make_unique<ModuleClient>(tokend.PipeName());
  EXPECT_EQ(module->GetAll(), (std::vector<StoredRecord>{kept[0], kept[2]}));
  module->Store(0x40, Document(0x40, "fourth"));
  ASSERT_EQ(module->GetAll().size(), 3u);  // handled in order: stored before the reply
  tokend.Kill();
  module.reset();
  tokend.Restart();
  EXPECT_EQ(ModuleClient(tokend.PipeName()).GetAll().size(), 3u);
  EXPECT_THAT(tokend.Log(), HasSubstr("3 tokens kept in"));
}

// Several megabytes in one reply cross the pipe in splitting frames, in UID order.
TEST(Tokend, ReturnsAThousandLargeDocumentsInOneReply) {
  TokendProcess tokend;
  ModuleClient module(tokend.PipeName());
  std::vector<StoredRecord> expected;
  for (std::uint64_t uid = 1000; uid > 0; --uid) {
    const std::string document = Document(uid, "token " + std::to_string(uid), 3000);
    module.Store(uid, document);
    expected.insert(expected.begin(), {uid, document});
  }
  const auto records = module.GetAll(60s);
  ASSERT_EQ(records.size(), expected.size());
  EXPECT_TRUE(records == expected);
}

TEST(Tokend, ClearEmptiesTheStoreAndReachesEveryConnectedModule) {
  TokendProcess tokend;
  ModuleClient first(tokend.PipeName());
  ModuleClient second(tokend.PipeName());
  first.Store(1, Document(1, "one"));
  ASSERT_EQ(first.GetAll().size(), 1u);  // each connection's requests are handled in order
  second.Store(2, Document(2, "two"));
  ASSERT_EQ(second.GetAll().size(), 2u);

  const auto clear = tokend.Clear();
  EXPECT_EQ(clear.output, "removed 2 token(s); told 2 connected module(s)\n");
  EXPECT_TRUE(first.WaitForClear(5s));
  EXPECT_TRUE(second.WaitForClear(5s));
  EXPECT_TRUE(first.GetAll().empty());
  EXPECT_EQ(tokend.List().output, "USER                UID               LABEL\n");
}

// Each hostile client is dropped with a log line that says why; a well-behaved module keeps
// its connection and its tokens throughout.
TEST(Tokend, DropsHostileClientsAndKeepsServingOthers) {
  TokendProcess tokend({.arguments = {"--handshake-timeout-ms", "300"}});
  ModuleClient good(tokend.PipeName());
  good.Store(7, Document(7, "kept"));

  auto cutRecord = protocol::BuildMessage(0, protocol::Command::StoreToken);
  protocol::AppendU64(cutRecord, 5);
  protocol::AppendU32(cutRecord, 100);  // announces 100 bytes, sends 3
  cutRecord.insert(cutRecord.end(), {'{', '}', ' '});
  SecureBytes notJson;
  protocol::AppendTokenRecord(notJson, 5, "not json");
  notJson = protocol::BuildMessage(0, protocol::Command::StoreToken, notJson);
  SecureBytes tooLong(ravcore::network::mbc::MessageSplittingWrapper::kStartFrameSize);
  tooLong[0] = 1;  // version 1, start frame, then the announced length
  for (int i = 0; i < 4; ++i)
    tooLong[9 + i] = static_cast<std::uint8_t>((tokend::kMaxRequest + 1) >> (8 * i));

  // How the bytes reach the service: with no Noise at all, as a message of a client with the
  // module's key or another key, or right above the Noise layer.
  enum Via { kRaw, kMessage, kWrongKey, kBelowFrames };
  using B = std::vector<std::uint8_t>;
  const struct {
    const char* what;
    Via via;
    B bytes;
    std::string logged;
  } cases[] = {
      {"garbage record",
       kRaw,
       {8, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8},
       "dropped in the handshake: Noise message must be"},
      {"record over 64 KiB",
       kRaw,
       {0x00, 0x00, 0x01, 0x00, 'x'},
       "dropped in the handshake: broke the protocol: record longer than 65535 bytes"},
      {"silent client", kRaw, {}, "dropped in the handshake: Timeout."},
      {"wrong key", kWrongKey, {}, "dropped in the handshake: Decryption failed."},
      {"message announced too long", kBelowFrames, B(tooLong.begin(), tooLong.end()),
       "dropped: Announced message length exceeds the limit."},
      {"short message", kMessage, {1, 1, 0}, "message of 3 bytes has no header"},
      {"foreign version", kMessage, {2, 1, 0, 0, 0, 0, 0}, "unknown protocol version 2"},
      {"unknown command", kMessage, {1, 1, 0, 0, 0, 0, 9}, "command 9 is no request"},
      {"clear from a module", kMessage, {1, 1, 0, 0, 0, 0, 3}, "command 3 is no request"},
      {"cut record", kMessage, B(cutRecord.begin(), cutRecord.end()),
       "without exactly one whole token record"},
      {"not JSON", kMessage, B(notJson.begin(), notJson.end()),
       "token document is not a JSON object"},
      {"get-all with payload",
       kMessage,
       {1, 1, 0, 0, 0, 0, 0, 1},
       "get-all request with a payload"},
      {"short remove",
       kMessage,
       {1, 1, 0, 0, 0, 0, 2, 1, 2, 3},
       "remove request without a 12-byte payload"},
  };
  for (const auto& hostile : cases) {
    SCOPED_TRACE(hostile.what);
    const auto start = Clock::now();
    if (hostile.via == kRaw) {
      platform::PipeConnection connection = RawConnection(tokend);
      EXPECT_TRUE(connection.WriteAll(hostile.bytes));
      EXPECT_TRUE(ClosedByService(connection, 5s));
    } else {
      ModuleClient client(tokend.PipeName(), hostile.via == kWrongKey
                                                 ? std::optional(SecureBytes(32, 0x42))
                                                 : std::nullopt);
      if (hostile.via == kMessage)
        client.Send(hostile.bytes);
      if (hostile.via == kBelowFrames)
        client.SendBelowFrames(hostile.bytes);
      EXPECT_TRUE(client.WaitForDisconnect(5s));
    }
    EXPECT_TRUE(tokend.WaitForLog(hostile.logged, 5s)) << tokend.Log();
    if (hostile.via == kRaw && hostile.bytes.empty()) {
      EXPECT_GE(Clock::now() - start, 300ms);
    }
    EXPECT_EQ(good.GetAll(), (std::vector<StoredRecord>{{7, Document(7, "kept")}}));
  }
  EXPECT_THAT(tokend.Status().output, HasSubstr("\nmodules 1\n"));
}

TEST(Tokend, RefusesTheConnectionBeyondTheCapAtOnce) {
  TokendProcess tokend({.arguments = {"--max-clients", "2"}});
  auto first = std::make_unique<ModuleClient>(tokend.PipeName());
  ModuleClient second(tokend.PipeName());
  platform::PipeConnection third = RawConnection(tokend);
  EXPECT_TRUE(ClosedByService(third, 2s));
  EXPECT_THAT(tokend.Log(), HasSubstr("2 modules are connected, the most allowed"));

  first.reset();
  ASSERT_TRUE(
      WaitUntil([&] { return tokend.Status().output.find("\nmodules 1\n") != std::string::npos; }));
  EXPECT_TRUE(ModuleClient(tokend.PipeName()).GetAll().empty());
}

// A module reaches only its own user's tokens; the administrator's list shows everyone's.
TEST(Tokend, KeepsTheTokensOfEachUserApart) {
  if (platform::EffectiveUserId() != 0) {
    GTEST_SKIP() << "needs root to run a client as another user";
  }
  TokendProcess tokend;
  ModuleClient root(tokend.PipeName());
  root.Store(0x10, Document(0x10, "root's"));

  const auto nobody = ProbeAs(65534, 65534, tokend,
                              {"store:20:" + Document(0x20, "nobody's"), "remove:10", "getall"});
  EXPECT_EQ(nobody.exitCode, 0);
  EXPECT_EQ(nobody.output, "tokens 20");
  EXPECT_EQ(root.GetAll(), (std::vector<StoredRecord>{{0x10, Document(0x10, "root's")}}));
  const std::string list = tokend.List().output;
  EXPECT_THAT(list, testing::ContainsRegex("0 \\(root\\) +00000000000010 +root's\n"));
  EXPECT_THAT(list, testing::ContainsRegex("65534[^\n]* +00000000000020 +nobody's\n"));
}

TEST(Tokend, SocketsAndStoreHaveTheirModesAndASecondServiceIsRefused) {
  TokendProcess tokend;
  ModuleClient(tokend.PipeName()).Store(1, Document(1, "one"));
  EXPECT_EQ(Mode(tokend.SocketPath()), S_IFSOCK | 0666u);
  EXPECT_EQ(Mode(tokend.PipeDirectory() / "varlo-tokend.control"), S_IFSOCK | 0600u);
  EXPECT_EQ(Mode(tokend.StorePath()), S_IFREG | 0600u);
  EXPECT_EQ(Mode(tokend.StorePath().string() + "-wal"), S_IFREG | 0600u);
  EXPECT_THROW(TokendProcess({.pipeDirectory = tokend.PipeDirectory()}), std::runtime_error);

  if (platform::EffectiveUserId() != 0)
    return;  // the rest connects as other users
  const auto nogroup = platform::LookupGroup("nogroup");
  ASSERT_TRUE(nogroup.has_value());
  TokendProcess grouped({.arguments = {"--allow-group", "nogroup"}});
  struct stat socket {};
  ASSERT_EQ(::lstat(grouped.SocketPath().c_str(), &socket), 0);
  EXPECT_EQ(socket.st_mode, S_IFSOCK | 0660u);
  EXPECT_EQ(socket.st_gid, *nogroup);
  EXPECT_EQ(ProbeAs(65534, *nogroup, grouped, {"getall"}).exitCode, 0);
  EXPECT_EQ(ProbeAs(1, 1, grouped, {"getall"}).exitCode, 2);  // not in the group
}

}  // namespace
}  // namespace varlo::testservice
