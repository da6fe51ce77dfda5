// noise_vectors <vector file>
//
// Runs the Noise test vectors of a file in the cacophony format against this framework: for
// every vector it supports (DH "25519", one of the fifteen fundamental patterns, with or without
// psk modifiers) it plays both roles with the vector's fixed keys, checks every handshake and
// transport message in both directions and the handshake hash of both sides. Other vectors are
// skipped. Prints each failure and ends with "N passed, M failed"; exits with 0 only when
// nothing failed and something passed.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/hex.h"
#include "common/secure_bytes.h"
#include "noise/curve25519.h"
#include "noise/handshake_state.h"
#include "noise/protocol.h"

namespace {

using varlo::SecureBytes;
using varlo::noise::Curve25519;
using varlo::noise::HandshakeStateInterface;
using varlo::noise::KeyPair;
using varlo::noise::Protocol;
using varlo::noise::TransportInterface;
using Bytes = std::vector<std::uint8_t>;

// Curve25519 whose next ephemeral key pair is the vector's.
class FixedEphemeralDh : public Curve25519 {
 public:
  explicit FixedEphemeralDh(const Bytes& private_key) : private_key_(private_key) {}
  using Curve25519::GenerateKeyPair;
  std::shared_ptr<KeyPair> GenerateKeyPair() override { return GenerateKeyPair(private_key_); }

 private:
  Bytes private_key_;
};

bool IsSupported(const std::string& name) {
  static const std::regex kSupported(
      "Noise_(N|K|X|NN|NK|NX|XN|XK|XX|KN|KK|KX|IN|IK|IX)(psk[0-3](\\+psk[0-3])*)?_25519_[^_]+_[^_]"
      "+");
  return std::regex_match(name, kSupported);
}

Bytes HexField(const nlohmann::json& vector, const char* field) {
  if (!vector.contains(field)) {
    return {};
  }
  auto bytes = varlo::FromHex(vector.at(field).get<std::string>());
  if (!bytes) {
    throw std::runtime_error(std::string("bad hex in ") + field);
  }
  return *bytes;
}

std::vector<SecureBytes> PskField(const nlohmann::json& vector, const char* field) {
  std::vector<SecureBytes> keys;
  if (vector.contains(field)) {
    for (const auto& text : vector.at(field)) {
      auto bytes = varlo::FromHex(text.get<std::string>());
      if (!bytes) {
        throw std::runtime_error(std::string("bad hex in ") + field);
      }
      keys.push_back(varlo::ToSecure(*bytes));
    }
  }
  return keys;
}

std::shared_ptr<HandshakeStateInterface> MakeSide(const std::shared_ptr<Protocol>& protocol,
                                                  const nlohmann::json& vector, bool initiator) {
  const std::string prefix = initiator ? "init_" : "resp_";
  auto field = [&](const char* name) { return HexField(vector, (prefix + name).c_str()); };
  SecureBytes s = varlo::ToSecure(field("static"));
  auto state = protocol->Create(initiator, field("prologue"), s, field("remote_static"),
                                PskField(vector, (prefix + "psks").c_str()));
  Bytes ephemeral = field("ephemeral");
  if (!ephemeral.empty()) {
    state->SetDh(std::make_shared<FixedEphemeralDh>(ephemeral));
  }
  return state;
}

// Returns an empty string when the vector passes, else what went wrong.
std::string RunVector(const nlohmann::json& vector) {
  auto protocol = Protocol::Parse(vector.at("protocol_name").get<std::string>());
  std::shared_ptr<HandshakeStateInterface> sides[2] = {MakeSide(protocol, vector, true),
                                                       MakeSide(protocol, vector, false)};
  std::shared_ptr<TransportInterface> transports[2];
  Bytes hashes[2];
  const Bytes expected_hash = HexField(vector, "handshake_hash");
  Bytes buffer(Protocol::MaxMessageLength);
  Bytes payload_buffer(Protocol::MaxMessageLength);

  int sender = 0;
  std::size_t index = 0;
  for (const auto& message : vector.at("messages")) {
    const Bytes payload = HexField(message, "payload");
    const Bytes ciphertext = HexField(message, "ciphertext");
    const int receiver = 1 - sender;
    std::size_t written = 0;
    std::size_t read = 0;
    if (transports[sender] == nullptr) {
      auto out = sides[sender]->WriteMessage(payload, buffer);
      written = out.bytes;
      if (out.transport) {
        transports[sender] = out.transport;
        hashes[sender] = out.handshake_hash;
      }
      auto in = sides[receiver]->ReadMessage(ciphertext, payload_buffer);
      read = in.bytes;
      if (in.transport) {
        transports[receiver] = in.transport;
        hashes[receiver] = in.handshake_hash;
      }
    } else {
      written = transports[sender]->WriteMessage(payload, buffer);
      read = transports[receiver]->ReadMessage(ciphertext, payload_buffer);
    }
    if (Bytes(buffer.begin(), buffer.begin() + written) != ciphertext) {
      return "message " + std::to_string(index) + ": ciphertext differs";
    }
    if (Bytes(payload_buffer.begin(), payload_buffer.begin() + read) != payload) {
      return "message " + std::to_string(index) + ": payload differs";
    }
    // One-way patterns only ever send from the initiator.
    if (!(transports[0] && transports[0]->IsOneWay())) {
      sender = receiver;
    }
    ++index;
  }
  if (transports[0] == nullptr || transports[1] == nullptr) {
    return "handshake did not complete";
  }
  if (hashes[0] != expected_hash || hashes[1] != expected_hash) {
    return "handshake hash differs";
  }
  return {};
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: noise_vectors <vector file>\n";
    return 2;
  }
  std::ifstream file(argv[1]);
  if (!file) {
    std::cerr << "cannot open " << argv[1] << "\n";
    return 2;
  }
  nlohmann::json document;
  try {
    document = nlohmann::json::parse(file);
  } catch (const std::exception& e) {
    std::cerr << "cannot parse " << argv[1] << ": " << e.what() << "\n";
    return 2;
  }

  int passed = 0;
  int failed = 0;
  int skipped = 0;
  for (const auto& vector : document.at("vectors")) {
    const std::string name = vector.value("protocol_name", "");
    if (!IsSupported(name)) {
      ++skipped;
      continue;
    }
    std::string problem;
    try {
      problem = RunVector(vector);
    } catch (const char* message) {
      problem = message;
    } catch (const std::exception& e) {
      problem = e.what();
    }
    if (problem.empty()) {
      ++passed;
    } else {
      ++failed;
      std::cout << "FAIL " << name << ": " << problem << "\n";
    }
  }
  std::cout << skipped << " skipped\n";
  std::cout << passed << " passed, " << failed << " failed\n";
  return failed == 0 && passed > 0 ? 0 : 1;
}
