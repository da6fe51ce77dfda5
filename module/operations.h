// The module's entry and the operations of the host's table, with C linkage and the host's
// calling convention.
#ifndef VARLO_MODULE_OPERATIONS_H_
#define VARLO_MODULE_OPERATIONS_H_

#include "include/varlo_module.h"

namespace varlo {

// What the exported ModuleInitialize does: hands the registry key to the settings, checks the
// host's structure, creates and starts the token list, fills the table. Never throws.
ModuleResult InitializeModule(const uint16_t* settingsPath, uint32_t settingsPathLength,
                              ModuleData* moduleData);

// Writes the module's operations into the host's table: generation 1 always, generation 2 when
// `generations` is 2 or more.
void FillOperationTable(ModuleData* moduleData, unsigned generations);

// Slot 0xA0: tears the token list down. Always RESULT_SUCCESS.
ModuleResult ModuleUnloadOperation();

}  // namespace varlo

#endif  // VARLO_MODULE_OPERATIONS_H_
