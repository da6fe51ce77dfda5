// The two commands of varlo-cardimage, apart from the command line and file handling.
//
// make:    token description → card image (see card_image_writer.h for both formats).
// inspect: card image → what the module sees, parsed by the module's own DesfireData and
//          Token: initialized or why not, the label, every object's metadata, the token's JSON
//          document; with a PIN, the PIN check and every object's plain content (public
//          objects' contents are shown without a PIN too).
#ifndef VARLO_APPS_CARDIMAGE_CARD_IMAGE_TOOL_H_
#define VARLO_APPS_CARDIMAGE_CARD_IMAGE_TOOL_H_

#include <optional>
#include <ostream>
#include <string>

#include "apps/cardimage/card_image_writer.h"
#include "common/secure_bytes.h"

namespace varlo::cardimage {

// Exit status of varlo-cardimage.
enum ExitCode : int {
  kExitOk = 0,              // done; for inspect: initialized, PIN (if given) accepted
  kExitUsage = 1,           // bad options, unreadable or malformed input, make refused
  kExitNotParsed = 2,       // the module refuses the image (DesfireData throws; card not reported)
  kExitNotInitialized = 3,  // parsed, but the token is not initialized
  kExitPinIncorrect = 4,    // the PIN given is wrong
  kExitPinLocked = 5,       // the PIN is locked (PIN data 48 × 0x42 or not 48 bytes)
  kExitTokenFailure = 6,    // another failure of the PIN check or of reading an object (UID 0,
                            // object CRC mismatch, ...)
};

// Writes the card image of `description` as JSON to `out`; errors go to `err`.
int RunMake(const nlohmann::json& description, const Layout& layout, std::ostream& out,
            std::ostream& err);

// Prints what the module sees of `image` to `out`.
int RunInspect(const CardImage& image, const std::optional<SecureBytes>& pin, std::ostream& out);

}  // namespace varlo::cardimage

#endif  // VARLO_APPS_CARDIMAGE_CARD_IMAGE_TOOL_H_
