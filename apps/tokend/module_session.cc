#include "apps/tokend/module_session.h"

#include <string>
#include <utility>
#include <vector>

#include "apps/tokend/module_requests.h"
#include "localservice/service_protocol.h"
#include "ravcore/network/mbc/message_splitting_wrapper.h"
#include "ravcore/network/mbc/noise_wrapper.h"
#include "ravcore/network/mbc/pipe_stream_wrapper.h"
#include "ravcore/network/mbc/polling_wrapper.h"
#include "ravcore/network/mbc/stack_builder.h"
#include "ravcore/network/network_exception.h"
#include "ravcore/network/pipe_stream.h"

namespace varlo::tokend {
namespace {

using ravcore::network::NetworkException;
using ravcore::network::PipeStream;
using namespace ravcore::network::mbc;

// How often the handshake looks for the module's answer.
constexpr std::chrono::milliseconds kHandshakeReceiveInterval{5};

// What a failure of the connection means, for the log. Call it where the exception is current
// or held (the polling thread holds its own).
SessionEnding Explain(const std::exception_ptr& failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const ProtocolError& error) {
    return {false, std::string("broke the protocol: ") + error.what()};
  } catch (const NetworkException& error) {
    const auto code = error.GetSystemErrorCode();
    if (code == platform::kErrorBrokenPipe || code == platform::kErrorNoData)
      return {true, "disconnected"};
    return {false, std::string(error.what()) + " (" + std::to_string(code) + ")"};
  } catch (const std::exception& error) {
    return {false, error.what()};
  } catch (const char* text) {
    return {false, std::string("Noise: ") + text};  // the Noise framework's failures
  } catch (...) {
    return {false, "unknown failure"};
  }
}

}  // namespace

ModuleSession::ModuleSession(std::uint64_t id, platform::PeerCredentials peer,
                             platform::PipeConnection connection, TokenStore& store,
                             ServiceLog& log, std::chrono::milliseconds handshakeTimeout)
    : id_(id),
      peer_(std::move(peer)),
      connection_(std::move(connection)),
      store_(store),
      log_(log),
      handshakeTimeout_(handshakeTimeout) {}

ModuleSession::~ModuleSession() {
  Stop();
  Join();
}

void ModuleSession::Start() {
  thread_ = std::thread([this] { Run(); });
}

void ModuleSession::SendClear() {
  {
    std::lock_guard lock(mutex_);
    clearPending_ = true;
  }
  wake_.notify_all();
}

void ModuleSession::Stop() {
  std::shared_ptr<PipeStream> stream;
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    stream = stream_;
  }
  wake_.notify_all();
  // Ends a handshake waiting for the module and a write waiting for it to read.
  if (stream)
    stream->Close();
}

void ModuleSession::Join() {
  if (thread_.joinable())
    thread_.join();
}

std::string ModuleSession::Describe() const {
  return "module " + std::to_string(id_) + " (uid " + std::to_string(peer_.uid) + ", pid " +
         std::to_string(peer_.pid) + ")";
}

void ModuleSession::Run() {
  SessionEnding ending;
  bool handshakeDone = false;
  std::shared_ptr<PipeStream> stream;
  std::unique_ptr<IStack> stack;
  try {
    stream = std::make_shared<PipeStream>();
    stream->Adopt(std::move(connection_));
    bool stopping;
    {
      std::lock_guard lock(mutex_);
      stream_ = stream;
      stopping = stopping_;
    }
    if (!stopping)
      ending = Serve(stream, stack, handshakeDone);
  } catch (...) {
    ending = Explain(std::current_exception());
  }
  {
    std::lock_guard lock(mutex_);
    if (stopping_)
      ending = {true, "closed: the service is stopping"};
    stream_.reset();  // its thread goes with the last holder
  }
  try {
    // The pipe closes first, so that a polling thread blocked in a write to a module that does
    // not read fails at once; then the stack joins it.
    if (stream)
      stream->Close();
    stack.reset();
    stream.reset();
    const std::string line = Describe() +
                             (ending.clean    ? ": "
                              : handshakeDone ? ": dropped: "
                                              : ": dropped in the handshake: ") +
                             ending.text;
    if (ending.clean)
      log_.Info(line);
    else
      log_.Warning(line);
  } catch (...) {
    // Nothing may leave the session's thread; the log itself failed.
  }
  finished_ = true;
}

SessionEnding ModuleSession::Serve(const std::shared_ptr<PipeStream>& stream,
                                   std::unique_ptr<IStack>& stack, bool& handshakeDone) {
  std::vector<SecureBytes> keys;
  keys.push_back(service_protocol::DerivePreSharedKey());
  StackBuilder builder;
  builder.Add<PipeStreamWrapper>(stream, [] {
    throw ProtocolError("record longer than " +
                        std::to_string(PipeStreamWrapper::kMaxRecordLength) + " bytes");
  });
  builder
      .Add<NoiseWrapper>(keys, true,
                         NoiseWrapper::Timing{handshakeTimeout_, kHandshakeReceiveInterval})
      .Configure([](const std::shared_ptr<NoiseWrapper>& noise) { noise->DoHandshake(); });
  // No request can be longer than a token document; a longer announcement drops the module
  // before anything is collected.
  builder.Add<MessageSplittingWrapper>(static_cast<std::uint32_t>(kMaxRequest));
  builder.Add<PollingWrapper>().Configure([this](const std::shared_ptr<PollingWrapper>& polling) {
    // The polling wrapper outlives its thread, which is the only caller of these observers.
    IMessageWriter* writer = polling.get();
    polling->messages.Subscribe([this, writer](const Message& message) {
      auto reply = HandleModuleMessage(store_, peer_.uid, message.Bytes());
      if (reply)
        writer->Write(Message(std::move(*reply)));
    });
    polling->errors.Subscribe([this](const std::exception_ptr& failure) {
      SessionEnding ending = Explain(failure);
      {
        std::lock_guard lock(mutex_);
        failure_ = std::move(ending);
        failed_ = true;
      }
      wake_.notify_all();
    });
    polling->Start();
  });
  stack = builder.Build();
  handshakeDone = true;
  log_.Info(Describe() + ": connected");

  std::unique_lock lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return stopping_ || failed_ || clearPending_; });
    if (stopping_ || failed_)
      return failure_;
    clearPending_ = false;
    lock.unlock();
    stack->Write(Message(service_protocol::BuildMessage(0, service_protocol::Command::ClearAll)));
    log_.Info(Describe() + ": sent the clear command");
    lock.lock();
  }
}

}  // namespace varlo::tokend
