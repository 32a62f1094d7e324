// The table the host reads the plug-in's texts and entries from.
#pragma once

#include "plugin/plugin_abi.h"

// The one constant table; GetOutputPluginTable hands out its address.
const OutputPluginTable& plugin_table();
