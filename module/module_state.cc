#include "module/module_state.h"

namespace varlo {

ModuleState& TheModule() {
  static ModuleState state;
  return state;
}

}  // namespace varlo
