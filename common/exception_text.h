// The text of the exception being handled, whatever its type.
//
// Callbacks and the Noise layer may throw anything, C strings included (`throw "text"`); code
// that must not let an exception escape catches with `catch (...)` and logs this text.
#ifndef VARLO_COMMON_EXCEPTION_TEXT_H_
#define VARLO_COMMON_EXCEPTION_TEXT_H_

#include <exception>
#include <string>

namespace varlo {

// Only valid inside a handler (`catch`): it rethrows the current exception to learn its type.
inline std::string CurrentExceptionText() {
  try {
    throw;
  } catch (const std::exception& e) {
    return e.what();
  } catch (const char* text) {
    return text != nullptr ? text : "";
  } catch (...) {
    return "Unknown exception.";
  }
}

}  // namespace varlo

#endif  // VARLO_COMMON_EXCEPTION_TEXT_H_
