// Whether a token document is a JSON object, decided without copying any of its text.
//
// A document is decrypted message plaintext; a JSON library's parser copies every token it reads
// into buffers of its own that are freed unwiped. This check reads the bytes in place and
// accepts exactly what nlohmann::json::parse accepts as an object: an optional UTF-8 byte order
// mark, RFC 8259 JSON with valid UTF-8 and paired surrogate escapes, numbers that are finite as
// doubles, and nothing but white space after the object; a zero byte ends the text, as it ends
// the library's input.
#ifndef VARLO_APPS_TOKEND_JSON_OBJECT_CHECK_H_
#define VARLO_APPS_TOKEND_JSON_OBJECT_CHECK_H_

#include <cstdint>
#include <span>

namespace varlo::tokend {

bool IsJsonObject(std::span<const std::uint8_t> text);

}  // namespace varlo::tokend

#endif  // VARLO_APPS_TOKEND_JSON_OBJECT_CHECK_H_
