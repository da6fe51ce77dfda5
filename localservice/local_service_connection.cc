#include "localservice/local_service_connection.h"

#include <nlohmann/json.hpp>

#include <exception>
#include <sstream>
#include <stdexcept>
#include <utility>

#include "log/logger.h"
#include "ravcore/network/mbc/message.h"
#include "ravcore/network/mbc/message_splitting_wrapper.h"
#include "ravcore/network/mbc/noise_wrapper.h"
#include "ravcore/network/mbc/pipe_stream_wrapper.h"
#include "ravcore/network/mbc/polling_wrapper.h"
#include "ravcore/network/mbc/stack_builder.h"
#include "ravcore/network/network_exception.h"
#include "ravcore/network/pipe_stream.h"
#include "ravcore/thread_pool.h"
#include "tokendata/token_json.h"

namespace varlo {
namespace {

using ravcore::network::NetworkException;
using ravcore::network::PipeStream;
using ravcore::network::mbc::IStack;
using ravcore::network::mbc::Message;
using ravcore::network::mbc::MessageSplittingWrapper;
using ravcore::network::mbc::NoiseWrapper;
using ravcore::network::mbc::PipeStreamWrapper;
using ravcore::network::mbc::PollingWrapper;
using ravcore::network::mbc::StackBuilder;
using service_protocol::Command;

constexpr const char* kContext = "LSConnection";
constexpr unsigned long kErrorFileNotFound = 2;

std::string HexCode(unsigned long code) {
  std::ostringstream text;
  text << std::hex << code;
  return text.str();
}

// The text of any exception, including the C strings of the Noise framework.
std::string Describe(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return e.what();
  } catch (const char* text) {
    return text != nullptr ? text : "unknown failure";
  } catch (...) {
    return "unhandled exception.";
  }
}

// The Windows error number a failure carries, 0 when it carries none.
unsigned long ErrorCode(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const NetworkException& e) {
    return e.GetSystemErrorCode();
  } catch (...) {
    return 0;
  }
}

}  // namespace

LocalServiceConnection::LocalServiceConnection(ClearCallback onClear)
    : LocalServiceConnection(std::move(onClear), Timing{}) {}

LocalServiceConnection::LocalServiceConnection(ClearCallback onClear, Timing timing,
                                               std::u16string pipeName)
    : clearCallback_(std::move(onClear)),
      timing_(timing),
      pipeName_(std::move(pipeName)),
      pool_(std::make_unique<ravcore::ThreadPool>(3)) {
  TraceScope trace("LocalServiceConnection::LocalServiceConnection");
  Connect();
}

LocalServiceConnection::LocalServiceConnection(ClearCallback onClear, Timing timing,
                                               std::shared_ptr<Stack> stack)
    : clearCallback_(std::move(onClear)),
      timing_(timing),
      stack_(std::move(stack)),
      pool_(std::make_unique<ravcore::ThreadPool>(3)) {
  connected_ = stack_ != nullptr;
}

LocalServiceConnection::~LocalServiceConnection() {
  TraceScope trace("LocalServiceConnection::~LocalServiceConnection");
  Shutdown();
  // Queued tasks still run: the attempt ends at its next step, replies are handled.
  pool_->Stop();
  std::shared_ptr<Stack> stack;
  {
    std::lock_guard lock(stackMutex_);
    stack = std::move(stack_);
    attemptStream_.reset();
    currentStream_.reset();
  }
  {
    std::lock_guard lock(taskMutex_);
    tasks_.clear();
  }
  stack.reset();  // joins the polling thread; its late deliveries find the pool stopped
}

void LocalServiceConnection::Shutdown() {
  if (stop_.exchange(true))
    return;
  connected_ = false;
  std::shared_ptr<PipeStream> attempt;
  std::shared_ptr<PipeStream> current;
  {
    std::lock_guard lock(stackMutex_);
    attempt = attemptStream_;
    current = currentStream_;
  }
  // A closed stream fails the handshake's and the polling thread's reads and every write that
  // waits for room, at once.
  for (const auto& stream : {attempt, current}) {
    if (stream)
      stream->Close();
  }
  SignalWaiters();
}

void LocalServiceConnection::SignalWaiters() {
  { std::lock_guard lock(waitMutex_); }
  wake_.notify_all();
  { std::lock_guard lock(taskMutex_); }
  taskChanged_.notify_all();
}

bool LocalServiceConnection::WaitUntilConnected(std::chrono::milliseconds timeout) {
  std::unique_lock lock(waitMutex_);
  wake_.wait_for(lock, timeout, [this] { return connected_ || stop_; });
  return connected_;
}

bool LocalServiceConnection::Pause(std::chrono::milliseconds duration) {
  std::unique_lock lock(waitMutex_);
  return !wake_.wait_for(lock, duration, [this] { return stop_.load(); });
}

template <typename Work>
void LocalServiceConnection::RunOnPool(const char* what, Work work) {
  try {
    pool_->enqueue([what, work = std::move(work)]() mutable {
      try {
        work();
      } catch (...) {
        LogError(kContext) << what << " " << Describe(std::current_exception());
      }
    });
  } catch (...) {
    // Only a stopped pool refuses work, and only during shutdown.
    LogDebug(kContext) << what << " "
                       << "Not queued: " << Describe(std::current_exception());
  }
}

void LocalServiceConnection::Connect() {
  TraceScope trace("LocalServiceConnection::Connect");
  if (stop_)
    return;
  if (attemptPending_.exchange(true)) {
    LogWarn(kContext) << "LocalServiceConnection::Connect"
                      << " "
                      << "Unable to lock connection mutex.";
    return;
  }
  try {
    pool_->enqueue([this] { ConnectAsync(); });
  } catch (...) {
    attemptPending_ = false;  // the pool has stopped: shutdown
  }
}

void LocalServiceConnection::ConnectAsync() {
  TraceScope trace("LocalServiceConnection::ConnectAsync");
  std::uint64_t generation = 0;
  while (!stop_) {
    {
      std::lock_guard lock(stackMutex_);
      generation = ++generation_;
    }
    connected_ = false;
    bool connected = false;
    try {
      connected = Attempt(generation);
    } catch (...) {
      if (!stop_) {
        LogError(kContext) << "LocalServiceConnection::ConnectAsync"
                           << " "
                           << "Connection attempt failed: " << Describe(std::current_exception());
      }
    }
    {
      std::lock_guard lock(stackMutex_);
      attemptStream_.reset();
    }
    if (connected || !Pause(timing_.failedAttemptPause))
      break;
  }
  attemptPending_ = false;
  // A pipe error that struck after the stack was installed but before the attempt ended found
  // the attempt still pending and started nothing: start the next one now.
  bool failedMeanwhile;
  {
    std::lock_guard lock(stackMutex_);
    failedMeanwhile = failedGeneration_ == generation && generation == generation_;
  }
  if (failedMeanwhile)
    Connect();
}

bool LocalServiceConnection::Attempt(std::uint64_t generation) {
  constexpr const char* kName = "LocalServiceConnection::ConnectAsync";
  LogDebug(kContext) << kName << " "
                     << "Creating pipe object.";
  PipeStream::Timing streamTiming;
  streamTiming.sleep = [this](std::chrono::milliseconds duration) { Pause(duration); };
  auto stream = std::make_shared<PipeStream>(streamTiming);
  stream->errorSubject.Subscribe(
      [this, generation](unsigned long code) { OnPipeError(generation, code); });
  {
    std::lock_guard lock(stackMutex_);
    attemptStream_ = stream;
  }
  if (stop_ || !OpenPipe(stream)) {
    LogDebug(kContext) << kName << " "
                       << "connecting aborted";
    return false;
  }
  LogDebug(kContext) << kName << " "
                     << "Waiting for pipe connection.";
  while (!stream->IsConnected()) {
    if (!Pause(timing_.retryInterval)) {
      LogDebug(kContext) << kName << " "
                         << "connecting aborted";
      return false;
    }
  }
  LogInfo(kContext) << kName << " "
                    << "pipe connected";

  StackBuilder builder;
  builder.Add<PipeStreamWrapper>(stream);
  {
    // The key is derived for this attempt only; the builder's copy wipes itself with it.
    std::vector<SecureBytes> keys;
    keys.push_back(service_protocol::DerivePreSharedKey());
    NoiseWrapper::Timing noiseTiming;
    noiseTiming.handshakeTimeout = timing_.handshakeTimeout;
    builder.Add<NoiseWrapper>(std::move(keys), false, noiseTiming)
        .Configure([this, generation](const std::shared_ptr<NoiseWrapper>& wrapper) {
          ConfigureNoiseWrapper(generation, wrapper);
        });
  }
  builder.Add<MessageSplittingWrapper>();
  builder.Add<PollingWrapper>().Configure(
      [this, generation](const std::shared_ptr<PollingWrapper>& wrapper) {
        ConfigurePollingWrapper(generation, wrapper);
      });
  std::shared_ptr<Stack> stack = builder.Build();

  // Installed only when no pipe error came while it was built: a dead stack never counts as
  // connected. The replaced or refused stack is released outside the lock, since releasing it
  // joins its polling thread, which may be reporting an error that takes the lock.
  bool installed = false;
  {
    std::lock_guard lock(stackMutex_);
    if (!stop_ && failedGeneration_ != generation) {
      std::swap(stack_, stack);
      currentStream_ = stream;
      connected_ = true;
      installed = true;
    }
  }
  stack.reset();
  if (!installed) {
    if (!stop_) {
      LogError(kContext) << kName << " "
                         << "Connection attempt failed: pipe error while connecting.";
    }
    return false;
  }
  SignalWaiters();
  return true;
}

bool LocalServiceConnection::OpenPipe(const std::shared_ptr<PipeStream>& stream) {
  while (!stop_) {
    try {
      stream->Connect(pipeName_);
      return true;
    } catch (const NetworkException& e) {
      if (e.GetSystemErrorCode() == kErrorFileNotFound) {
        LogDebug(kContext) << "LocalServiceConnection::ConnectAsync"
                           << " "
                           << "Pipe not present.";
      } else {
        LogError(kContext) << "LocalServiceConnection::ConnectAsync"
                           << " "
                           << "Error connecting pipe: 0x" << HexCode(e.GetSystemErrorCode());
      }
    }
    if (!Pause(timing_.retryInterval))
      break;
  }
  return false;
}

void LocalServiceConnection::ConfigureNoiseWrapper(std::uint64_t generation,
                                                   const std::shared_ptr<NoiseWrapper>& wrapper) {
  if (!wrapper->IsHandshakeDone())
    wrapper->DoHandshake();
  if (!wrapper->IsHandshakeDone()) {
    LogError(kContext) << "LocalServiceConnection::ConfigureNoiseWrapper"
                       << " "
                       << "Noise handshake failed.";
    OnPipeError(generation, 0);
  }
}

void LocalServiceConnection::ConfigurePollingWrapper(
    std::uint64_t generation, const std::shared_ptr<PollingWrapper>& wrapper) {
  wrapper->messages.Subscribe([this](const Message& message) { OnMessageAvailable(message); });
  // A failed read ends the polling thread: that is a pipe error of this stack too.
  wrapper->errors.Subscribe([this, generation](const std::exception_ptr& error) {
    OnPipeError(generation, ErrorCode(error));
  });
  wrapper->Start();
}

void LocalServiceConnection::OnPipeError(std::uint64_t generation, unsigned long code) {
  TraceScope trace("LocalServiceConnection::OnPipeError");
  if (stop_)
    return;
  {
    std::lock_guard lock(stackMutex_);
    // A stack is reported once (its stream and its polling layer both tell of one failure),
    // and a stack already replaced has nothing left to break.
    if (generation != generation_ || failedGeneration_ == generation)
      return;
    failedGeneration_ = generation;
    connected_ = false;
  }
  LogError(kContext) << "LocalServiceConnection::OnPipeError"
                     << " "
                     << "Pipe error: 0x" << HexCode(code);
  SignalWaiters();
  Connect();
}

std::uint32_t LocalServiceConnection::GenerateId() {
  TraceScope trace("LocalServiceConnection::GenerateId");
  std::lock_guard lock(taskMutex_);
  std::uint32_t id = 0;
  do {
    id += random_.GenerateWord32();
  } while (tasks_.contains(id));
  tasks_.emplace(id, Task{});
  return id;
}

void LocalServiceConnection::FreeTask(std::uint32_t taskId) {
  TraceScope trace("LocalServiceConnection::FreeTask");
  std::lock_guard lock(taskMutex_);
  tasks_.erase(taskId);
}

std::uint32_t LocalServiceConnection::SendRequest(Command command,
                                                  std::span<const std::uint8_t> payload) {
  TraceScope trace("LocalServiceConnection::SendRequest");
  std::shared_ptr<Stack> stack;
  {
    std::lock_guard lock(stackMutex_);
    stack = stack_;
  }
  if (!stack || !connected_)
    throw std::runtime_error("No pipe connection.");
  const std::uint32_t id = GenerateId();
  try {
    stack->Write(Message(service_protocol::BuildMessage(id, command, payload)));
  } catch (...) {
    FreeTask(id);
    throw;
  }
  return id;
}

SecureBytes LocalServiceConnection::WaitForResult(std::uint32_t taskId) {
  TraceScope trace("LocalServiceConnection::WaitForResult");
  const auto deadline = std::chrono::steady_clock::now() + timing_.replyTimeout;
  std::unique_lock lock(taskMutex_);
  for (;;) {
    auto task = tasks_.find(taskId);
    if (task == tasks_.end())
      throw std::runtime_error("Unknown task id.");
    if (task->second.done) {
      SecureBytes result = std::move(task->second.result);
      tasks_.erase(task);
      return result;
    }
    if (!connected_) {
      tasks_.erase(task);
      throw std::runtime_error("Pipe connection lost.");
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      tasks_.erase(task);
      throw std::runtime_error("Request timed out.");
    }
    taskChanged_.wait_until(lock, deadline);
  }
}

void LocalServiceConnection::OnMessageAvailable(const Message& message) {
  TraceScope trace("LocalServiceConnection::OnMessageAvailable");
  LogDebug(kContext) << "LocalServiceConnection::OnMessageAvailable"
                     << " "
                     << "Data received from LocalService: " << message.Size() << " bytes";
  RunOnPool("LocalServiceConnection::HandleMessage",
            [this, bytes = message.Bytes()]() mutable { HandleMessage(std::move(bytes)); });
}

void LocalServiceConnection::HandleMessage(SecureBytes message) {
  TraceScope trace("LocalServiceConnection::HandleMessage");
  constexpr const char* kName = "LocalServiceConnection::HandleMessage";
  const auto header = service_protocol::ReadHeader(message);
  if (!header) {
    LogError(kContext) << kName << " "
                       << "Received data is too short for valid data structure.";
    return;
  }
  if (header->version != service_protocol::kProtocolVersion) {
    LogError(kContext) << kName << " "
                       << "Received data has unsupported protocol version.";
    return;
  }
  if (header->module != service_protocol::kModuleIdentifier) {
    LogError(kContext) << kName << " "
                       << "Received data has foreign module identifier.";
    return;
  }
  if (header->command == static_cast<std::uint8_t>(Command::ClearAll)) {
    LogDebug(kContext) << kName << " "
                       << "Received clear all token command.";
    clearCallback_();
    return;
  }
  const bool hasPayload = message.size() > service_protocol::kHeaderSize;
  {
    std::lock_guard lock(taskMutex_);
    auto task = tasks_.find(header->taskId);
    if (task == tasks_.end()) {
      LogError(kContext) << kName << " "
                         << "No corresponding task for task id " << header->taskId;
      return;
    }
    // A reply without payload is an answer too (an empty store): it completes its task. The
    // payload stays in the message's buffer: a reply of every stored token is held once.
    message.erase(message.begin(), message.begin() + service_protocol::kHeaderSize);
    task->second.result = std::move(message);
    task->second.done = true;
  }
  taskChanged_.notify_all();
  if (!hasPayload) {
    LogDebug(kContext) << kName << " "
                       << "Received data contains no payload.";
  }
}

void LocalServiceConnection::StoreToken(const DesfireData& data) {
  TraceScope trace("LocalServiceConnection::StoreToken");
  try {
    SecureBytes payload;
    service_protocol::AppendTokenRecord(payload, data.uid, data.ToJson());
    // Nobody waits for a store: its entry goes as soon as the request is sent.
    FreeTask(SendRequest(Command::StoreToken, payload));
  } catch (const std::exception& e) {
    LogError(kContext) << "LocalServiceConnection::StoreToken"
                       << " "
                       << "Failed to store token data in LocalService: " << e.what();
  } catch (...) {
    LogError(kContext) << "LocalServiceConnection::StoreToken"
                       << " "
                       << "Failed to store token data in LocalService: unhandled exception.";
  }
}

void LocalServiceConnection::RemoveToken(std::uint64_t uid) {
  TraceScope trace("LocalServiceConnection::RemoveToken");
  try {
    FreeTask(SendRequest(Command::RemoveToken, service_protocol::RemovePayload(uid)));
  } catch (const std::exception& e) {
    LogError(kContext) << "LocalServiceConnection::RemoveToken"
                       << " "
                       << "Failed to remove token data in LocalService: " << e.what();
  } catch (...) {
    LogError(kContext) << "LocalServiceConnection::RemoveToken"
                       << " "
                       << "Failed to remove token data in LocalService: unhandled exception.";
  }
}

std::vector<DesfireData> LocalServiceConnection::RequestStoredTokens() {
  TraceScope trace("LocalServiceConnection::RequestStoredTokens");
  const SecureBytes reply = WaitForResult(SendRequest(Command::GetAllTokens, {}));
  const auto records = service_protocol::ReadTokenRecords(reply);
  if (!records)
    throw std::runtime_error("Invalid data size in GetAllToken response.");
  std::vector<DesfireData> tokens;
  tokens.reserve(records->size());
  for (const auto& record : *records) {
    // The document's strings are card data, wiped before the library frees them. The parser's
    // own buffers of the text are the library's and go unwiped.
    nlohmann::json document;
    const StringsWiper wiper(document);
    try {
      document = nlohmann::json::parse(record.json);
    } catch (const nlohmann::json::exception& e) {
      LogError(kContext) << "LocalServiceConnection::RequestStoredTokens"
                         << " "
                         << "Failed to load json from string: " << e.what();
      throw std::runtime_error("Failed to load stored token.");
    }
    tokens.emplace_back(document);
  }
  return tokens;
}

}  // namespace varlo
