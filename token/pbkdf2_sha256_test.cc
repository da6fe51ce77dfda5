#include "token/pbkdf2_sha256.h"

#include <cryptopp/osrng.h>
#include <cryptopp/pwdbased.h>
#include <cryptopp/sha.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/hex.h"

namespace varlo {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Text(std::string_view text) {
  return Bytes(text.begin(), text.end());
}

Bytes Derive(const Bytes& password, const Bytes& salt, std::uint32_t iterations,
             std::size_t length) {
  Bytes out(length);
  Pbkdf2HmacSha256(password, salt, iterations, out);
  return out;
}

Bytes Stock(const Bytes& password, const Bytes& salt, std::uint32_t iterations,
            std::size_t length) {
  Bytes out(length);
  CryptoPP::PKCS5_PBKDF2_HMAC<CryptoPP::SHA256>().DeriveKey(out.data(), out.size(), 0,
                                                            password.data(), password.size(),
                                                            salt.data(), salt.size(), iterations);
  return out;
}

struct Vector {
  std::string password;
  std::string salt;
  std::uint32_t iterations;
  std::string derived;
};

// RFC 7914 section 11, and the widely published PBKDF2-HMAC-SHA-256 vectors in the style of
// RFC 6070 (multi-block output, long and zero-containing inputs).
const Vector kVectors[] = {
    {"passwd", "salt", 1,
     "55ac046e56e3089fec1691c22544b605f94185216dde0465e68b9d57c20dacbc"
     "49ca9cccf179b645991664b39d77ef317c71b845b1e30bd509112041d3a19783"},
    {"Password", "NaCl", 80000,
     "4ddcd8f60b98be21830cee5ef22701f9641a4418d04c0414aeff08876b34ab56"
     "a1d425a1225833549adb841b51c9b3176a272bdebba1d078478f62b397f33c8d"},
    {"password", "salt", 1, "120fb6cffcf8b32c43e7225256c4f837a86548c92ccc35480805987cb70be17b"},
    {"password", "salt", 2, "ae4d0c95af6b46d32d0adff928f06dd02a303f8ef3c251dfd6e2d85a95474c43"},
    {"password", "salt", 4096, "c5e478d59288c841aa530db6845c4c8d962893a001ce4e11a4963873aa98134a"},
    {"passwordPASSWORDpassword", "saltSALTsaltSALTsaltSALTsaltSALTsalt", 4096,
     "348c89dbcbd32b2f32d814b8116e84cf2b17347ebc1800181c4e2a1fb8dd53e1c635518c7dac47e9"},
    {std::string("pass\0word", 9), std::string("sa\0lt", 5), 4096,
     "89b69d0516f829893c696226650a8687"},
};

TEST(Pbkdf2HmacSha256Test, MatchesPublishedVectors) {
  for (const Vector& v : kVectors) {
    const Bytes expected = *FromHex(v.derived);
    EXPECT_EQ(ToHex(Derive(Text(v.password), Text(v.salt), v.iterations, expected.size())),
              v.derived)
        << v.password << " / " << v.iterations;
  }
}

TEST(Pbkdf2HmacSha256Test, EqualsTheStockRoutineOnRandomInputs) {
  CryptoPP::AutoSeededRandomPool random;
  // Password lengths around the HMAC block size (64: used as is; 65: hashed first).
  const std::size_t passwordLengths[] = {0, 1, 4, 31, 32, 55, 63, 64, 65, 100, 200};
  for (std::size_t round = 0; round < 60; ++round) {
    Bytes password(passwordLengths[round % std::size(passwordLengths)]);
    Bytes salt(random.GenerateWord32(0, 80));
    random.GenerateBlock(password.data(), password.size());
    random.GenerateBlock(salt.data(), salt.size());
    const std::uint32_t iterations = random.GenerateWord32(1, 300);
    const std::size_t length = random.GenerateWord32(1, 100);
    EXPECT_EQ(Derive(password, salt, iterations, length), Stock(password, salt, iterations, length))
        << "password " << password.size() << " salt " << salt.size() << " iterations " << iterations
        << " length " << length;
  }
  EXPECT_EQ(Derive(Text("p"), Text("s"), 0, 32), Stock(Text("p"), Text("s"), 1, 32));  // 0 as 1
}

}  // namespace
}  // namespace varlo
