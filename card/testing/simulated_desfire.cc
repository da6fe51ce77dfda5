#include "card/testing/simulated_desfire.h"

#include <cryptopp/des.h>
#include <cryptopp/osrng.h>

#include <algorithm>

namespace varlo::testing {

namespace {

// The card enciphers with DES-EDE2 in the encryption direction; legacy authentication chains
// the reader's blocks, so the card undoes that chaining block by block.
Bytes EncryptBlock(const std::array<std::uint8_t, 16>& key, const Bytes& block) {
  CryptoPP::DES_EDE2::Encryption cipher(key.data(), key.size());
  Bytes out(8);
  cipher.ProcessBlock(block.data(), out.data());
  return out;
}

Bytes Rotate(Bytes b) {
  std::rotate(b.begin(), b.begin() + 1, b.end());
  return b;
}

Bytes WithStatus(std::uint8_t status, const Bytes& data = {}) {
  Bytes out(data.size() + 1);
  out[0] = status;
  std::copy(data.begin(), data.end(), out.begin() + 1);
  return out;
}

}  // namespace

void SimulatedDesfire::Reset() {
  pending_ = Pending::None;
  selected_ = false;
  authenticated_ = false;
}

Bytes SimulatedDesfire::Process(const Bytes& apdu) {
  if (intercept) {
    if (auto answer = intercept(apdu)) {
      return *answer;
    }
  }
  const bool wrapped = apdu.size() >= 5 && apdu[0] == 0x90 && apdu[2] == 0 && apdu[3] == 0;
  if (!wrapped) {
    if (requireWrapped) {
      return {0x67, 0x00};
    }
    Bytes native = Answer(apdu.at(0), Bytes(apdu.begin() + 1, apdu.end()));
    return native;
  }
  const std::size_t lc = apdu[4];
  Bytes data(apdu.begin() + 5, apdu.begin() + 5 + static_cast<std::ptrdiff_t>(lc));
  Bytes native = Answer(apdu[1], data);
  Bytes out(native.begin() + 1, native.end());
  out.push_back(0x91);
  out.push_back(native[0]);
  return out;
}

Bytes SimulatedDesfire::Answer(std::uint8_t ins, const Bytes& data) {
  Pending pending = pending_;
  pending_ = Pending::None;
  switch (ins) {
    case 0x60:
      pending_ = Pending::Version2;
      return WithStatus(0xAF, {0x04, 0x01, 0x01, 0x01, 0x00, 0x1A, 0x05});
    case 0x5A:
      if (!hasApplication) {
        return WithStatus(0xA0);
      }
      selected_ = data == Bytes{0x00, 0x00, 0x01};
      authenticated_ = false;
      return WithStatus(selected_ ? 0x00 : 0xA0);
    case 0x0A:
      return Authenticate(data.empty() ? 0xFF : data[0]);
    case 0x6F: {
      if (!selected_) {
        return WithStatus(0x1C);
      }
      Bytes ids;
      for (const auto& [id, content] : files) {
        ids.push_back(id);
      }
      return WithStatus(0x00, ids);
    }
    case 0xBD: {
      if (!authenticated_) {
        return WithStatus(0xAE);
      }
      auto file = files.find(data.at(0));
      if (file == files.end()) {
        return WithStatus(0xF0);
      }
      readRemaining_ = file->second;
      [[fallthrough]];
    }
    case 0xAF:
      if (ins == 0xAF && pending == Pending::Version2) {
        pending_ = Pending::Version3;
        return WithStatus(0xAF, {0x04, 0x01, 0x01, 0x01, 0x00, 0x1A, 0x05});
      }
      if (ins == 0xAF && pending == Pending::Version3) {
        Bytes last(uid.begin(), uid.end());
        last.insert(last.end(), {0xBA, 0x34, 0x47, 0x73, 0x60, 0x09, 0x19});
        return WithStatus(0x00, last);
      }
      if (ins == 0xAF && pending == Pending::Auth) {
        return FinishAuthentication(data);
      }
      if (ins == 0xBD || pending == Pending::Read) {
        std::size_t n = std::min(readChunk, readRemaining_.size());
        Bytes part(readRemaining_.begin(), readRemaining_.begin() + static_cast<std::ptrdiff_t>(n));
        readRemaining_.erase(readRemaining_.begin(),
                             readRemaining_.begin() + static_cast<std::ptrdiff_t>(n));
        if (!readRemaining_.empty()) {
          pending_ = Pending::Read;
          return WithStatus(0xAF, part);
        }
        return WithStatus(0x00, part);
      }
      return WithStatus(0x1C);
    default:
      return WithStatus(0x1C);
  }
}

Bytes SimulatedDesfire::Authenticate(std::uint8_t keyNumber) {
  if (!selected_) {
    return WithStatus(0x1C);
  }
  if (keyNumber != 0) {
    return WithStatus(0x40);
  }
  rndB_.resize(8);
  CryptoPP::AutoSeededRandomPool pool;
  pool.GenerateBlock(rndB_.data(), rndB_.size());
  pending_ = Pending::Auth;
  return WithStatus(0xAF, EncryptBlock(appKey, rndB_));
}

Bytes SimulatedDesfire::FinishAuthentication(const Bytes& data) {
  if (data.size() != 16) {
    return WithStatus(0x7E);
  }
  Bytes y1(data.begin(), data.begin() + 8);
  Bytes y2(data.begin() + 8, data.end());
  Bytes rndA = EncryptBlock(appKey, y1);
  Bytes rotatedB = EncryptBlock(appKey, y2);
  for (std::size_t i = 0; i < 8; ++i) {
    rotatedB[i] ^= y1[i];
  }
  if (rotatedB != Rotate(rndB_)) {
    return WithStatus(0xAE);
  }
  authenticated_ = true;
  return WithStatus(0x00, EncryptBlock(appKey, Rotate(rndA)));
}

}  // namespace varlo::testing
