#include "apps/tokend/token_service.h"

#include <nlohmann/json.hpp>

#include <filesystem>
#include <iomanip>
#include <sstream>
#include <stdexcept>
#include <utility>

#include "common/utf.h"
#include "localservice/service_protocol.h"
#include "platform/daemon/accounts.h"
#include "platform/pipe/peer_credentials.h"
#include "tokendata/token_json.h"

namespace varlo::tokend {
namespace {

constexpr int kModuleBacklog = 64;
constexpr int kControlBacklog = 8;
constexpr std::chrono::milliseconds kAcceptFailurePause{200};
constexpr std::string_view kLockName = "varlo-tokend.lock";

std::string Peer(const platform::PeerCredentials& peer) {
  return "uid " + std::to_string(peer.uid) + ", pid " + std::to_string(peer.pid);
}

// Card UIDs are 7 bytes: 14 digits; a larger number gets all 16.
std::string UidHex(std::uint64_t uid) {
  std::ostringstream text;
  text << std::hex << std::setfill('0') << std::setw(uid >> 56 ? 16 : 14) << uid;
  return text.str();
}

std::optional<std::uint64_t> ParseUid(std::string_view text) {
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
    text.remove_prefix(2);
  if (text.empty() || text.size() > 16)
    return std::nullopt;
  std::uint64_t uid = 0;
  for (char c : text) {
    int digit;
    if (c >= '0' && c <= '9')
      digit = c - '0';
    else if (c >= 'a' && c <= 'f')
      digit = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
      digit = c - 'A' + 10;
    else
      return std::nullopt;
    uid = uid << 4 | static_cast<std::uint64_t>(digit);
  }
  return uid;
}

// The token's label (Base64 in the document's "label"), if it is printable text; "-" if not,
// or if the token has none.
std::string ReadableLabel(const SecureBytes& document) {
  auto json = nlohmann::json::parse(document.begin(), document.end(), nullptr, false);
  const StringsWiper wiper(json);
  if (!json.is_object() || !json.contains("label") || !json["label"].is_string())
    return "-";
  const auto bytes = DecodeBase64(json["label"].get_ref<const std::string&>());
  if (!bytes || bytes->empty())
    return "-";
  const std::string text(bytes->begin(), bytes->end());
  for (char16_t c : Utf8ToUtf16(text)) {
    if (c < 0x20 || c == 0x7F || c == 0xFFFD)
      return "-";
  }
  return text;
}

std::string UserText(std::uint32_t uid) {
  const auto name = platform::UserName(uid);
  return std::to_string(uid) + (name ? " (" + *name + ")" : "");
}

}  // namespace

TokenService::TokenService(const ServiceSettings& settings, ServiceLog& log)
    : settings_(settings), log_(log), owner_(platform::EffectiveUserId()) {
  if (settings_.allowGroup) {
    allowedGroup_ = platform::LookupGroup(*settings_.allowGroup);
    if (!allowedGroup_)
      throw std::runtime_error("there is no group named " + *settings_.allowGroup);
  }
  const std::string& folder = settings_.pipeDirectory;
  // Everyone must reach the sockets inside; the sockets' own modes say who may connect.
  platform::EnsureDirectory(folder, 0755);
  instanceLock_ = platform::FileLock::TryLock(folder + "/" + std::string(kLockName));
  if (!instanceLock_)
    throw std::runtime_error("another varlo-tokend is serving " + folder);
  const auto storeFolder = std::filesystem::path(settings_.storePath).parent_path();
  if (!storeFolder.empty())
    platform::EnsureDirectory(storeFolder.string(), 0700);
  platform::EnsurePrivateFile(settings_.storePath);
  store_ = std::make_unique<TokenStore>(settings_.storePath);

  moduleListener_ = std::make_unique<platform::PipeListener>(
      folder + "/" + std::string(service_protocol::kPipeLeafName), kModuleBacklog,
      allowedGroup_ ? 0660 : 0666, allowedGroup_);
  controlListener_ = std::make_unique<platform::PipeListener>(
      folder + "/" + std::string(kControlSocketName), kControlBacklog, 0600);
  log_.Info("listening on " + moduleListener_->Path() + " for " +
            (settings_.allowGroup ? "the group " + *settings_.allowGroup : "every user") +
            ", at most " + std::to_string(settings_.maxClients) + " modules; " +
            std::to_string(store_->Count()) + " tokens kept in " + settings_.storePath);
  moduleAcceptor_ = std::thread([this] { AcceptModules(); });
  try {
    controlAcceptor_ = std::thread([this] { AcceptControl(); });
  } catch (...) {
    moduleListener_->Interrupt();
    moduleAcceptor_.join();
    throw;
  }
}

TokenService::~TokenService() {
  Stop();
}

void TokenService::Stop() {
  if (!moduleListener_)
    return;  // stopped before
  {
    std::lock_guard lock(stopMutex_);
    stopping_ = true;
  }
  stopWake_.notify_all();
  moduleListener_->Interrupt();
  controlListener_->Interrupt();
  if (moduleAcceptor_.joinable())
    moduleAcceptor_.join();
  if (controlAcceptor_.joinable())
    controlAcceptor_.join();

  std::list<std::unique_ptr<ModuleSession>> sessions;
  {
    std::lock_guard lock(sessionsMutex_);
    sessions.swap(sessions_);
  }
  // All at once, so that they close in parallel; then wait for each.
  for (auto& session : sessions)
    session->Stop();
  for (auto& session : sessions)
    session->Join();
  sessions.clear();
  // The sockets go now, so that clients see at once that nobody serves them.
  moduleListener_.reset();
  controlListener_.reset();
  log_.Info("stopped");
}

void TokenService::BackOff(std::chrono::milliseconds pause) {
  std::unique_lock lock(stopMutex_);
  stopWake_.wait_for(lock, pause, [this] { return stopping_; });
}

void TokenService::AcceptModules() {
  while (!moduleListener_->Interrupted()) {
    try {
      platform::PipeConnection connection = moduleListener_->Accept(std::chrono::milliseconds(-1));
      if (connection.IsOpen())
        Admit(std::move(connection));
    } catch (const std::exception& error) {
      log_.Error(std::string("cannot take a module connection: ") + error.what());
      BackOff(kAcceptFailurePause);
    } catch (...) {
      log_.Error("cannot take a module connection: unknown failure");
      BackOff(kAcceptFailurePause);
    }
  }
}

void TokenService::Admit(platform::PipeConnection connection) {
  const auto peer = platform::ReadPeerCredentials(connection.Handle());
  if (!peer) {
    log_.Warning("refused a module connection: its peer is unknown");
    return;
  }
  if (allowedGroup_ && peer->uid != 0 && peer->uid != owner_ && !peer->InGroup(*allowedGroup_)) {
    log_.Warning("refused a module connection (" + Peer(*peer) + "): not in the group " +
                 *settings_.allowGroup);
    return;
  }
  std::lock_guard lock(sessionsMutex_);
  ReapFinished();
  if (sessions_.size() >= settings_.maxClients) {
    log_.Warning("refused a module connection (" + Peer(*peer) + "): " +
                 std::to_string(sessions_.size()) + " modules are connected, the most allowed");
    return;
  }
  auto session = std::make_unique<ModuleSession>(nextSessionId_++, *peer, std::move(connection),
                                                 *store_, log_, settings_.handshakeTimeout);
  session->Start();
  sessions_.push_back(std::move(session));
}

void TokenService::ReapFinished() {
  // A finished session's thread has nothing left but to return, and never takes our lock.
  sessions_.remove_if([](const std::unique_ptr<ModuleSession>& session) {
    if (!session->Finished())
      return false;
    session->Join();
    return true;
  });
}

void TokenService::AcceptControl() {
  while (!controlListener_->Interrupted()) {
    try {
      platform::PipeConnection connection = controlListener_->Accept(std::chrono::milliseconds(-1));
      if (!connection.IsOpen())
        continue;
      const auto peer = platform::ReadPeerCredentials(connection.Handle());
      ControlReply reply;
      if (!peer || (peer->uid != 0 && peer->uid != owner_)) {
        reply.error = "only root and the service's user may control it";
        log_.Warning("refused a control request" + (peer ? " (" + Peer(*peer) + ")" : ""));
      } else if (const auto request = ReadControlRequest(connection)) {
        log_.Info("control request \"" + *request + "\" (" + Peer(*peer) + ")");
        reply = Control(*request);
      } else {
        reply.error = "no request";
      }
      WriteControlReply(connection, reply);
    } catch (const std::exception& error) {
      log_.Error(std::string("control request failed: ") + error.what());
      BackOff(kAcceptFailurePause);
    } catch (...) {
      log_.Error("control request failed: unknown failure");
      BackOff(kAcceptFailurePause);
    }
  }
}

ControlReply TokenService::Control(const std::string& request) {
  if (request == "list")
    return List();
  if (request == "clear")
    return Clear();
  if (request == "status") {
    std::size_t modules;
    {
      std::lock_guard lock(sessionsMutex_);
      ReapFinished();
      modules = sessions_.size();
    }
    return {true,
            "pid " + std::to_string(platform::CurrentProcessId()) + "\nmodules " +
                std::to_string(modules) + "\ntokens " + std::to_string(store_->Count()) + "\n",
            ""};
  }
  if (request.rfind("remove ", 0) == 0) {
    const auto uid = ParseUid(std::string_view(request).substr(7));
    if (!uid)
      return {false, "", "not a UID in hex: " + request.substr(7)};
    const std::size_t removed = store_->RemoveForEveryUser(*uid);
    return {true, "removed " + std::to_string(removed) + " token(s) of UID " + UidHex(*uid) + "\n",
            ""};
  }
  return {false, "", "unknown request: " + request};
}

ControlReply TokenService::List() {
  std::ostringstream out;
  out << std::left << std::setw(20) << "USER" << std::setw(18) << "UID"
      << "LABEL\n";
  for (const StoredToken& token : store_->All()) {
    out << std::setw(20) << UserText(token.user) << std::setw(18) << UidHex(token.uid)
        << ReadableLabel(token.document) << '\n';
  }
  return {true, out.str(), ""};
}

ControlReply TokenService::Clear() {
  const std::size_t removed = store_->Clear();
  std::size_t told = 0;
  {
    std::lock_guard lock(sessionsMutex_);
    for (auto& session : sessions_) {
      if (!session->Finished()) {
        session->SendClear();
        ++told;
      }
    }
  }
  log_.Info("cleared " + std::to_string(removed) + " tokens; clear command to " +
            std::to_string(told) + " modules");
  return {true,
          "removed " + std::to_string(removed) + " token(s); told " + std::to_string(told) +
              " connected module(s)\n",
          ""};
}

}  // namespace varlo::tokend
