// The service's messages as the module's connection takes them: a LocalServiceConnection over a
// stub of the layers below, whose requests are answered from the input.
//
// Input: records, each the request in flight (1 byte: 0 get all tokens, 1 store a token,
// 2 remove a token, any other value none), the message's length (2 bytes, little-endian) and
// the message the service sends while that request is in flight; a last message cut short
// keeps the bytes there are. The task id in a message is counted from the request's own (it
// is combined with it by exclusive or), so that an input can answer a request whose id is
// random: 0 answers the request itself.
//
// Replies and clear commands are handled without throwing; of the requests, only fetching the
// stored tokens may fail, with a std::exception (localservice/local_service.h). A crash, a leak
// or any other exception is a fault.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <stdexcept>

#include "localservice/local_service_connection.h"
#include "ravcore/network/mbc/interfaces.h"
#include "ravcore/network/mbc/message.h"

namespace {

using ravcore::network::mbc::Message;
namespace protocol = varlo::service_protocol;

// The layers below: a request written to it is answered at once with the pending message.
class StubStack : public ravcore::network::mbc::IStack {
 public:
  void Answer(std::span<const std::uint8_t> message) { pending_ = message; }
  void Attach(varlo::LocalServiceConnection* connection) { connection_ = connection; }

  Message Read() override { return Message(); }
  void Write(const Message& request) override {
    const auto header = protocol::ReadHeader(request.Bytes());
    if (!header)
      __builtin_trap();  // the module writes whole messages only
    Deliver(header->taskId);
  }

  // Hands the pending message to the connection, its task id counted from `taskId`.
  void Deliver(std::uint32_t taskId) {
    varlo::SecureBytes message(pending_.begin(), pending_.end());
    pending_ = {};
    if (message.size() >= protocol::kHeaderSize) {
      for (std::size_t i = 0; i < 4; ++i)
        message[2 + i] ^= static_cast<std::uint8_t>(taskId >> (8 * i));
    }
    connection_->HandleMessage(std::move(message));
  }

 private:
  varlo::LocalServiceConnection* connection_ = nullptr;
  std::span<const std::uint8_t> pending_;
};

varlo::DesfireData Token() {
  varlo::DesfireData token;
  token.uid = 0x04112233445566;
  token.label = "Fuzz token";
  token.initialized = true;
  token.pinData.assign(varlo::kPinDataSize, 0x13);
  return token;
}

// A reply that has not come by the time the request was written never comes: no waiting.
varlo::LocalServiceConnection::Timing ReplyAtOnce() {
  varlo::LocalServiceConnection::Timing timing;
  timing.replyTimeout = std::chrono::milliseconds(0);
  return timing;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const varlo::DesfireData token = Token();
  // One connection for every input (its pool's threads are costly to start): between inputs
  // it holds no task, as between any two requests.
  static const auto stack = std::make_shared<StubStack>();
  static varlo::LocalServiceConnection connection([] {}, ReplyAtOnce(), stack);
  stack->Attach(&connection);

  for (std::size_t at = 0; at + 3 <= size;) {
    const std::uint8_t request = data[at];
    std::size_t length = data[at + 1] | (std::size_t{data[at + 2]} << 8);
    at += 3;
    if (length > size - at)
      length = size - at;
    stack->Answer(std::span(data + at, length));
    at += length;
    switch (request) {
      case 0:
        try {
          (void)connection.RequestStoredTokens();
        } catch (const std::exception&) {
          // a refused reply: the token list goes on without the stored tokens
        }
        break;
      case 1:
        connection.StoreToken(token);
        break;
      case 2:
        connection.RemoveToken(token.uid);
        break;
      default:
        stack->Deliver(0);
        break;
    }
  }
  return 0;
}
