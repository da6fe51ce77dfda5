#include "apps/vcard/card_controller.h"

#include <charconv>
#include <chrono>
#include <sstream>

#include "apps/vcard/vpcd_session.h"
#include "common/hex.h"

namespace varlo::vcard {

namespace {

// How long to wait between attempts to reach vpcd while pcscd is not listening.
constexpr auto kReconnectInterval = std::chrono::milliseconds(20);
// The history keeps this many entries; older ones are dropped.
constexpr std::size_t kHistoryLimit = 100000;

std::vector<std::string_view> Words(std::string_view line) {
  std::vector<std::string_view> words;
  std::size_t at = 0;
  while (at < line.size()) {
    std::size_t start = line.find_first_not_of(" \t\r", at);
    if (start == std::string_view::npos)
      break;
    std::size_t end = line.find_first_of(" \t\r", start);
    if (end == std::string_view::npos)
      end = line.size();
    words.push_back(line.substr(start, end - start));
    at = end;
  }
  return words;
}

std::optional<bool> OnOff(std::string_view value) {
  if (value == "on")
    return true;
  if (value == "off")
    return false;
  return std::nullopt;
}

}  // namespace

CardController::CardController(VcardConfig config, VirtualDesfire::RandomSource random)
    : config_(std::move(config)), random_(std::move(random)), behaviour_(config_.behaviour) {}

CardController::~CardController() {
  Remove();
}

void CardController::Present(CardImage image) {
  Remove();
  std::lock_guard lock(mutex_);
  card_.emplace(std::move(image), behaviour_, random_);
  presented_ = true;
  runner_ = std::thread([this] { Run(); });
}

void CardController::Remove() {
  {
    std::lock_guard lock(mutex_);
    presented_ = false;
    if (connection_)
      connection_->Shutdown();
    changed_.notify_all();
  }
  if (runner_.joinable())
    runner_.join();
  std::lock_guard lock(mutex_);
  card_.reset();
}

void CardController::Run() {
  std::unique_lock lock(mutex_);
  while (presented_) {
    lock.unlock();
    auto connection =
        platform::TcpConnection::Connect(config_.host, config_.port, nullptr, config_.lowLatency);
    lock.lock();
    if (!connection) {
      changed_.wait_for(lock, kReconnectInterval, [this] { return !presented_; });
      continue;
    }
    if (!presented_)
      break;
    connection_ = connection.get();
    card_->PowerOff();  // a fresh connection is a card just put on the reader
    Record("connected");
    lock.unlock();
    ServeVpcd(*connection, [this](VpcdMessage kind, std::span<const std::uint8_t> payload) {
      return OnMessage(kind, payload);
    });
    lock.lock();
    connection_ = nullptr;
    // A driver that accepts and hangs up at once (pcscd shutting down) is not run into a loop.
    changed_.wait_for(lock, kReconnectInterval, [this] { return !presented_; });
  }
}

std::optional<std::vector<std::uint8_t>> CardController::OnMessage(
    VpcdMessage kind, std::span<const std::uint8_t> payload) {
  std::lock_guard lock(mutex_);
  switch (kind) {
    case VpcdMessage::kPowerOff:
      card_->PowerOff();
      Record("power-off");
      return std::nullopt;
    case VpcdMessage::kPowerOn:
      card_->PowerOn();
      Record("power-on");
      return std::nullopt;
    case VpcdMessage::kReset:
      card_->Reset();
      Record("reset");
      return std::nullopt;
    case VpcdMessage::kAtrRequest:
      Record("atr");
      return card_->Atr();
    case VpcdMessage::kApdu:
      break;
  }
  std::vector<std::uint8_t> response = card_->Transmit(payload);
  // Changes the card made to its behaviour (a spent abort-once) become the program's settings.
  behaviour_ = card_->Behaviour();
  if (config_.trace) {
    *config_.trace << "> " << ToHex(payload) << "\n< " << ToHex(response) << std::endl;
  }
  Record(ToHex(payload) + ":" + ToHex(response));
  return response;
}

void CardController::Record(std::string entry) {
  if (history_.size() >= kHistoryLimit)
    history_.erase(history_.begin());
  history_.push_back(std::move(entry));
}

std::string CardController::Set(std::string_view name, std::string_view value) {
  CardBehaviour b = behaviour_;
  if (name == "wrapped-only" || name == "application") {
    auto on = OnOff(value);
    if (!on)
      return "error " + std::string(name) + " takes on or off";
    (name == "wrapped-only" ? b.wrappedOnly : b.applicationPresent) = *on;
  } else if (name == "abort-once") {
    if (value == "off") {
      b.abortOnce.reset();
    } else {
      auto bytes = FromHex(value);
      if (!bytes || bytes->size() != 1)
        return "error abort-once takes a command byte in hex";
      b.abortOnce = (*bytes)[0];
    }
  } else if (name == "atr") {
    auto bytes = FromHex(value);
    if (!bytes || bytes->empty() || bytes->size() > 33)
      return "error atr takes 1 to 33 bytes in hex";
    b.atr = *bytes;
  } else if (name == "key-type") {
    if (value == "2k3des") {
      b.keyType = CardCipher::k2K3DES;
    } else if (value == "aes") {
      b.keyType = CardCipher::kAES128;
    } else {
      return "error key-type takes 2k3des or aes";
    }
  } else if (name == "chunk") {
    std::size_t n = 0;
    auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), n);
    if (ec != std::errc() || end != value.data() + value.size() || n < 1 || n > 59) {
      return "error chunk takes a number from 1 to 59";
    }
    b.chunkSize = n;
  } else {
    return "error unknown setting: " + std::string(name);
  }
  behaviour_ = b;
  if (card_)
    card_->Behaviour() = b;
  return "ok";
}

std::string CardController::Handle(std::string_view line, bool* quit) {
  const auto words = Words(line);
  if (words.empty())
    return "error empty command";
  const std::string_view command = words[0];
  if (command == "present") {
    // The rest of the line is the file name, blanks and all.
    std::string_view path = line.substr(line.find("present") + 7);
    path.remove_prefix(std::min(path.find_first_not_of(" \t"), path.size()));
    path = path.substr(0, path.find_last_not_of(" \t\r") + 1);
    if (path.empty())
      return "error present takes an image file";
    try {
      Present(LoadCardImage(std::string(path)));
    } catch (const std::exception& e) {
      return std::string("error ") + e.what();
    }
    return "ok";
  }
  if (command == "remove" && words.size() == 1) {
    Remove();
    return "ok";
  }
  if (command == "quit" && words.size() == 1) {
    Remove();
    if (quit)
      *quit = true;
    return "ok";
  }
  std::lock_guard lock(mutex_);
  if (command == "set") {
    if (words.size() != 3)
      return "error set takes a name and a value";
    return Set(words[1], words[2]);
  }
  if (command == "inject") {
    if (words.size() != 3)
      return "error inject takes a command byte and an answer";
    auto code = FromHex(words[1]);
    auto answer = words[2] == "-"
                      ? std::optional<std::vector<std::uint8_t>>(std::vector<std::uint8_t>{})
                      : FromHex(words[2]);
    if (!code || code->size() != 1)
      return "error inject takes a command byte in hex";
    if (!answer || answer->size() > 0xFFFF)
      return "error inject takes an answer in hex or -";
    behaviour_.injected.push_back({(*code)[0], *answer});
    if (card_)
      card_->Behaviour() = behaviour_;
    return "ok";
  }
  if (command == "status" && words.size() == 1) {
    if (!presented_)
      return "ok removed";
    return connection_ ? "ok present connected" : "ok present waiting";
  }
  if (command == "history" && words.size() == 1) {
    std::string answer = "ok";
    for (const std::string& entry : history_)
      answer += " " + entry;
    return answer;
  }
  if (command == "clear-history" && words.size() == 1) {
    history_.clear();
    return "ok";
  }
  return "error unknown command: " + std::string(line);
}

}  // namespace varlo::vcard
