// The module's only export.
#include "plugin/plugin_abi.h"
#include "plugin/table.h"

extern "C" OutputPluginTable* WINAPI GetOutputPluginTable(void) {
    // The host takes a writable pointer by convention; it never writes through it.
    return const_cast<OutputPluginTable*>(&plugin_table());
}
