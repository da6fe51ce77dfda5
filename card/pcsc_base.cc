#include "card/pcsc_base.h"

#include <sstream>

#include "log/logger.h"

namespace varlo {

std::string PcscCode(LONG code) {
  std::ostringstream text;
  text << "0x" << std::hex << static_cast<std::uint32_t>(code);
  return text.str();
}

PcscBase::PcscBase(IPcsc& pcsc) : pcsc_(pcsc) {
  SCARDCONTEXT context = 0;
  LONG rv = pcsc_.EstablishContext(SCARD_SCOPE_USER, &context);
  if (rv != SCARD_S_SUCCESS) {
    LogError("PcscBase") << "PcscBase::PcscBase Failed to establish smartcard context: "
                         << PcscCode(rv);
    context = 0;
  }
  context_ = context;
}

PcscBase::~PcscBase() {
  if (context_ != 0) {
    pcsc_.ReleaseContext(context_);
  }
}

bool PcscBase::RefreshContext() {
  if (context_ != 0) {
    pcsc_.ReleaseContext(context_.exchange(0));
  }
  SCARDCONTEXT context = 0;
  LONG rv = pcsc_.EstablishContext(SCARD_SCOPE_USER, &context);
  if (rv != SCARD_S_SUCCESS) {
    LogError("PcscBase") << "PcscBase::RefreshContext Failed to reestablish smartcard context: "
                         << PcscCode(rv);
    return false;
  }
  context_ = context;
  return true;
}

}  // namespace varlo
