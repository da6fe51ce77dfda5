// Tokens for tests and benchmarks of the service link: whole, initialized tokens with one
// public object of chosen size, whose bytes (and PIN data, label and error count) follow from
// the UID, so that a record swapped or cut on the way shows in its document.
#ifndef VARLO_TESTS_SERVICE_SAMPLE_TOKENS_H_
#define VARLO_TESTS_SERVICE_SAMPLE_TOKENS_H_

#include <cstddef>
#include <cstdint>

#include "tokendata/desfire_data.h"

namespace varlo::testservice {

// `objectBytes` should be a multiple of 16, as an object's stored bytes are on a card. At 3072
// bytes a token's document is about 4.3 KB.
DesfireData SampleToken(std::uint64_t uid, std::size_t objectBytes = 3072);

}  // namespace varlo::testservice

#endif  // VARLO_TESTS_SERVICE_SAMPLE_TOKENS_H_
