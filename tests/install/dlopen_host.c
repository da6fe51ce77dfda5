/* The smallest module host: built with the installed header and pkg-config flags, it loads the
 * module named on its command line and finds the entry point. */
#include <dlfcn.h>
#include <stdio.h>
#include <varlo/varlo_module.h>

int main(int argc, char** argv) {
  if (argc != 2)
    return 2;
  void* module = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  if (module == NULL) {
    fprintf(stderr, "%s\n", dlerror());
    return 1;
  }
  ModuleInitializeFn initialize = NULL;
  *(void**)&initialize = dlsym(module, MODULE_INITIALIZE_SYMBOL);
  int found = initialize != NULL;
  dlclose(module);
  return found ? 0 : 1;
}
