/* The public header compiles as C11 with every layout check. */
#include "include/varlo_module.h"

int varlo_public_header_check_c(void) {
  return (int)sizeof(ModuleData);
}
