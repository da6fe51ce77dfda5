// The public header compiles as C++ with every layout check.
#include "include/varlo_module.h"

int VarloPublicHeaderCheckCxx() {
  return static_cast<int>(sizeof(ModuleData));
}
