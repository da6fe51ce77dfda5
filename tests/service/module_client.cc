#include "tests/service/module_client.h"

#include <stdexcept>
#include <utility>

#include "ravcore/network/mbc/message_splitting_wrapper.h"
#include "ravcore/network/mbc/noise_wrapper.h"
#include "ravcore/network/mbc/pipe_stream_wrapper.h"
#include "ravcore/network/mbc/polling_wrapper.h"
#include "ravcore/network/mbc/stack_builder.h"
#include "ravcore/network/pipe_stream.h"

namespace varlo::testservice {
namespace {

using namespace ravcore::network;
using namespace ravcore::network::mbc;
namespace protocol = service_protocol;

constexpr NoiseWrapper::Timing kHandshakeTiming{std::chrono::seconds(10),
                                                std::chrono::milliseconds(1)};
constexpr std::chrono::milliseconds kPollInterval{1};

}  // namespace

ModuleClient::ModuleClient(const std::u16string& pipeName, std::optional<SecureBytes> key) {
  stream_ = std::make_shared<PipeStream>();
  stream_->Connect(pipeName);
  std::vector<SecureBytes> keys;
  keys.push_back(key ? std::move(*key) : protocol::DerivePreSharedKey());

  StackBuilder builder;
  builder.Add<PipeStreamWrapper>(stream_);
  builder.Add<NoiseWrapper>(keys, false, kHandshakeTiming)
      .Configure([this](const std::shared_ptr<NoiseWrapper>& noise) {
        noise->DoHandshake();
        noise_ = noise;
      });
  builder.Add<MessageSplittingWrapper>();
  builder.Add<PollingWrapper>(kPollInterval)
      .Configure([this](const std::shared_ptr<PollingWrapper>& polling) {
        polling->messages.Subscribe([this](const Message& message) {
          const auto header = protocol::ReadHeader(message.Bytes());
          {
            std::lock_guard lock(mutex_);
            if (header && header->command == static_cast<std::uint8_t>(protocol::Command::ClearAll))
              ++clears_;
            else
              replies_.push_back(message.Bytes());
          }
          arrived_.notify_all();
        });
        polling->errors.Subscribe([this](const std::exception_ptr&) {
          {
            std::lock_guard lock(mutex_);
            disconnected_ = true;
          }
          arrived_.notify_all();
        });
        polling->Start();
      });
  stack_ = builder.Build();
}

ModuleClient::~ModuleClient() {
  // Closed first, so that the polling thread's next read ends it, whatever it waits for.
  stream_->Close();
  stack_.reset();
}

void ModuleClient::Store(std::uint64_t uid, std::string_view json) {
  SecureBytes record;
  protocol::AppendTokenRecord(record, uid, json);
  Send(protocol::BuildMessage(0, protocol::Command::StoreToken, record));
}

void ModuleClient::Remove(std::uint64_t uid) {
  Send(protocol::BuildMessage(0, protocol::Command::RemoveToken, protocol::RemovePayload(uid)));
}

SecureBytes ModuleClient::RequestAll(std::chrono::milliseconds timeout) {
  std::uint32_t taskId;
  {
    std::lock_guard lock(mutex_);
    taskId = nextTaskId_++;
  }
  Send(protocol::BuildMessage(taskId, protocol::Command::GetAllTokens));
  std::unique_lock lock(mutex_);
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    for (auto it = replies_.begin(); it != replies_.end(); ++it) {
      const auto header = protocol::ReadHeader(*it);
      if (header && header->taskId == taskId) {
        SecureBytes reply = std::move(*it);
        replies_.erase(it);
        return reply;
      }
    }
    if (disconnected_)
      throw std::runtime_error("the service closed the connection");
    if (arrived_.wait_until(lock, deadline) == std::cv_status::timeout)
      throw std::runtime_error("no reply to the get-all request");
  }
}

std::vector<StoredRecord> ModuleClient::GetAll(std::chrono::milliseconds timeout) {
  const SecureBytes reply = RequestAll(timeout);
  const auto records = protocol::ReadTokenRecords(std::span(reply).subspan(protocol::kHeaderSize));
  if (!records)
    throw std::runtime_error("a get-all reply with a cut record");
  std::vector<StoredRecord> result;
  for (const auto& record : *records)
    result.push_back({record.uid, std::string(record.json)});
  return result;
}

void ModuleClient::Send(std::span<const std::uint8_t> message) {
  stack_->Write(Message(message));
}

void ModuleClient::SendBelowFrames(std::span<const std::uint8_t> message) {
  noise_->Write(Message(message));
}

bool ModuleClient::WaitForClear(std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  if (!arrived_.wait_for(lock, timeout, [this] { return clears_ > 0; }))
    return false;
  --clears_;
  return true;
}

bool ModuleClient::WaitForDisconnect(std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  return arrived_.wait_for(lock, timeout, [this] { return disconnected_; });
}

}  // namespace varlo::testservice
